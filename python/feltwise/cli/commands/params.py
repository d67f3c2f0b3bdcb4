"""`feltwise params`: a parameter file shown as JSON, built back from JSON, or checked by the library's loader."""

import sys

from ..arguments import library_name, library_path
from ..errors import UserError


def add_parser(subparsers):
    params = subparsers.add_parser(
        "params",
        help="show, build or check a parameter file",
        description="Parameter files: msgpack to readable JSON and back, and a check through the library's own loader.",
    )
    params_commands = params.add_subparsers(dest="params_command", metavar="ACTION", required=True)
    show = params_commands.add_parser("show", help="a parameter file as readable JSON")
    show.add_argument("file", help="FILE.msgpack")
    show.add_argument("-o", "--output", metavar="FILE.json", help="write here instead of standard output")
    show.set_defaults(action=run_params_show)
    build = params_commands.add_parser("build", help="JSON back to a msgpack parameter file")
    build.add_argument("file", help="FILE.json (integer map keys spelled as strings, as show writes them)")
    build.add_argument("-o", "--output", required=True, metavar="FILE.msgpack")
    build.set_defaults(action=run_params_build)
    check = params_commands.add_parser("check", help="load a file with the library and report its errors")
    check.add_argument("file", help="FILE.msgpack")
    check.set_defaults(action=run_params_check)


def run(args):
    return args.action(args)


def run_params_show(args):
    from ...paramfile import read_parameter_file, to_json_text

    text = to_json_text(read_parameter_file(args.file), args.file)
    if args.output:
        _write(args.output, text.encode())
    else:
        sys.stdout.write(text)
    return 0


def run_params_build(args):
    from ... import sensor_types
    from ...paramfile import layout_from_content, read_json, to_msgpack

    content = read_json(args.file)
    layout_from_content(content, args.file, sensor_types.codes())  # refuse what is not a parameter file at all
    try:
        data = to_msgpack(content)
    except OverflowError:
        raise UserError(f"{args.file} holds an integer that msgpack cannot carry (beyond 64 bits)") from None
    _write(args.output, data)
    print(f"wrote {args.output}", file=sys.stderr)
    return 0


def run_params_check(args):
    from ..._native import read_parameters
    from ...errors import ParameterFileError
    from ...layout import layout_from_records
    from ...paramfile import missing_fields, read_file, summary, unpack

    data = read_file(args.file)  # what the library would refuse to open, said in one line with its cause
    # The library fills a field that is not there with a default (a taxel
    # without coefs calibrates everything to 0), so what it accepts is not
    # yet a file that calibrates: the fields each model needs are checked
    # too, in the file's own bytes.
    try:
        problems = missing_fields(unpack(data, args.file))
    except ParameterFileError:
        problems = []  # not even msgpack: the library's own words follow
    # The library's own loader, the one init runs: what it refuses here it
    # refuses there, in the same words (they are what a bug report needs).
    try:
        version, records = read_parameters(library_name(library_path(args.file), "parameter file"))
    except ParameterFileError as error:
        print(f"{args.file}: {error.reason}", file=sys.stderr)
        return 1
    except (RuntimeError, MemoryError, ValueError) as error:
        print(f"{args.file}: {error}", file=sys.stderr)
        return 1
    if problems:
        for problem in problems:
            print(f"{args.file}: {problem}", file=sys.stderr)
        return 1
    try:
        line = summary(version, records, layout_from_records(version, records, args.file))
    except (ParameterFileError, KeyError, TypeError, AttributeError):
        line = "loads"
    print(f"{args.file}: ok: {line}")
    return 0


def _write(path, data):
    try:
        with open(path, "wb") as file:
            file.write(data)
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror}") from None
