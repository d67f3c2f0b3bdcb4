"""`feltwise simulate`: a simulated sensor on a pseudo-terminal, in the foreground."""

import signal
import sys

from ... import protocols
from .. import signals
from ..arguments import channel_count, library_path, non_negative, positive, probability, rate_value, seed


def add_parser(subparsers):
    simulate = subparsers.add_parser(
        "simulate",
        help="run a simulated sensor and print its port",
        description="Run a simulated sensor on a pseudo-terminal. The first line "
        "of output is its port; it runs until interrupted.",
    )
    source = simulate.add_argument_group("what it simulates")
    source.add_argument("--params", metavar="FILE", help="parameter file: protocol version and channel layout")
    source.add_argument(
        "--protocol",
        type=int,
        choices=protocols.versions(),
        metavar="N",
        help=f"protocol version {protocols.span()} (default: the file's, or 1)",
    )
    source.add_argument("--channels", type=channel_count, metavar="N", help="raw channels (default: the file's, or 16)")
    source.add_argument(
        "--rate",
        type=rate_value,
        default=100.0,
        metavar="HZ",
        help="samples per second (default 100; 0 or max: as fast as the host reads)",
    )
    source.add_argument("--seed", type=seed, help="make noise, drift and faults repeatable")
    source.add_argument("--no-touch", action="store_true", help="rest values only, no simulated touch")
    source.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    source.add_argument(
        "--json-stats", action="store_true", help="end with the statistics as one JSON line on standard output"
    )
    add_fault_arguments(simulate)


def add_fault_arguments(parser):
    faults = parser.add_argument_group("fault switches (probabilities are per sample)")
    faults.add_argument(
        "--stray-bytes", type=probability, default=0.0, metavar="P", help="one to three random bytes before a sample"
    )
    faults.add_argument(
        "--garbage",
        type=probability,
        default=0.0,
        metavar="P",
        help="a burst of 16 to 256 random bytes before a sample",
    )
    faults.add_argument("--truncate", type=probability, default=0.0, metavar="P", help="a sample cut short")
    faults.add_argument(
        "--overlong",
        type=probability,
        default=0.0,
        metavar="P",
        help="a line of 70000 bytes (text), a frame counting 1024 values (binary)",
    )
    faults.add_argument(
        "--error-lines",
        type=probability,
        default=0.0,
        metavar="P",
        help="an unsolicited device error (protocols 3 and 4)",
    )
    faults.add_argument(
        "--reply-delay", type=non_negative, default=0.0, metavar="S", help="register answers leave S seconds late"
    )
    faults.add_argument("--duplicate-replies", action="store_true", help="every register answer twice")
    faults.add_argument(
        "--malformed-replies", action="store_true", help="register answers missing a field (3) or cut short (4)"
    )
    faults.add_argument(
        "--error-replies", action="store_true", help="every register request answered with a device error"
    )
    faults.add_argument("--silence-after", type=non_negative, metavar="S", help="go silent after S seconds")
    faults.add_argument("--silence-for", type=positive, metavar="S", help="... for S seconds (default: for good)")
    faults.add_argument(
        "--unplug-after",
        type=non_negative,
        metavar="S",
        help="close the port after S seconds, as if the adapter were pulled out",
    )


def run(args):
    from ...sim import Faults, make_engine

    faults = Faults(**{name: getattr(args, name) for name in Faults.__dataclass_fields__})
    params = library_path(args.params) if args.params else None
    engine = make_engine(params, args.protocol, args.channels, args.rate, faults, args.seed, not args.no_touch)
    # Ctrl-C, SIGTERM (from SimulatedSensor.stop, or kill) and SIGHUP end the
    # loop, so the statistics still come out; set before the port is printed,
    # since whoever reads that line may signal at once.
    for number in signals.ENDING_SIGNALS:
        signal.signal(number, lambda *_: engine.stop())
    path = engine.open()
    print(path, flush=True)
    rate = "as fast as possible" if args.rate == 0 else f"{args.rate:g} samples/s"
    print(
        f"simulated sensor on {path}: protocol {engine.version}, {engine.layout.channel_count} channels, "
        f"{rate}; Ctrl-C stops it",
        file=sys.stderr,
        flush=True,
    )
    try:
        engine.run(args.duration)
    except KeyboardInterrupt:
        pass
    finally:
        engine.close()
    stats = engine.stats
    if args.json_stats:
        import json

        print(json.dumps(stats), flush=True)
    else:
        print(
            f"sent {stats['samples']} samples, dropped {stats['dropped']}, answered {stats['requests']} "
            f"register requests{'; unplugged' if stats['unplugged'] else ''}",
            file=sys.stderr,
        )
    return 0
