"""`feltwise ports`: the serial ports a sensor may be on."""

import sys

from ...ports import list_ports


def add_parser(subparsers):
    subparsers.add_parser(
        "ports",
        help="list candidate serial ports",
        description="List serial ports a sensor may be on: /dev/serial/by-id, "
        "ttyUSB and ttyACM devices; COM ports on Windows.",
    )


def run(args):
    ports = list_ports()
    if not ports:
        print(
            "no serial ports found (is the sensor plugged in? `feltwise simulate` gives a simulated one)",
            file=sys.stderr,
        )
        return 0
    for port in ports:
        print(port.line())
    return 0
