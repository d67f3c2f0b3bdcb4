"""Opening a sensor for the commands: a port, or a simulated sensor started on the spot."""

import contextlib
import os

from . import protocols
from .errors import UserError
from .paramfile import bare_layout, load_layout


def add_connection_arguments(parser, registers=False, zenoh=False):
    """port, --match, --simulate, --params, --protocol: the same for every command that connects;
    with zenoh, a zenoh:NAME source and the session's endpoints too."""
    parser.add_argument(
        "port",
        nargs="?",
        help="serial port of the sensor (e.g. /dev/ttyUSB0, COM3)"
        + (", or zenoh:NAME for a sensor published with `feltwise publish`" if zenoh else ""),
    )
    parser.add_argument(
        "--match",
        metavar="VID:PID[:SERIAL]",
        help="the USB serial adapter with this vendor and product id (hexadecimal) and "
        "serial number, instead of a port",
    )
    parser.add_argument(
        "--simulate",
        action="store_true",
        help="start a simulated sensor with the same parameter file (or protocol) instead",
    )
    if zenoh:
        add_zenoh_arguments(parser)
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--params", metavar="FILE", help="sensor parameter file (.msgpack)")
    source.add_argument(
        "--protocol",
        metavar="N",
        type=int,
        choices=protocols.versions(),
        help=f"bare protocol version {protocols.span()}, without calibration"
        + ("" if registers else " (raw samples only)"),
    )


def add_zenoh_arguments(parser):
    group = parser.add_argument_group(
        "Zenoh session (zenoh:NAME sources, publish)",
        "Without these, a session reaches this machine only (docs/fleet.md, Reach).",
    )
    group.add_argument(
        "--connect",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="connect to this Zenoh endpoint, e.g. tcp/router.lab:7447 (repeatable; turns multicast scouting off)",
    )
    group.add_argument(
        "--listen",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="listen on this Zenoh endpoint, e.g. tcp/0.0.0.0:7447 for every interface (repeatable; "
        "anyone who reaches it can subscribe and query)",
    )
    group.add_argument(
        "--lan",
        action="store_true",
        help="reach the LAN: listen on every interface and find (and answer) peers by multicast scouting",
    )
    group.add_argument(
        "--mode",
        choices=("peer", "client"),
        help="Zenoh mode: client (everything through what --connect names; the default with --connect "
        "alone) or peer (the default otherwise; peers behind a router need a --listen the others reach)",
    )
    group.add_argument(
        "--zenoh-config",
        metavar="FILE",
        help="a Zenoh configuration file (JSON5: user and password, TLS certificates, access control) "
        "that the options above are set on (default: $ZENOH_CONFIG)",
    )


def zenoh_reach(args):
    """The `Reach` of the Zenoh options add_zenoh_arguments added."""
    from .zenoh_session import Reach

    return Reach.of(args.connect, args.listen, args.lan, args.mode, args.zenoh_config)


class Connection:
    """A connected `feltwise.Sensor`, its layout, and the simulator behind it if any."""

    def __init__(self, sensor, port, layout, init_text, simulator=None):
        self.sensor, self.port, self.layout, self.init_text = sensor, port, layout, init_text
        self.simulator = simulator

    @property
    def version(self):
        return self.layout.version


def init_text_and_layout(args):
    if args.params is not None:
        if not os.path.isfile(args.params):
            raise UserError(f"no parameter file {args.params}")
        layout = load_layout(args.params)
        return args.params, layout
    version = 1 if args.protocol is None else args.protocol
    return str(version), bare_layout(version)


@contextlib.contextmanager
def connect(args, simulator_rate=None, queue=0):
    """The sensor the arguments name, read through `feltwise.Sensor` with a
    queue of `queue` samples (0: the newest sample only)."""
    init_text, layout = init_text_and_layout(args)
    match = getattr(args, "match", None)
    if args.simulate + (args.port is not None) + (match is not None) != 1:
        raise UserError("give one of a port, --match VID:PID[:SERIAL] or --simulate")
    if match is not None:
        from .ports import port_matching

        args.port = port_matching(match)
    try:
        from .sensor import Sensor
    except ImportError as error:
        raise UserError(
            f"the extension module feltwise._native is not installed ({error}); run pip install ."
        ) from None
    from .errors import ParameterFileError, PortError

    simulator = None
    try:
        port = args.port
        if args.simulate:
            from .sim import DEFAULT_RATE, SimulatedSensor

            simulator = SimulatedSensor(
                args.params, version=args.protocol, rate=DEFAULT_RATE if simulator_rate is None else simulator_rate
            )
            try:
                port = simulator.start()
            except RuntimeError as error:
                raise UserError(str(error)) from None
        try:
            if init_text.isdigit():
                sensor = Sensor(port, protocol=int(init_text), queue=queue)
            else:
                sensor = Sensor(port, init_text, queue=queue)
        except ParameterFileError as error:
            raise UserError(f"{init_text}: {error}") from None
        except PortError as error:
            # Its text says why: busy, missing or permission denied.
            raise UserError(str(error)) from None
        with sensor:
            yield Connection(sensor, port, layout, init_text, simulator)
    finally:
        # The library takes the simulator's going away as an unplugged adapter:
        # its acquisition thread releases the port, nothing is printed.
        if simulator is not None:
            simulator.stop()


def zero(connection):
    try:
        connection.sensor.zero()
    except RuntimeError as error:
        raise UserError(f"zeroing failed: {error} (is the sensor streaming at 20 samples/s or more?)") from None
