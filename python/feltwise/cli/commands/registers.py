"""`feltwise registers read|write`: a device register over protocol versions 3 and 4."""

import os
import sys

from ... import protocols
from ..arguments import timeout_seconds, u16
from ..connection import add_connection_arguments
from ..errors import UserError

PARSERS = {}


def add_parser(subparsers):
    registers = subparsers.add_parser(
        "registers",
        help="read or write device registers (protocols 3 and 4)",
        description="Read or write a device register. ADDRESS and ID take decimal or 0x-prefixed numbers.",
    )
    register_commands = registers.add_subparsers(dest="action", metavar="ACTION", required=True)
    for action in ("read", "write"):
        sub = register_commands.add_parser(action, help=f"{action} a register")
        PARSERS[action] = sub
        add_connection_arguments(sub, registers=True)
        sub.add_argument("address", type=u16, help="register address, 0 to 65535")
        sub.add_argument("id", type=u16, help="register id (board), 0 to 65535")
        if action == "write":
            sub.add_argument("data", help="bytes in hexadecimal, like 0aff or '0a ff' (empty: '')")
        sub.add_argument(
            "--text",
            action="store_true",
            help="data as text: "
            + ("show the bytes as text, control bytes as \\xHH" if action == "read" else "DATA is text, sent as UTF-8"),
        )
        sub.add_argument(
            "--timeout",
            type=timeout_seconds,
            default=0.5,
            metavar="S",
            help="seconds to wait for the answer (default 0.5; 500ms also reads as milliseconds)",
        )


def parse_args(argv):
    """`read ...` and `write ...` parsed in one piece, or None for anything else.

    The port is optional (--simulate, --match), so in one pass argparse
    fills PORT ADDRESS ID DATA from whatever positionals come before the
    first flag: `write PORT 0x100 5 --text hello` took PORT for the
    address. Options first, then all positionals together, avoids that."""
    if not argv or argv[0] not in PARSERS:
        return None
    args = PARSERS[argv[0]].parse_intermixed_args(argv[1:])
    args.command, args.action = "registers", argv[0]
    return args


def parse_data(text, as_text):
    if as_text:
        return os.fsencode(text)  # the bytes as typed: UTF-8, or whatever else the terminal sent
    digits = "".join(ch for ch in text if ch not in " :,-")
    if digits.lower().startswith("0x"):
        digits = digits[2:]
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise UserError(f"not hexadecimal bytes: {text!r} (like 0aff or '0a ff'; --text for text)") from None


def visible(data):
    """Device bytes for a terminal, as the library's console line shows them:
    bytes below 0x20 and 0x7F as \\xHH, so that a register cannot move the
    cursor, recolour or retitle the terminal; bytes from 0x80 pass (UTF-8 text
    stays readable)."""
    return b"".join(b"\\x%02x" % byte if byte < 0x20 or byte == 0x7F else bytes((byte,)) for byte in data)


def run(args):
    from ..connection import connect

    if args.params is None and args.protocol is None:
        raise UserError(
            f"give --protocol {protocols.listed(protocols.register_versions(), 'or')} (or --params FILE): "
            "register access depends on the protocol"
        )
    data = parse_data(args.data, args.text) if args.action == "write" else None
    with connect(args) as connection:
        with_registers = protocols.register_versions()
        if connection.version not in with_registers:
            raise UserError(
                f"protocol {connection.version} has no registers; only {protocols.listed(with_registers)} do"
            )
        try:
            if args.action == "read":
                value = connection.sensor.read_register(args.address, args.id, args.timeout)
                if args.text:
                    sys.stdout.flush()
                    sys.stdout.buffer.write(visible(value) + b"\n")
                else:
                    print(value.hex(" "))
            else:
                connection.sensor.write_register(args.address, args.id, data, args.timeout)
                print(f"wrote {len(data)} bytes to register {args.address:#06x}/{args.id}")
        except RuntimeError as error:
            raise UserError(f"register {args.address:#06x}/{args.id}: {error}") from None
    return 0
