"""Zip archives of stored (uncompressed) members, as .npz files are, written by hand.

Python's zipfile appends by writing new members over the old central
directory and a new directory only when the archive is closed: a write that
fails in between leaves no directory at all, and no reader opens the file.
`GrowingZip` adds members in one piece instead, the members and the whole
new directory in one write where the old directory began (`RecordingFile`
puts the old one back if that write fails), so the file on disk is at every
moment the archive of the parts added whole.

The records are those of the zip format (PKWARE's APPNOTE): a local header
before each member, a central directory entry per member, and the end
records. Every archive carries the zip64 end records, so that offsets past
4 GiB and more than 65,535 members need nothing special; zipfile, numpy and
unzip read them.
"""

from __future__ import annotations

import struct
import time
import zlib

_LOCAL = 0x04034B50
_CENTRAL = 0x02014B50
_END64 = 0x06064B50
_LOCATOR64 = 0x07064B50
_END = 0x06054B50
_ZIP64_EXTRA = 0x0001
_VERSION = 45  # 4.5: zip64
_UNIX = 3
_LIMIT32 = 0xFFFFFFFF


def dos_time(seconds=None):
    year, month, day, hour, minute, second = time.localtime(seconds)[:6]
    year = min(max(year, 1980), 2107)
    return (hour << 11) | (minute << 5) | (second // 2), ((year - 1980) << 9) | (month << 5) | day


def local_header(name: bytes, size: int, crc: int, stamp) -> bytes:
    """The local header of a stored member of `size` bytes (zip64 sizes when
    it is 4 GiB or more); its length depends on the size only, so it can be
    written once the member's CRC is known, in the place kept for it."""
    extra = b""
    size32 = size
    if size >= _LIMIT32:
        extra = struct.pack("<HHQQ", _ZIP64_EXTRA, 16, size, size)
        size32 = _LIMIT32
    return (
        struct.pack("<IHHHHHIIIHH", _LOCAL, _VERSION, 0, 0, *stamp, crc, size32, size32, len(name), len(extra))
        + name
        + extra
    )


def central_entry(name: bytes, size: int, crc: int, offset: int, stamp) -> bytes:
    values = []
    if size >= _LIMIT32:
        values += [size, size]
    if offset >= _LIMIT32:
        values.append(offset)
    extra = struct.pack(f"<HH{len(values)}Q", _ZIP64_EXTRA, 8 * len(values), *values) if values else b""
    size32 = min(size, _LIMIT32)
    return (
        struct.pack(
            "<IHHHHHHIIIHHHHHII",
            _CENTRAL,
            (_UNIX << 8) | _VERSION,
            _VERSION,
            0,
            0,
            *stamp,
            crc,
            size32,
            size32,
            len(name),
            len(extra),
            0,
            0,
            0,
            0o100644 << 16,
            min(offset, _LIMIT32),
        )
        + name
        + extra
    )


def end_records(count: int, directory_offset: int, directory_size: int) -> bytes:
    """The zip64 end record, its locator and the classic end record, for a
    directory of `count` entries that ends where these begin."""
    end64_offset = directory_offset + directory_size
    return (
        struct.pack(
            "<IQHHIIQQQQ",
            _END64,
            44,
            (_UNIX << 8) | _VERSION,
            _VERSION,
            0,
            0,
            count,
            count,
            directory_size,
            directory_offset,
        )
        + struct.pack("<IIQI", _LOCATOR64, 0, end64_offset, 1)
        + struct.pack(
            "<IHHHHIIH",
            _END,
            0,
            0,
            min(count, 0xFFFF),
            min(count, 0xFFFF),
            min(directory_size, _LIMIT32),
            min(directory_offset, _LIMIT32),
            0,
        )
    )


class GrowingZip:
    """An archive in a `RecordingFile` that grows by `add`; each add is one
    write of its members and the new directory."""

    def __init__(self, file):
        self.file = file
        self.stamp = dos_time()
        self._directory = b""
        self.count = 0

    def add(self, members):
        """Adds [(name, bytes)]; on a failed write the archive stays as it was
        and the OSError is raised."""
        offset = self.file.end
        pieces, entries = [], []
        for name, data in members:
            encoded = name.encode()
            crc = zlib.crc32(data)
            entries.append(central_entry(encoded, len(data), crc, offset, self.stamp))
            header = local_header(encoded, len(data), crc, self.stamp)
            pieces += [header, data]
            offset += len(header) + len(data)
        directory = self._directory + b"".join(entries)
        closing = directory + end_records(self.count + len(entries), offset, len(directory))
        self.file.extend(b"".join(pieces), closing)
        self._directory = directory
        self.count += len(entries)
