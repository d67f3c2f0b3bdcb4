"""The `feltwise` command (also `python -m feltwise`)."""

import argparse
import math
import os
import signal
import sys

from . import signals
from .errors import UserError

MAX_SECONDS = 1e9          # some thirty years
MAX_RATE = 65535           # the sensor's rate register is 16 bits
MAX_COUNT = 2**63 - 1
MAX_TIMEOUT_MS = 2**31 - 1  # the library's time-outs are int milliseconds
MAX_CHANNELS = 65535

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


def library_path(path):
    """The library reads "0" to "4" as protocol versions: a file of such a name
    is handed over as ./NAME so that it is read as the file it is."""
    return path if os.path.dirname(path) else os.path.join(".", path)


def rate_value(text):
    if text in ("max", "fast"):
        return 0.0
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a rate: {text!r} (samples/s, or max)") from None
    if value < 0 or value != value:
        raise argparse.ArgumentTypeError("the rate cannot be negative")
    if value > MAX_RATE:
        raise argparse.ArgumentTypeError(f"at most {MAX_RATE} samples/s (max: as fast as the host reads)")
    return value


def _finite(text):
    try:
        value = float(text)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or abs(value) > MAX_SECONDS:
        # Times go to sleeps, deadlines and millisecond time-outs, none of
        # which take infinity or a number of a hundred digits.
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {MAX_SECONDS:g})")
    return value


def positive(text):
    value = _finite(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0: {text}")
    return value


def non_negative(text):
    value = _finite(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"cannot be negative: {text}")
    return value


def probability(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a probability: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"a probability is 0 to 1: {text}")
    return value


def u16(text):
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{text} is outside 0 to 65535")
    return value


def count(text, limit=None):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    if value > (limit or MAX_COUNT):
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {limit or MAX_COUNT})")
    return value


def timeout_ms(text):
    return count(text, MAX_TIMEOUT_MS)


def channel_count(text):
    return count(text, MAX_CHANNELS)


def seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"a seed is 0 to 2**63 - 1, not {text}")
    return value


# --- simulate -------------------------------------------------------------------


def add_fault_arguments(parser):
    faults = parser.add_argument_group("fault switches (probabilities are per sample)")
    faults.add_argument("--stray-bytes", type=probability, default=0.0, metavar="P",
                        help="one to three random bytes before a sample")
    faults.add_argument("--garbage", type=probability, default=0.0, metavar="P",
                        help="a burst of 16 to 256 random bytes before a sample")
    faults.add_argument("--truncate", type=probability, default=0.0, metavar="P",
                        help="a sample cut short")
    faults.add_argument("--overlong", type=probability, default=0.0, metavar="P",
                        help="a line of 70000 bytes (text), a frame counting 1024 values (binary)")
    faults.add_argument("--error-lines", type=probability, default=0.0, metavar="P",
                        help="an unsolicited device error (protocols 3 and 4)")
    faults.add_argument("--reply-delay", type=non_negative, default=0.0, metavar="S",
                        help="register answers leave S seconds late")
    faults.add_argument("--duplicate-replies", action="store_true", help="every register answer twice")
    faults.add_argument("--malformed-replies", action="store_true",
                        help="register answers missing a field (3) or cut short (4)")
    faults.add_argument("--error-replies", action="store_true",
                        help="every register request answered with a device error")
    faults.add_argument("--silence-after", type=non_negative, metavar="S", help="go silent after S seconds")
    faults.add_argument("--silence-for", type=positive, metavar="S", help="... for S seconds (default: for good)")
    faults.add_argument("--unplug-after", type=non_negative, metavar="S",
                        help="close the port after S seconds, as if the adapter were pulled out")


def run_simulate(args):
    from .simulator import Faults, make_engine

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
    print(f"simulated sensor on {path}: protocol {engine.version}, {engine.layout.channel_count} channels, "
          f"{rate}; Ctrl-C stops it", file=sys.stderr, flush=True)
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
        print(f"sent {stats['samples']} samples, dropped {stats['dropped']}, answered {stats['requests']} "
              f"register requests{'; unplugged' if stats['unplugged'] else ''}", file=sys.stderr)
    return 0


# --- params ----------------------------------------------------------------------


def run_params_show(args):
    from .paramfile import read_parameter_file, to_json_text

    text = to_json_text(read_parameter_file(args.file), args.file)
    if args.output:
        _write(args.output, text.encode())
    else:
        sys.stdout.write(text)
    return 0


def run_params_build(args):
    from .paramfile import layout_from_content, read_json, to_msgpack

    content = read_json(args.file)
    layout_from_content(content, args.file)  # refuse what is not [version, group, ...] at all
    try:
        data = to_msgpack(content)
    except OverflowError:
        raise UserError(f"{args.file} holds an integer that msgpack cannot carry (beyond 64 bits)") from None
    _write(args.output, data)
    print(f"wrote {args.output}", file=sys.stderr)
    return 0


def run_params_check(args):
    from .connection import module
    from .paramfile import describe, missing_fields, read_msgpack

    if not os.path.isfile(args.file):
        raise UserError(f"no file {args.file}")
    # The library fills a field that is not there with a default (a taxel
    # without coefs calibrates everything to 0), so what it accepts is not
    # yet a file that calibrates: the fields each model needs are checked too.
    try:
        problems = missing_fields(read_msgpack(args.file))
    except UserError:
        problems = []  # not even msgpack: the library's own words follow
    comms = module().FeltwiseComms()
    try:
        comms.init(library_path(args.file))
    except (RuntimeError, MemoryError, ValueError) as error:
        # The loader's own words, unchanged: they are what a bug report needs.
        print(f"{args.file}: {error}", file=sys.stderr)
        return 1
    if problems:
        for problem in problems:
            print(f"{args.file}: {problem}", file=sys.stderr)
        return 1
    try:
        summary = describe(read_msgpack(args.file))
    except (UserError, KeyError, TypeError, AttributeError):
        summary = "loads"
    print(f"{args.file}: ok: {summary}")
    return 0


def _write(path, data):
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror}") from None


# --- registers -------------------------------------------------------------------------


def parse_data(text, as_text):
    if as_text:
        return text.encode()
    digits = "".join(ch for ch in text if ch not in " :,-")
    if digits.lower().startswith("0x"):
        digits = digits[2:]
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise UserError(f"not hexadecimal bytes: {text!r} (like 0aff or '0a ff'; --text for text)") from None


def run_registers(args):
    from .connection import connect

    if args.params is None and args.protocol is None:
        raise UserError("give --protocol 3 or 4 (or --params FILE): register access depends on the protocol")
    data = parse_data(args.data, args.text) if args.action == "write" else None
    with connect(args) as connection:
        if connection.version not in (3, 4):
            raise UserError(f"protocol {connection.version} has no registers; only 3 and 4 do")
        try:
            if args.action == "read":
                value = connection.sensor.read_register(args.address, args.id, args.timeout / 1000)
                print(value.decode(errors="replace") if args.text else value.hex(" "))
            else:
                connection.sensor.write_register(args.address, args.id, data, args.timeout / 1000)
                print(f"wrote {len(data)} bytes to register {args.address:#06x}/{args.id}")
        except RuntimeError as error:
            raise UserError(f"register {args.address:#06x}/{args.id}: {error}") from None
    return 0


# --- the parser -----------------------------------------------------------------------------


def build_parser():
    from .connection import add_connection_arguments

    parser = argparse.ArgumentParser(
        prog="feltwise", description="Stream, view, record and inspect a Feltwise tactile sensor, "
                                     "or simulate one.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    simulate = commands.add_parser("simulate", help="run a simulated sensor and print its port",
                                   description="Run a simulated sensor on a pseudo-terminal. The first line "
                                               "of output is its port; it runs until interrupted.")
    source = simulate.add_argument_group("what it simulates")
    source.add_argument("--params", metavar="FILE",
                        help="parameter file: protocol version and channel layout")
    source.add_argument("--protocol", type=int, choices=range(5), metavar="N",
                        help="protocol version 0 to 4 (default: the file's, or 1)")
    source.add_argument("--channels", type=channel_count, metavar="N",
                        help="raw channels (default: the file's, or 16)")
    source.add_argument("--rate", type=rate_value, default=100.0, metavar="HZ",
                        help="samples per second (default 100; 0 or max: as fast as the host reads)")
    source.add_argument("--seed", type=seed, help="make noise, drift and faults repeatable")
    source.add_argument("--no-touch", action="store_true", help="rest values only, no simulated touch")
    source.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    source.add_argument("--json-stats", action="store_true",
                        help="end with the statistics as one JSON line on standard output")
    add_fault_arguments(simulate)
    simulate.set_defaults(func=run_simulate)

    stream = commands.add_parser("stream", help="show the newest sample live in the terminal",
                                 description="Connect, optionally zero, and show the newest sample as a grid "
                                             "with the sample rate and the newest sample's age. Plain "
                                             "lines when the output is not a terminal.")
    add_connection_arguments(stream, zenoh=True)
    stream.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    stream.add_argument("--raw", action="store_true", help="raw readings instead of calibrated values")
    stream.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    stream.add_argument("--every", type=positive, metavar="S",
                        help="seconds between updates (default 0.2 on a terminal, 1 otherwise)")
    stream.add_argument("--plain", action="store_true", help="plain lines even on a terminal")
    stream.set_defaults(func=lambda args: _lazy("stream").run(args))

    view = commands.add_parser("view", help="live heatmap window, or a PNG snapshot",
                               description="A heatmap of the taxels with arrows for triaxial shear. "
                                           "--snapshot renders one frame to a file and needs no display.")
    add_connection_arguments(view, zenoh=True)
    view.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    view.add_argument("--raw", action="store_true", help="raw readings instead of calibrated values")
    view.add_argument("--snapshot", metavar="FILE.png", help="render one frame to this file and exit")
    view.add_argument("--after", type=non_negative, default=1.0, metavar="S",
                      help="with --snapshot: render the newest sample after S seconds (default 1)")
    view.add_argument("--vmax", type=positive, metavar="V", help="top of the colour scale (default: automatic)")
    view.add_argument("--fps", type=positive, default=20.0, help="window updates per second (default 20)")
    view.set_defaults(func=lambda args: _lazy("view").run(args))

    record = commands.add_parser("record", help="write samples with timestamps to CSV, NPZ or MCAP",
                                 description="Record calibrated and raw samples with host timestamps, "
                                             "written as they arrive (readable at least every second).")
    add_connection_arguments(record, zenoh=True)
    record.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="FILE.csv, FILE.npz or FILE.mcap, written as samples arrive")
    record.add_argument("--format", choices=("csv", "npz", "mcap"), help="default: from the file name")
    record.add_argument("--duration", type=positive, metavar="S", help="record for S seconds")
    record.add_argument("--count", type=count, metavar="N", help="record N samples")
    record.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    record.set_defaults(func=lambda args: _lazy("record").run(args))

    publish = commands.add_parser("publish", help="publish a sensor's samples with Zenoh",
                                  description="Publish every sample under feltwise/NAME/sample, answer "
                                              "feltwise/NAME/info and zero the sensor on a feltwise/NAME/zero "
                                              "query. docs/fleet.md describes the keys and the payload.")
    add_connection_arguments(publish, zenoh=True)
    publish.add_argument("--name", required=True, help="the sensor's name in the keys, e.g. left_hand")
    publish.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    publish.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    publish.add_argument("--rate", type=rate_value, metavar="HZ",
                         help="with --simulate: the simulated sensor's samples per second (default 100)")
    publish.set_defaults(func=lambda args: _lazy("publish").run(args))

    params = commands.add_parser("params", help="show, build or check a parameter file",
                                 description="Parameter files: msgpack to readable JSON and back, and a "
                                             "check through the library's own loader.")
    params_commands = params.add_subparsers(dest="params_command", metavar="ACTION", required=True)
    show = params_commands.add_parser("show", help="a parameter file as readable JSON")
    show.add_argument("file", help="FILE.msgpack")
    show.add_argument("-o", "--output", metavar="FILE.json", help="write here instead of standard output")
    show.set_defaults(func=run_params_show)
    build = params_commands.add_parser("build", help="JSON back to a msgpack parameter file")
    build.add_argument("file", help="FILE.json (integer map keys spelled as strings, as show writes them)")
    build.add_argument("-o", "--output", required=True, metavar="FILE.msgpack")
    build.set_defaults(func=run_params_build)
    check = params_commands.add_parser("check", help="load a file with the library and report its errors")
    check.add_argument("file", help="FILE.msgpack")
    check.set_defaults(func=run_params_check)

    global REGISTER_PARSERS
    REGISTER_PARSERS = {}
    registers = commands.add_parser("registers", help="read or write device registers (protocols 3 and 4)",
                                    description="Read or write a device register. ADDRESS and ID take "
                                                "decimal or 0x-prefixed numbers.")
    register_commands = registers.add_subparsers(dest="action", metavar="ACTION", required=True)
    for action in ("read", "write"):
        sub = register_commands.add_parser(action, help=f"{action} a register")
        REGISTER_PARSERS[action] = sub
        add_connection_arguments(sub, registers=True)
        sub.add_argument("address", type=u16, help="register address, 0 to 65535")
        sub.add_argument("id", type=u16, help="register id (board), 0 to 65535")
        if action == "write":
            sub.add_argument("data", help="bytes in hexadecimal, like 0aff or '0a ff' (empty: '')")
        sub.add_argument("--text", action="store_true",
                         help="data as text: " + ("show the bytes decoded" if action == "read"
                                                  else "DATA is text, sent as UTF-8"))
        sub.add_argument("--timeout", type=timeout_ms, default=500, metavar="MS",
                         help="how long to wait for the answer (default 500)")
        sub.set_defaults(func=run_registers)

    ports = commands.add_parser("ports", help="list candidate serial ports",
                                description="List serial ports a sensor may be on: /dev/serial/by-id, "
                                            "ttyUSB and ttyACM devices; COM ports on Windows.")
    ports.set_defaults(func=lambda args: _lazy("ports").run(args))
    return parser


def _lazy(name):
    # matplotlib and numpy load only for the commands that draw or record.
    import importlib
    return importlib.import_module(f"feltwise.{name}")


REGISTER_PARSERS = {}


def parse(parser, argv):
    argv = sys.argv[1:] if argv is None else list(argv)
    if len(argv) >= 2 and argv[0] == "registers" and argv[1] in REGISTER_PARSERS:
        # The port is optional (--simulate, --match), so in one pass argparse
        # fills PORT ADDRESS ID DATA from whatever positionals come before the
        # first flag: `write PORT 0x100 5 --text hello` took PORT for the
        # address. Options first, then all positionals together, avoids that.
        args = REGISTER_PARSERS[argv[1]].parse_intermixed_args(argv[2:])
        args.command, args.action = "registers", argv[1]
        return args
    return parser.parse_args(argv)


def main(argv=None):
    parser = build_parser()
    args = parse(parser, argv)
    signals.install()
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return 2
    if getattr(args, "params", None) and args.command != "params":
        args.params = library_path(args.params)
    try:
        return args.func(args) or 0
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
