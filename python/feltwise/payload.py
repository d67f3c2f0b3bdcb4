"""The Zenoh payload of one sample: a fixed little-endian layout that needs no library to read.

    offset  size  type      field
    0       4     bytes     magic "FWS1" (format 1)
    4       2     uint16    n: raw value count
    6       2     uint16    m: calibrated value count (0 without a parameter file)
    8       8     uint64    seq: the sample's number in its stream
    16      8     int64     t_host_ns: Unix time in ns when the publishing host took it
    24      4     uint32    dropped: samples lost between the previous seq and this one
    28      4     uint32    reserved, 0
    32      8 n   float64   raw values
    32+8n   8 m   float64   calibrated values

32 + 8 (n + m) bytes in all; the values start 8-byte aligned. A reader
refuses another magic (a later format) and a length that does not match
the counts. docs/fleet.md has the same table and readers in C++ and Rust.

`encode` and `decode` carry the fields as they are; remote.py turns the
monotonic stamp of a `Sample` into Unix time for the payload and back, and
the cumulative `dropped` into the count since the previous sample.
"""

import struct

import numpy as np

from .sample import Sample

MAGIC = b"FWS1"
HEADER = struct.Struct("<4sHHQqII")
HEADER_SIZE = HEADER.size  # 32
MAX_VALUES = 65535
ENCODING = "application/x-feltwise-sample"


class PayloadError(ValueError):
    """Bytes that are not a sample of this format."""


def encode(sample):
    raw = np.ascontiguousarray(sample.raw, dtype="<f8")
    calibrated = np.ascontiguousarray(sample.calibrated, dtype="<f8")
    if len(raw) > MAX_VALUES or len(calibrated) > MAX_VALUES:
        raise PayloadError(f"at most {MAX_VALUES} values of each kind, not {max(len(raw), len(calibrated))}")
    header = HEADER.pack(
        MAGIC, len(raw), len(calibrated), sample.seq, sample.t_host_ns, min(sample.dropped, 0xFFFFFFFF), 0
    )
    return b"".join((header, raw.tobytes(), calibrated.tobytes()))


def decode(data):
    if len(data) < HEADER_SIZE:
        raise PayloadError(f"{len(data)} bytes: shorter than the {HEADER_SIZE}-byte header")
    magic, n, m, seq, t_host_ns, dropped, _ = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise PayloadError(f"magic {magic!r}, not {MAGIC!r}")
    if len(data) != HEADER_SIZE + 8 * (n + m):
        raise PayloadError(
            f"{len(data)} bytes for {n} raw and {m} calibrated values (expected {HEADER_SIZE + 8 * (n + m)})"
        )
    values = np.frombuffer(data, dtype="<f8", offset=HEADER_SIZE, count=n + m).astype(np.float64)
    return Sample(values[:n], values[n:], seq, t_host_ns, dropped)
