"""The Zenoh payload of one sample: a fixed little-endian layout that needs no library to read.

    offset  size  type      field
    0       4     bytes     magic "FWS1" (format 1)
    4       2     uint16    n: raw value count
    6       2     uint16    m: calibrated value count (0 without a parameter file)
    8       8     uint64    seq: the sample's number in its stream
    16      8     int64     t_host_ns: Unix time in ns when the publishing host took it
    24      4     uint32    dropped: samples lost between the previous seq and this one
    28      4     uint32    reconnects: the publisher's sensor reconnects before this sample
    32      8 n   float64   raw values
    32+8n   8 m   float64   calibrated values

32 + 8 (n + m) bytes in all; the values start 8-byte aligned. A reader
refuses another magic (a later format) and a length that does not match
the counts. docs/fleet.md has the same table and readers in C++ and Rust.

Offset 28 was reserved (0) before it carried `reconnects`; a reader that
ignores it reads every payload as before, and a payload from a publisher
that never reconnected has 0 there, as it always had.

`encode` and `decode` carry the fields as they are; remote.py turns the
monotonic stamp of a `Sample` into Unix time for the payload and back, and
the cumulative `dropped` into the count since the previous sample.
`problem` checks the header alone (no value is read), for a subscriber
that refuses what is not a sample before it queues anything.
"""

from __future__ import annotations

import struct
from typing import Optional

import numpy as np

from .sample import Sample

MAGIC = b"FWS1"
HEADER = struct.Struct("<4sHHQqII")
HEADER_SIZE = HEADER.size  # 32
MAX_VALUES = 65535
MAX_SIZE = HEADER_SIZE + 8 * 2 * MAX_VALUES  # 1,048,592 bytes
ENCODING = "application/x-feltwise-sample"
_U32 = 0xFFFFFFFF


class PayloadError(ValueError):
    """Bytes that are not a sample of this format."""


def encode(sample: Sample) -> bytes:
    raw = np.ascontiguousarray(sample.raw, dtype="<f8")
    calibrated = np.ascontiguousarray(sample.calibrated, dtype="<f8")
    if len(raw) > MAX_VALUES or len(calibrated) > MAX_VALUES:
        raise PayloadError(f"at most {MAX_VALUES} values of each kind, not {max(len(raw), len(calibrated))}")
    reconnects = int(getattr(sample, "reconnects", 0))
    header = HEADER.pack(
        MAGIC,
        len(raw),
        len(calibrated),
        sample.seq,
        sample.t_host_ns,
        min(max(sample.dropped, 0), _U32),
        min(max(reconnects, 0), _U32),
    )
    return b"".join((header, raw.tobytes(), calibrated.tobytes()))


def problem(data: bytes) -> Optional[str]:
    """Why `data` is not a sample of this format, or None if its header and
    length say it is. Reads the header only."""
    if len(data) < HEADER_SIZE:
        return f"{len(data)} bytes: shorter than the {HEADER_SIZE}-byte header"
    if len(data) > MAX_SIZE:
        return f"{len(data)} bytes: longer than the largest sample ({MAX_SIZE} bytes)"
    magic, n, m = struct.unpack_from("<4sHH", data)
    if magic != MAGIC:
        return f"magic {magic!r}, not {MAGIC!r}"
    if len(data) != HEADER_SIZE + 8 * (n + m):
        return f"{len(data)} bytes for {n} raw and {m} calibrated values (expected {HEADER_SIZE + 8 * (n + m)})"
    return None


def reconnects_of(data: bytes) -> int:
    """The `reconnects` field of a payload whose header `problem` accepted."""
    return int.from_bytes(data[28:32], "little")


def decode(data: bytes) -> Sample:
    refused = problem(data)
    if refused is not None:
        raise PayloadError(refused)
    _, n, m, seq, t_host_ns, dropped, reconnects = HEADER.unpack_from(data)
    values = np.frombuffer(data, dtype="<f8", offset=HEADER_SIZE, count=n + m).astype(np.float64)
    # Sample's last field, `reconnects`, where this version of it has one.
    fields = (values[:n], values[n:], seq, t_host_ns, dropped, reconnects)
    return Sample._make(fields[: len(Sample._fields)])
