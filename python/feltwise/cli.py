"""The `feltwise` command (also `python -m feltwise`): the parser and the
dispatch, both read from the table in commands/."""

import argparse
import sys

from . import signals
from .arguments import library_path
from .commands import COMMANDS, load
from .errors import UserError

EXAMPLES = """examples:
  feltwise simulate --params examples/params/taxel_pad_4x4.msgpack
  feltwise stream /dev/ttyUSB0 --params pad.msgpack --zero
  feltwise stream --simulate --params examples/params/mixed_pad.msgpack --zero --duration 5
  feltwise view /dev/ttyUSB0 --params pad.msgpack --snapshot pad.png
  feltwise record /dev/ttyUSB0 --params pad.msgpack --duration 10 -o touch.npz
  feltwise publish --match 0403:6001 --params pad.msgpack --name left_hand
  feltwise record zenoh:left_hand --connect tcp/router.lab:7447 --duration 10 -o left.mcap
  feltwise params show pad.msgpack > pad.json
  feltwise registers read /dev/ttyUSB0 0x10 0 --protocol 4
"""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="feltwise",
        description="Stream, view, record and inspect a Feltwise tactile sensor, or simulate one.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    for name in COMMANDS:
        load(name).add_parser(subparsers)
    return parser


def parse(parser, argv):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in COMMANDS:
        own = getattr(load(argv[0]), "parse_args", None)
        args = own(argv[1:]) if own is not None else None
        if args is not None:
            return args
    return parser.parse_args(argv)


def main(argv=None):
    parser = build_parser()
    args = parse(parser, argv)
    signals.install()
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    if getattr(args, "params", None) and args.command != "params":
        args.params = library_path(args.params)
    try:
        return load(args.command).run(args) or 0
    except UserError as error:
        print(f"feltwise {args.command}: error: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:
        print(f"feltwise {args.command}: error: {error}", file=sys.stderr)
        return 1
    except OverflowError as error:
        print(f"feltwise {args.command}: error: a number is too large ({error})", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`feltwise stream | head`): nothing more to say.
        sys.stderr.close()
        return 1
