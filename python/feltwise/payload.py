"""The Zenoh payloads of samples: fixed little-endian layouts that need no library to read.

Format 1 ("FWS1"), one sample:

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

32 + 8 (n + m) bytes in all; the values start 8-byte aligned.

Format 2 ("FWS2"), k samples of one sensor in the order they were taken
(`publish --batch-ms`), column by column, so that each field is one array:

    offset        size   type      field
    0             4      bytes     magic "FWS2" (format 2)
    4             2      uint16    n: raw value count
    6             2      uint16    m: calibrated value count
    8             4      uint32    k: sample count, at least 1
    12            4      uint32    reserved: 0 (readers ignore it)
    16            8 k    uint64    seq of each sample
    16+8k         8 k    int64     t_host_ns of each sample
    16+16k        4 k    uint32    dropped of each sample
    16+20k        4 k    uint32    reconnects of each sample
    16+24k        8 k n  float64   raw values, sample after sample
    16+24k+8kn    8 k m  float64   calibrated values, sample after sample

16 + 8 k (3 + n + m) bytes in all, at most MAX_BATCH_SIZE; every column
starts 8-byte aligned. Each field means what it means in format 1.

A reader refuses another magic and a length that does not match the counts;
a reader of format 1 alone therefore skips a batch instead of misreading it.
docs/fleet.md has the same tables, and readers in C++ (and Rust, of format 1).

Offset 28 of format 1 was reserved (0) before it carried `reconnects`; a
reader that ignores it reads every payload as before.

`encode` and `encode_rows` carry the fields as they are; remote.py turns the
monotonic stamps of a `Sample` into Unix time for the payload and back, and
the cumulative `dropped` into the count since the previous sample.
`inspect` checks the header alone (no value is read), for a subscriber that
refuses what is not a payload of samples before it queues anything;
`decode_rows` reads a run of checked payloads of one shape in one pass.
"""

from __future__ import annotations

import functools
import struct
from collections.abc import Sequence
from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from .sample import Sample

MAGIC = b"FWS1"
HEADER = struct.Struct("<4sHHQqII")
HEADER_SIZE = HEADER.size  # 32
MAX_VALUES = 65535
MAX_SIZE = HEADER_SIZE + 8 * 2 * MAX_VALUES  # 1,048,592 bytes

BATCH_MAGIC = b"FWS2"
BATCH_HEADER = struct.Struct("<4sHHII")
BATCH_HEADER_SIZE = BATCH_HEADER.size  # 16
MAX_BATCH_SIZE = 4 << 20  # 4,194,304 bytes: a few largest samples, or thousands of small ones
ROW_OVERHEAD = 24  # bytes of seq, t_host_ns, dropped and reconnects per sample of a batch

MIN_SIZE = BATCH_HEADER_SIZE
MAX_ANY_SIZE = MAX_BATCH_SIZE
ENCODING = "application/x-feltwise-sample"
FORMATS = (MAGIC, BATCH_MAGIC)
_U32 = 0xFFFFFFFF


class PayloadError(ValueError):
    """Bytes that are not a sample payload of these formats."""


class Rows(NamedTuple):
    """The samples of one or more payloads as arrays, fields as the payload carries them."""

    raw: npt.NDArray[np.float64]  # (k, n)
    calibrated: npt.NDArray[np.float64]  # (k, m)
    seq: npt.NDArray[np.uint64]
    t_host_ns: npt.NDArray[np.int64]  # Unix time
    dropped: npt.NDArray[np.uint32]  # lost between the previous seq and this one
    reconnects: npt.NDArray[np.uint32]

    def __len__(self) -> int:  # type: ignore[override]
        return int(self.seq.shape[0])


def _u32(value: int) -> int:
    return min(max(int(value), 0), _U32)


def encode(sample: Sample) -> bytes:
    raw = np.ascontiguousarray(sample.raw, dtype="<f8")
    calibrated = np.ascontiguousarray(sample.calibrated, dtype="<f8")
    if len(raw) > MAX_VALUES or len(calibrated) > MAX_VALUES:
        raise PayloadError(f"at most {MAX_VALUES} values of each kind, not {max(len(raw), len(calibrated))}")
    header = HEADER.pack(
        MAGIC,
        len(raw),
        len(calibrated),
        sample.seq,
        sample.t_host_ns,
        _u32(sample.dropped),
        _u32(getattr(sample, "reconnects", 0)),
    )
    return b"".join((header, raw.tobytes(), calibrated.tobytes()))


def batch_size(rows: int, n: int, m: int) -> int:
    return BATCH_HEADER_SIZE + 8 * rows * (3 + n + m)


def max_batch_rows(n: int, m: int, size: int = MAX_BATCH_SIZE) -> int:
    """The most samples of n raw and m calibrated values a batch of at most `size` bytes holds (at least 1)."""
    return max(1, (size - BATCH_HEADER_SIZE) // (8 * (3 + n + m)))


def encode_rows(
    raw: npt.ArrayLike,
    calibrated: npt.ArrayLike,
    seq: npt.ArrayLike,
    t_host_ns: npt.ArrayLike,
    dropped: npt.ArrayLike,
    reconnects: npt.ArrayLike,
) -> bytes:
    """A format-2 payload of the samples whose fields are these columns
    (`raw` and `calibrated` 2-D, one row per sample; `dropped` and
    `reconnects` are clipped to 0 to 2**32 - 1)."""
    seq = np.ascontiguousarray(seq, dtype="<u8")
    rows = len(seq)
    raw = np.ascontiguousarray(raw, dtype="<f8").reshape(rows, -1) if rows else np.zeros((0, 0), "<f8")
    calibrated = np.ascontiguousarray(calibrated, dtype="<f8").reshape(rows, -1) if rows else np.zeros((0, 0), "<f8")
    n, m = raw.shape[1], calibrated.shape[1]
    if not rows:
        raise PayloadError("a batch holds at least one sample")
    if n > MAX_VALUES or m > MAX_VALUES:
        raise PayloadError(f"at most {MAX_VALUES} values of each kind, not {max(n, m)}")
    size = batch_size(rows, n, m)
    if size > MAX_BATCH_SIZE:
        raise PayloadError(f"{rows} samples of {n} + {m} values make {size} bytes (at most {MAX_BATCH_SIZE})")
    columns = (
        np.ascontiguousarray(t_host_ns, dtype="<i8"),
        np.clip(np.asarray(dropped, dtype=np.int64), 0, _U32).astype("<u4"),
        np.clip(np.asarray(reconnects, dtype=np.int64), 0, _U32).astype("<u4"),
    )
    if any(column.shape != (rows,) for column in columns):
        raise PayloadError(f"every column needs one value per sample ({rows})")
    header = BATCH_HEADER.pack(BATCH_MAGIC, n, m, rows, 0)
    return b"".join((header, seq.tobytes(), *(c.tobytes() for c in columns), raw.tobytes(), calibrated.tobytes()))


def size_problem(size: int) -> Optional[str]:
    """Why a payload of `size` bytes cannot be one of ours, or None: for a
    look before its bytes are copied."""
    if size < MIN_SIZE:
        return f"{size} bytes: shorter than the {HEADER_SIZE}-byte header ({BATCH_HEADER_SIZE} bytes in a batch)"
    if size > MAX_ANY_SIZE:
        return f"{size} bytes: longer than the largest batch ({MAX_ANY_SIZE} bytes)"
    return None


def _magic_problem(magic: bytes) -> str:
    if magic[:3] == b"FWS" and magic[3:4].isdigit():
        return (
            f"magic {magic!r}: format {magic[3:4].decode()} of the sample payload, which this version of "
            f"feltwise does not read (it reads {MAGIC!r} and {BATCH_MAGIC!r}); update feltwise here"
        )
    return f"magic {magic!r}, not {MAGIC!r} or {BATCH_MAGIC!r}"


def inspect(data: bytes) -> tuple[int, Optional[str]]:
    """(samples in `data`, None) if its header and length say it is a
    payload of these formats, else (0, why not). Reads the header only."""
    size = len(data)
    too = size_problem(size)
    if too is not None:
        return 0, too
    magic, n, m = struct.unpack_from("<4sHH", data)
    if magic == MAGIC:
        if size < HEADER_SIZE:
            return 0, f"{size} bytes: shorter than the {HEADER_SIZE}-byte header"
        if size > MAX_SIZE:
            return 0, f"{size} bytes: longer than the largest sample ({MAX_SIZE} bytes)"
        if size != HEADER_SIZE + 8 * (n + m):
            return 0, f"{size} bytes for {n} raw and {m} calibrated values (expected {HEADER_SIZE + 8 * (n + m)})"
        return 1, None
    if magic == BATCH_MAGIC:
        (rows,) = struct.unpack_from("<I", data, 8)
        if rows == 0:
            return 0, "a batch of 0 samples"
        expected = batch_size(rows, n, m)
        if size != expected:
            return 0, (
                f"{size} bytes for a batch of {rows} samples of {n} raw and {m} calibrated values (expected {expected})"
            )
        return rows, None
    return 0, _magic_problem(magic)


def problem(data: bytes) -> Optional[str]:
    """Why `data` is not a payload of these formats, or None if its header
    and length say it is. Reads the header only."""
    return inspect(data)[1]


def shape_of(data: bytes) -> bytes:
    """The value counts of a checked payload (n and m, as their 4 bytes): payloads of
    one sensor have the same, whichever format."""
    return data[4:8]


def reconnects_of(data: bytes) -> int:
    """The `reconnects` field of a format-1 payload whose header `problem` accepted."""
    return int.from_bytes(data[28:32], "little")


def decode(data: bytes) -> Sample:
    """The sample of a format-1 payload."""
    rows, refused = inspect(data)
    if refused is None and data[:4] != MAGIC:
        refused = f"a batch of {rows} samples, not one sample (decode_rows reads it)"
    if refused is not None:
        raise PayloadError(refused)
    _, n, m, seq, t_host_ns, dropped, reconnects = HEADER.unpack_from(data)
    values = np.frombuffer(data, dtype="<f8", offset=HEADER_SIZE, count=n + m).astype(np.float64)
    # Sample's last field, `reconnects`, where this version of it has one.
    fields = (values[:n], values[n:], seq, t_host_ns, dropped, reconnects)
    return Sample._make(fields[: len(Sample._fields)])


@functools.lru_cache(maxsize=16)
def _record(n: int, m: int) -> np.dtype:
    return np.dtype(
        [
            ("magic", "S4"),
            ("n", "<u2"),
            ("m", "<u2"),
            ("seq", "<u8"),
            ("t_host_ns", "<i8"),
            ("dropped", "<u4"),
            ("reconnects", "<u4"),
            ("raw", "<f8", (n,)),
            ("calibrated", "<f8", (m,)),
        ]
    )


def _samples(datas: Sequence[bytes], n: int, m: int) -> Rows:
    # Format-1 payloads of one shape are records of one size: joined, they are one array.
    records = np.frombuffer(b"".join(datas), dtype=_record(n, m))
    return Rows(
        records["raw"].astype(np.float64).reshape(len(records), n),
        records["calibrated"].astype(np.float64).reshape(len(records), m),
        records["seq"].astype(np.uint64),
        records["t_host_ns"].astype(np.int64),
        records["dropped"].astype(np.uint32),
        records["reconnects"].astype(np.uint32),
    )


def _batch(data: bytes, n: int, m: int) -> Rows:
    (k,) = struct.unpack_from("<I", data, 8)
    at = BATCH_HEADER_SIZE

    def column(dtype: str, count: int) -> npt.NDArray[np.generic]:
        nonlocal at
        values = np.frombuffer(data, dtype=dtype, count=count, offset=at)
        at += values.nbytes
        return values

    seq = column("<u8", k).astype(np.uint64)
    t_host_ns = column("<i8", k).astype(np.int64)
    dropped = column("<u4", k).astype(np.uint32)
    reconnects = column("<u4", k).astype(np.uint32)
    raw = column("<f8", k * n).astype(np.float64).reshape(k, n)
    calibrated = column("<f8", k * m).astype(np.float64).reshape(k, m)
    return Rows(raw, calibrated, seq, t_host_ns, dropped, reconnects)


def empty_rows(n: int = 0, m: int = 0) -> Rows:
    u32 = np.zeros(0, np.uint32)
    return Rows(np.zeros((0, n)), np.zeros((0, m)), np.zeros(0, np.uint64), np.zeros(0, np.int64), u32, u32.copy())


def concatenate(parts: Sequence[Rows]) -> Rows:
    if len(parts) == 1:
        return parts[0]
    return Rows(*(np.concatenate(column) for column in zip(*parts)))


def decode_rows(datas: Sequence[bytes]) -> Rows:
    """The samples of payloads whose values have one shape (`shape_of`), in order,
    either format, as arrays: one numpy pass per run of format-1 payloads and
    one per batch, no object per sample. Raises PayloadError for one that
    `inspect` refuses."""
    if not datas:
        return empty_rows()
    for data in datas:
        refused = inspect(data)[1]
        if refused is not None:
            raise PayloadError(refused)
    n, m = struct.unpack_from("<HH", datas[0], 4)
    parts: list[Rows] = []
    run: list[bytes] = []
    for data in datas:
        if data[4:8] != datas[0][4:8]:
            raise PayloadError("payloads of different value counts cannot be read as one")
        if data[:4] == MAGIC:
            run.append(data)
            continue
        if run:
            parts.append(_samples(run, n, m))
            run = []
        parts.append(_batch(data, n, m))
    if run:
        parts.append(_samples(run, n, m))
    return concatenate(parts)
