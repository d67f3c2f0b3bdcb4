"""The serial ports a sensor may be on (`feltwise ports`), and `--match VID:PID[:SERIAL]`.

pyserial's serial.tools.list_ports reads what the system knows of each port
(sysfs on Linux, SetupAPI on Windows, IOKit on macOS): the USB vendor and
product ids, the adapter's description and serial number. On Linux udev also
gives each USB adapter a stable name under /dev/serial/by-id that survives
re-plugging and a change of ttyUSB number; that name, or --match with the
adapter's ids, is the one to put in scripts. Without pyserial the listing
falls back to the device names alone.
"""

import glob
import os
import sys

from .errors import PortMatchError


class Port:
    def __init__(self, device, vid=None, pid=None, serial_number=None, description="", by_id=None):
        self.device, self.vid, self.pid = device, vid, pid
        self.serial_number, self.description, self.by_id = serial_number, description, by_id

    @property
    def ids(self):
        return None if self.vid is None else f"{self.vid:04x}:{self.pid:04x}"

    def line(self):
        parts = [self.by_id or self.device]
        if self.by_id:
            parts.append(f"-> {self.device}")
        if self.ids:
            parts.append(self.ids)
        if self.serial_number:
            parts.append(f"serial {self.serial_number}")
        if self.description and self.description != "n/a":
            parts.append(self.description)
        return "  ".join(parts)


def by_id_names(dev="/dev"):
    """{real device path: its /dev/serial/by-id name}."""
    names = {}
    for link in sorted(glob.glob(os.path.join(dev, "serial", "by-id", "*"))):
        names.setdefault(os.path.realpath(link), link)
    return names


def list_ports(dev="/dev"):
    by_id = by_id_names(dev) if sys.platform != "win32" else {}
    try:
        from serial.tools import list_ports
    except ImportError:
        return fallback_ports(by_id, dev)
    ports = []
    for info in sorted(list_ports.comports(), key=lambda p: p.device):
        # pyserial lists every ttyS* the kernel made, present or not; those
        # without a USB id or a driver-given description are legacy slots.
        if info.vid is None and (info.description in (None, "", "n/a") or info.hwid == "n/a"):
            continue
        ports.append(
            Port(
                info.device,
                info.vid,
                info.pid,
                info.serial_number,
                info.description or "",
                by_id.get(os.path.realpath(info.device)),
            )
        )
    return ports


def fallback_ports(by_id, dev="/dev"):
    ports = []
    for pattern in ("ttyUSB*", "ttyACM*", "cu.usbserial*", "cu.usbmodem*"):
        for path in sorted(glob.glob(os.path.join(dev, pattern))):
            ports.append(Port(path, by_id=by_id.get(os.path.realpath(path))))
    return ports


def parse_match(text):
    """VID:PID[:SERIAL] -> (vid, pid, serial or None); ids in hexadecimal as lsusb shows them."""
    parts = text.split(":", 2)
    if len(parts) < 2:
        raise PortMatchError(f"--match {text}: give VID:PID or VID:PID:SERIAL, like 0403:6001")
    try:
        vid, pid = (int(part, 16) for part in parts[:2])
    except ValueError:
        raise PortMatchError(f"--match {text}: the vendor and product ids are hexadecimal, like 0403:6001") from None
    if not (0 <= vid <= 0xFFFF and 0 <= pid <= 0xFFFF):
        raise PortMatchError(f"--match {text}: ids are 16-bit (0000 to ffff)")
    return vid, pid, (parts[2] if len(parts) == 3 and parts[2] else None)


def matching(ports, text):
    vid, pid, serial_number = parse_match(text)
    return [
        port
        for port in ports
        if port.vid == vid and port.pid == pid and (serial_number is None or port.serial_number == serial_number)
    ]


def find_port(text, ports=None):
    """The one Port that --match TEXT names."""
    found = matching(list_ports() if ports is None else ports, text)
    if not found:
        raise PortMatchError(f"no serial port matches {text} (`feltwise ports` lists what is plugged in)")
    if len(found) > 1:
        names = ", ".join(f"{p.device} (serial {p.serial_number or '?'})" for p in found)
        raise PortMatchError(f"{len(found)} ports match {text}: {names}; add :SERIAL to choose one")
    return found[0]


def port_matching(text, ports=None):
    """The name of the one port that --match TEXT names (its by-id name where there is one)."""
    found = find_port(text, ports)
    return found.by_id or found.device
