"""The simulated sensor's register bank, answered over protocol versions 3 and 4.

Registers are addressed by (address, id); id selects the board, 0 being the
sensor itself. The bank:

    address  id    size   access  holds
    0x0000   0     text   read    device name
    0x0001   0     3      read    firmware version, major minor patch
    0x0002   0     1      read    protocol version
    0x0003   0     2      read    raw channel count, little-endian
    0x0010   0     2      write   sample rate in samples/s, little-endian (0: as fast as possible)
    0x0011   0     1      write   simulated touch: 1 on, 0 off (rest values only)
    0x0100 to 0x01FF, any id: free storage, up to 256 bytes each, readable once written

A refused request is answered with a device error: code 2 for an unknown
register, 3 for a read-only one, 4 for data of the wrong size.
"""

import struct

DEVICE_NAME = 0x0000
FIRMWARE = 0x0001
PROTOCOL = 0x0002
CHANNELS = 0x0003
RATE = 0x0010
TOUCH = 0x0011
STORAGE_FIRST, STORAGE_LAST, STORAGE_SIZE = 0x0100, 0x01FF, 256

UNKNOWN_REGISTER, READ_ONLY, WRONG_SIZE = 2, 3, 4
FIRMWARE_VERSION = bytes([0, 1, 6])


class RegisterError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class RegisterBank:
    def __init__(self, version, channel_count, rate, touch=True):
        self.rate = float(rate)
        self.touch = bool(touch)
        self._fixed = {
            DEVICE_NAME: b"Feltwise simulated sensor",
            FIRMWARE: FIRMWARE_VERSION,
            PROTOCOL: bytes([version]),
            CHANNELS: struct.pack("<H", channel_count),
        }
        self._storage = {}

    def read(self, address, unit):
        if STORAGE_FIRST <= address <= STORAGE_LAST:
            if (address, unit) not in self._storage:
                raise RegisterError(UNKNOWN_REGISTER, f"register {address:#06x}/{unit} never written")
            return self._storage[address, unit]
        if unit != 0:
            raise RegisterError(UNKNOWN_REGISTER, f"no board {unit}")
        if address in self._fixed:
            return self._fixed[address]
        if address == RATE:
            return struct.pack("<H", min(65535, int(round(self.rate))))
        if address == TOUCH:
            return bytes([int(self.touch)])
        raise RegisterError(UNKNOWN_REGISTER, f"no register {address:#06x}")

    def write(self, address, unit, data):
        if STORAGE_FIRST <= address <= STORAGE_LAST:
            if len(data) > STORAGE_SIZE:
                raise RegisterError(WRONG_SIZE, f"at most {STORAGE_SIZE} bytes")
            self._storage[address, unit] = bytes(data)
            return
        if unit != 0:
            raise RegisterError(UNKNOWN_REGISTER, f"no board {unit}")
        if address in self._fixed:
            raise RegisterError(READ_ONLY, f"register {address:#06x} is read-only")
        if address == RATE:
            if len(data) != 2:
                raise RegisterError(WRONG_SIZE, "the rate is 2 bytes")
            self.rate = float(struct.unpack("<H", data)[0])
        elif address == TOUCH:
            if len(data) != 1:
                raise RegisterError(WRONG_SIZE, "touch is 1 byte")
            self.touch = data[0] != 0
        else:
            raise RegisterError(UNKNOWN_REGISTER, f"no register {address:#06x}")
