"""The sensor's side of the wire formats, one row per protocol version.

What the sensor sends (sample frames and lines, register replies, status
frames, error lines) and how it reads the host's register requests. The
library's readers are the other side; the tests hold one against the other.
These are the encoders and the device key of the Python side: the
simulated sensor, the tests that play a sensor and the fuzz corpus all
build their bytes here.

`DIALECTS` says how the sensor speaks each version: text or binary, with
register traffic or without, and how one sample is encoded. It is checked
against the library's own protocol table (`feltwise._native.protocols()`)
when this module is imported, wherever the extension module is there: a
version the library has and the simulator lacks, or one they disagree on,
fails at once instead of being sent some other version's frames.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable, Sequence
from typing import Callable, NamedTuple, Optional

from ..errors import SimulatorError

# The key the library deciphers version-2 frames with (FIPS-197, appendix A.1).
DEVICE_KEY = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")

SAMPLE_WORD = 0xFFFF
READ_WORD = 0xFFFB  # read request from the host, read reply from the sensor
WRITE_WORD = 0xFFFC
STATUS_WORD = 0xFFFA
STATUS_OK = 1
MAX_COUNT = 1023
# A version-2 frame carries 8 values per 16-byte block and at most 64 blocks.
MAX_ENCIPHERED_CHANNELS = 8 * (MAX_COUNT // 16 + 1)


def _u16(values):
    return [min(65535, max(0, int(round(v)))) for v in values]


def sample_frame(values):
    """Versions 1 and 4: FF FF, count, count little-endian 16-bit readings."""
    values = _u16(values)
    return struct.pack(f"<HH{len(values)}H", SAMPLE_WORD, len(values), *values)


def enciphered_count(channel_count):
    """The count a version-2 frame declares to carry channel_count values.

    The ciphertext is floor(count/16) + 1 blocks of 8 values each, so a frame
    whose count is the number of channels carries them all only for up to 8
    channels or exactly 16. For other channel counts the sensor declares the
    smallest larger count whose blocks hold every channel and pads the values
    with zeros; the host then sees the values of all blocks, channels first.
    """
    if channel_count <= 8:
        return channel_count
    return max(channel_count, 16 * (-(-channel_count // 8) - 1))


def enciphered_frame(values, key=DEVICE_KEY, count=None):
    """Version 2: the version-1 header, then the values enciphered with AES-128 in ECB mode.

    `count` is the count the header declares; by default the smallest that
    carries every value (enciphered_count). A count of its own (the number
    of values, say) sends what a sensor would: floor(count/16) + 1 blocks."""
    try:
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    except ImportError:
        raise SimulatorError("simulating protocol 2 needs cryptography: pip install 'feltwise-comm[sim]'") from None

    values = _u16(values)
    count = enciphered_count(len(values)) if count is None else count
    blocks = count // 16 + 1
    plaintext = struct.pack(f"<{len(values)}H", *values).ljust(16 * blocks, b"\0")[: 16 * blocks]
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return struct.pack("<HH", SAMPLE_WORD, count) + encryptor.update(plaintext) + encryptor.finalize()


def sample_line(values):
    """Versions 0 and 3: the readings as decimal numbers, comma-separated, one line."""
    return (",".join(f"{v:.1f}" for v in values) + "\n").encode("ascii")


def binary_read_reply(address, unit, data):
    """Version 4: FB FF, two words (the sensor echoes address and id), length, data."""
    return struct.pack("<HHHH", READ_WORD, address, unit, len(data)) + bytes(data)


def binary_status(code):
    """Version 4: FA FF and a status code; 1 is success."""
    return struct.pack("<HH", STATUS_WORD, code)


def text_read_reply(address, unit, data):
    """Version 3: R address,id,count,hex."""
    return f"R{address},{unit},{len(data)},{bytes(data).hex()}\n".encode("ascii")


def text_ack():
    return b"OK\n"


def text_error(code, message):
    """Version 3: a device error line; the host echoes it on its standard output."""
    return f"E{code} {message}\n".encode("ascii", "replace")


def binary_read_request(address, unit):
    return struct.pack("<HHHH", READ_WORD, address, unit, 0)


def binary_write_request(address, unit, data):
    return struct.pack("<HHHH", WRITE_WORD, address, unit, len(data) % 65536) + bytes(data)


class Request:
    """A register request as the sensor received it; data is None for a read."""

    def __init__(self, address, unit, data=None, malformed=None):
        self.address, self.unit, self.data, self.malformed = address, unit, data, malformed

    @property
    def is_read(self):
        return self.data is None

    def __repr__(self):
        kind = "malformed" if self.malformed else ("read" if self.is_read else f"write {self.data.hex()}")
        return f"Request({kind}, {self.address}, {self.unit})"


class BinaryRequestReader:
    """Finds version-4 requests in the bytes the host writes; skips anything else
    byte by byte, as a sensor's firmware would after line noise."""

    def __init__(self):
        self._buffer = bytearray()

    def feed(self, data):
        self._buffer += data
        requests = []
        while len(self._buffer) >= 2:
            word = self._buffer[0] | self._buffer[1] << 8
            if word not in (READ_WORD, WRITE_WORD):
                del self._buffer[0]
                continue
            if len(self._buffer) < 8:
                break
            _, address, unit, length = struct.unpack_from("<HHHH", self._buffer)
            if word == READ_WORD:
                requests.append(Request(address, unit))
                del self._buffer[:8]
                continue
            if len(self._buffer) < 8 + length:
                break
            requests.append(Request(address, unit, bytes(self._buffer[8 : 8 + length])))
            del self._buffer[: 8 + length]
        return requests


class TextRequestReader:
    """Finds version-3 request lines: r address,id,0 and w address,id,count,HEX."""

    def __init__(self):
        self._buffer = bytearray()

    def feed(self, data):
        self._buffer += data
        requests = []
        while b"\n" in self._buffer:
            end = self._buffer.index(b"\n")
            line = bytes(self._buffer[:end]).decode("ascii", "replace").strip()
            del self._buffer[: end + 1]
            if line:
                requests.append(self.parse(line))
        if len(self._buffer) > 65536:  # no line feed in sight: noise, not a request
            self._buffer.clear()
        return requests

    @staticmethod
    def parse(line):
        fields = line[1:].split(",")
        try:
            if line[0] == "r" and len(fields) == 3:
                return Request(int(fields[0]), int(fields[1]))
            if line[0] == "w" and len(fields) == 4:
                data = bytes.fromhex(fields[3])
                if len(data) != int(fields[2]):
                    return Request(int(fields[0]), int(fields[1]), malformed="count does not match data")
                return Request(int(fields[0]), int(fields[1]), data)
        except ValueError:
            pass
        return Request(0, 0, malformed=f"bad request {line[:40]!r}")


class Dialect(NamedTuple):
    """How the sensor speaks one protocol version."""

    is_text: bool
    has_registers: bool
    encode: Callable[[Sequence[float]], bytes]  # one sample's values to its frame or line
    max_channels: Optional[int]  # the most one sample carries; None: no limit


DIALECTS = {
    0: Dialect(is_text=True, has_registers=False, encode=sample_line, max_channels=None),
    1: Dialect(is_text=False, has_registers=False, encode=sample_frame, max_channels=MAX_COUNT),
    2: Dialect(is_text=False, has_registers=False, encode=enciphered_frame, max_channels=MAX_ENCIPHERED_CHANNELS),
    3: Dialect(is_text=True, has_registers=True, encode=sample_line, max_channels=None),
    4: Dialect(is_text=False, has_registers=True, encode=sample_frame, max_channels=MAX_COUNT),
}


def versions() -> tuple[int, ...]:
    return tuple(sorted(DIALECTS))


def dialect(version: int) -> Dialect:
    try:
        return DIALECTS[version]
    except (KeyError, TypeError):
        known = versions()
        raise SimulatorError(f"protocol version {version} is not one of {known[0]} to {known[-1]}") from None


def disagreements(rows: Iterable[tuple[int, str, bool, bool]]) -> list[str]:
    """Where DIALECTS and the library's protocol table (rows of version, class
    name, is_text, has_registers) differ, one line each: [] when they agree."""
    found = []
    library = {version: (name, is_text, has_registers) for version, name, is_text, has_registers in rows}
    for version in sorted(set(library) | set(DIALECTS)):
        if version not in DIALECTS:
            found.append(f"protocol {version} ({library[version][0]}) has no row in feltwise.sim.wire.DIALECTS")
        elif version not in library:
            found.append(f"protocol {version} of feltwise.sim.wire.DIALECTS is not in the library's table")
        elif library[version][1:] != DIALECTS[version][:2]:
            name, is_text, has_registers = library[version]
            found.append(
                f"protocol {version} ({name}) is {'text' if is_text else 'binary'} "
                f"{'with' if has_registers else 'without'} registers in the library, not in DIALECTS"
            )
    return found


def _check_against_the_library() -> None:
    try:
        from .. import _native
    except ImportError:  # a source tree without its build: the simulator runs on its own table
        return
    found = disagreements(_native.protocols())
    if found:
        raise SimulatorError("the simulated sensor's protocol table is out of step: " + "; ".join(found))


_check_against_the_library()
