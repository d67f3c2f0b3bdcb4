"""`feltwise ports`: the serial ports a sensor may be on.

On Linux a USB serial adapter appears as /dev/ttyUSB* (FTDI, CP210x, CH340)
or /dev/ttyACM* (CDC-ACM, most microcontroller boards), and udev adds a
stable name under /dev/serial/by-id that survives re-plugging; that name is
the one to put in scripts. On Windows the ports are the COM names that the
registry lists under HARDWARE\\DEVICEMAP\\SERIALCOMM.
"""

import glob
import os
import sys


def windows_ports():
    import winreg

    ports = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return ports
    with key:
        index = 0
        while True:
            try:
                device, port, _ = winreg.EnumValue(key, index)
            except OSError:
                break
            ports.append((port, device))
            index += 1
    return sorted(ports)


def posix_ports(dev="/dev"):
    """(port, description) pairs: by-id names first, with the device they point to."""
    ports, seen = [], set()
    for link in sorted(glob.glob(os.path.join(dev, "serial", "by-id", "*"))):
        target = os.path.realpath(link)
        ports.append((link, f"-> {target}"))
        seen.add(target)
    for pattern in ("ttyUSB*", "ttyACM*", "cu.usbserial*", "cu.usbmodem*"):
        for path in sorted(glob.glob(os.path.join(dev, pattern))):
            if os.path.realpath(path) not in seen:
                ports.append((path, ""))
    return ports


def run(args):
    ports = windows_ports() if sys.platform == "win32" else posix_ports()
    if not ports:
        print("no serial ports found (is the sensor plugged in? `feltwise simulate` gives a simulated one)",
              file=sys.stderr)
        return 0
    for port, description in ports:
        print(f"{port}  {description}".rstrip())
    return 0
