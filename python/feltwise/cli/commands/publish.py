"""`feltwise publish`: one sensor's samples on Zenoh, with its info and a remote zero.

The loop reads the sensor, puts every sample under feltwise/NAME/sample (or,
with --batch-ms, the samples of a few milliseconds in one payload) and,
between samples, answers the info and zero queries waiting (remote.py has
the keys and payload.py the payload layouts). The name is claimed before the
sensor is opened: a name another publisher has is refused at once. A remote
zero runs only with --allow-zero. By default the session reaches this
machine only (zenoh_session.py).
"""

import base64
import os
import socket
import sys
import time

from ..arguments import batch_ms, positive, rate_value
from ..connection import add_connection_arguments, parameters_summary
from ..errors import UserError

READ_TIMEOUT_S = 0.1  # how long a query can wait while the sensor is silent


def sensor_info(name, connection, zeroed):
    from ...payload import MAGIC

    layout = connection.layout
    params = None
    if connection.parameters is not None:
        parameters = connection.parameters
        params = {
            "file": os.path.basename(parameters.path),
            "summary": parameters_summary(parameters),
            "sha256": parameters.sha256,
            "msgpack_base64": base64.b64encode(parameters.data).decode("ascii"),
        }
    return {
        "name": name,
        "format": MAGIC.decode(),
        "protocol": connection.version,
        "raw_channels": layout.channel_count,
        "calibrated_outputs": layout.output_count,
        "units": {
            "raw": "counts (the sensor's ADC readings)",
            "calibrated": "the parameter file's model units" if params else None,
            "t_host_ns": "ns since the Unix epoch, publishing host's clock",
        },
        "parameters": params,
        "host": socket.gethostname(),
        "port": connection.port,
        "zeroed_at_start": zeroed,
    }


def next_sample(sensor, timeout=READ_TIMEOUT_S):
    from ...errors import DeviceLostError

    try:
        return next(sensor.samples(timeout), None)
    except DeviceLostError:
        return None  # reported as a lost sensor, with its port


def add_parser(subparsers):
    publish = subparsers.add_parser(
        "publish",
        help="publish a sensor's samples with Zenoh",
        description="Publish every sample under feltwise/NAME/sample, answer "
        "feltwise/NAME/info and, with --allow-zero, zero the sensor on a "
        "feltwise/NAME/zero query. Reachable from this machine only unless "
        "--listen, --connect or --lan say otherwise. docs/fleet.md describes "
        "the keys, the payload and the reach.",
    )
    add_connection_arguments(publish, zenoh=True)
    publish.add_argument("--name", required=True, help="the sensor's name in the keys, e.g. left_hand")
    publish.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    publish.add_argument(
        "--allow-zero",
        action="store_true",
        help="zero the sensor when a subscriber asks (a query for feltwise/NAME/zero); refused otherwise",
    )
    publish.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    publish.add_argument(
        "--rate",
        type=rate_value,
        metavar="HZ",
        help="with --simulate: the simulated sensor's samples per second (default 100)",
    )
    publish.add_argument(
        "--batch-ms",
        type=batch_ms,
        metavar="MS",
        help="send the samples of MS milliseconds (up to 1 MiB) in one payload: a subscriber does a "
        "fraction of the work per sample, and each sample arrives up to MS ms later (MS/2 on average). "
        "Payload format FWS2: subscribers of earlier versions of feltwise skip it and say so. Off by "
        "default: every sample in a payload of its own, sent at once",
    )


def run(args):
    from ...remote import NameClaim, SensorPublisher, check_name, sample_key
    from ...zenoh_session import open_session
    from ..connection import connect, zenoh_reach, zero
    from ..source import QUEUE, LocalSource, Watch

    name = check_name(args.name)
    if args.port and args.port.startswith("zenoh:"):
        raise UserError("publish takes a sensor here (a port, --match or --simulate), not a zenoh: source")
    reach = zenoh_reach(args)
    session = open_session(reach)
    try:
        claim = NameClaim(session, name)
        try:
            with connect(args, simulator_rate=args.rate, queue=QUEUE) as connection:
                if args.zero:
                    zero(connection)
                publisher = SensorPublisher(
                    session,
                    name,
                    sensor_info(name, connection, bool(args.zero)),
                    (lambda: zero(connection)) if args.allow_zero else None,
                    claim,
                    batch_ms=args.batch_ms,
                )
                batching = f" in batches of {args.batch_ms:g} ms" if args.batch_ms else ""
                print(
                    f"publishing {connection.port} as {sample_key(name)}{batching}, reachable from "
                    f"{reach.describe()}{'; remote zero allowed' if args.allow_zero else ''}; Ctrl-C stops",
                    file=sys.stderr,
                    flush=True,
                )
                watch = Watch(LocalSource(connection), args.reconnect)
                start = time.monotonic()
                try:
                    while args.duration is None or time.monotonic() - start < args.duration:
                        sample = next_sample(connection.sensor, max(0.001, publisher.due_in(READ_TIMEOUT_S)))
                        if sample is not None:
                            watch.sample()
                            publisher.put(sample)
                        else:
                            watch.idle()
                        publisher.serve()
                except KeyboardInterrupt:
                    pass
                finally:
                    publisher.close()
                elapsed = time.monotonic() - start
                print(
                    f"published {publisher.published} samples in {elapsed:.1f} s "
                    f"({publisher.published / max(elapsed, 1e-9):.1f} samples/s"
                    f"{f' in {publisher.payloads} payloads' if args.batch_ms else ''}), zeroed {publisher.zeroed} "
                    f"times on request" + (f", refused {publisher.refused} zero requests" if publisher.refused else ""),
                    file=sys.stderr,
                )
        finally:
            claim.release()
    finally:
        session.close()
    return 0
