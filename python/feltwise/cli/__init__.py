"""The `feltwise` command (also `python -m feltwise`), built on the library.

This package is the command line: the parser and the dispatch here, both
read from the table in commands/; the arguments the commands share
(arguments.py), opening a sensor (connection.py), where samples come from
(source.py), the ending signals (signals.py) and `UserError` (errors.py).
The library (`feltwise`) never imports it. `main` is the one place that
turns errors into one line on standard error and an exit status."""

import argparse
import errno
import os
import sys

from ..errors import PortMatchError
from ..version import __version__
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
    parser.add_argument("--version", action="version", version=f"feltwise {__version__}")
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


class ClosedOutput:
    """Standard output when the process was started without one (`>&-`):
    Python would drop every line silently; writing here fails as it would on
    any other file that cannot be written."""

    encoding = "utf-8"

    def write(self, text):
        raise OSError(errno.EBADF, "standard output is closed")

    def flush(self):
        pass

    def isatty(self):
        return False

    @property
    def buffer(self):
        return self


def main(argv=None):
    if sys.stdout is None:
        sys.stdout = ClosedOutput()
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 (for the life of the process)
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
    except (UserError, RuntimeError, PortMatchError) as error:
        # The command's own refusals, and the library's typed errors
        # (SensorError and its family, ParameterFileError, SimulatorError,
        # PortMatchError): each is one line that says what and why.
        return fail(args, error)
    except OverflowError as error:
        return fail(args, f"a number is too large ({error})")
    except MemoryError:
        return fail(args, "out of memory")
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`feltwise stream | head`): nothing more to
        # say, and nothing left to flush at exit (that would fail again).
        _quiet_stdout()
        return 1
    except OSError as error:
        # What no command turned into its own message: a file or standard
        # output that could not be written.
        where = f"{error.filename}: " if error.filename is not None else ""
        return fail(args, f"{where}{error.strerror or error}")


def fail(args, error):
    print(f"feltwise {args.command}: error: {error}", file=sys.stderr)
    return 1


def _quiet_stdout():
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
