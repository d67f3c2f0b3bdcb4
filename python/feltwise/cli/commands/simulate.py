"""`feltwise simulate`: a simulated sensor on a pseudo-terminal, in the foreground."""

import sys
from dataclasses import fields

from ... import protocols
from ..arguments import channel_count, non_negative, positive, probability, rate_value, seed


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
    """One option per field of Faults: --stray-bytes P, --duplicate-replies, ..."""
    from ...sim.settings import DURATION, PROBABILITY, SECONDS, SWITCH, Faults

    faults = parser.add_argument_group("fault switches (probabilities are per sample)")
    kinds = {
        PROBABILITY: {"type": probability, "metavar": "P"},
        SECONDS: {"type": non_negative, "metavar": "S"},
        DURATION: {"type": positive, "metavar": "S"},
        SWITCH: {"action": "store_true"},
    }
    for item in fields(Faults):
        option = "--" + item.name.replace("_", "-")
        settings = dict(kinds[item.metadata["kind"]], help=item.metadata["help"])
        if item.metadata["kind"] != SWITCH:
            settings["default"] = item.default
        faults.add_argument(option, **settings)


def run(args):
    from ...sim import Faults, SimulatorSettings, engine_for, run_until_signalled

    settings = SimulatorSettings(
        args.params,
        args.protocol,
        args.channels,
        args.rate,
        Faults(**{item.name: getattr(args, item.name) for item in fields(Faults)}),
        args.seed,
        not args.no_touch,
    )
    engine = engine_for(settings)
    rate = "as fast as possible" if args.rate == 0 else f"{args.rate:g} samples/s"

    def opened(path):
        print(path, flush=True)
        print(
            f"simulated sensor on {path}: protocol {engine.version}, {engine.layout.channel_count} channels, "
            f"{rate}; Ctrl-C stops it",
            file=sys.stderr,
            flush=True,
        )

    # Ctrl-C, SIGTERM and SIGHUP end the loop, so the statistics still come out.
    stats = run_until_signalled(engine, args.duration, opened)
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
