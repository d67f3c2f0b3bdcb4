"""Samples in batches over Zenoh: the publisher's columns that fill a batch
payload, and the subscriber's turn of payload rows into this host's samples.

`RowBuffer` holds the samples a publisher gathers for its next format-2
payload (payload.py) in columns that grow to the size a batch reaches and
are then reused, so a sample costs a copy into them and no allocation.

`Receiver` reads what a subscription took from its queue: the payloads'
rows in one numpy pass (payload.decode_rows), their Unix stamps turned
into this host's monotonic clock, `dropped` summed into the count since the
subscription's first sample, the publisher's returns added to
`reconnects`. `Received` is that, row by row, and hands out a `Sample`
or a `Batch`.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from . import payload
from .sample import Batch, ClockOffset, Sample

# A publisher starts a new batch before one would pass this many bytes (or
# holds a single sample, whatever its size): Zenoh fragments less, and a
# subscriber's queue (64 MiB) holds many.
PUBLISH_BATCH_BYTES = 1 << 20
_U32 = 0xFFFFFFFF


class RowBuffer:
    """Columns of the samples of one batch to come, n raw and m calibrated values each."""

    def __init__(self, max_bytes: int = PUBLISH_BATCH_BYTES):
        self.max_bytes = max_bytes
        self.rows = 0
        self.shape: Optional[tuple[int, int]] = None
        self.limit = 0
        self._allocate(0, 0, 0)

    def _allocate(self, n: int, m: int, capacity: int) -> None:
        old = (
            None
            if self.shape != (n, m)
            else (self.raw, self.calibrated, self.seq, self.t, self.dropped, self.reconnects)
        )
        self.raw = np.zeros((capacity, n), "<f8")
        self.calibrated = np.zeros((capacity, m), "<f8")
        self.seq = np.zeros(capacity, "<u8")
        self.t = np.zeros(capacity, "<i8")
        self.dropped = np.zeros(capacity, "<u4")
        self.reconnects = np.zeros(capacity, "<u4")
        if old is not None and self.rows:
            for new, kept in zip(self.columns(), old):
                new[: self.rows] = kept[: self.rows]
        self.shape, self.limit = (n, m), payload.max_batch_rows(n, m, self.max_bytes)

    def columns(self) -> tuple[npt.NDArray[np.generic], ...]:
        return (self.raw, self.calibrated, self.seq, self.t, self.dropped, self.reconnects)

    def holds(self, n: int, m: int) -> bool:
        """Whether a sample of n raw and m calibrated values can join the samples here."""
        return not self.rows or self.shape == (n, m)

    @property
    def full(self) -> bool:
        return self.rows >= self.limit

    def _room(self, n: int, m: int) -> None:
        if self.shape != (n, m):
            if self.rows:
                raise ValueError(f"samples of {n} + {m} values cannot join a batch of {self.shape}: send it first")
            self._allocate(n, m, 8)
        elif self.rows == len(self.seq):
            self._allocate(n, m, min(self.limit, max(8, 2 * len(self.seq))))

    def append(
        self, raw: npt.ArrayLike, calibrated: npt.ArrayLike, seq: int, t: int, dropped: int, reconnects: int
    ) -> None:
        raw, calibrated = np.asarray(raw), np.asarray(calibrated)
        self._room(raw.shape[0], calibrated.shape[0])
        row = self.rows
        self.raw[row] = raw
        self.calibrated[row] = calibrated
        self.seq[row] = seq
        self.t[row] = t
        self.dropped[row] = min(max(dropped, 0), _U32)
        self.reconnects[row] = min(max(reconnects, 0), _U32)
        self.rows += 1

    def extend(self, columns: Sequence[npt.NDArray[np.generic]]) -> int:
        """Copies the leading rows of `columns` (raw, calibrated, seq, t, dropped, reconnects)
        that fit before the batch is full; returns how many."""
        raw, calibrated = columns[0], columns[1]
        self._room(raw.shape[1], calibrated.shape[1])
        while self.rows + len(raw) > len(self.seq) and len(self.seq) < self.limit:
            self._allocate(raw.shape[1], calibrated.shape[1], min(self.limit, 2 * len(self.seq)))
        count = min(len(raw), len(self.seq) - self.rows)
        for column, values in zip(self.columns(), columns):
            column[self.rows : self.rows + count] = values[:count]
        self.rows += count
        return count

    def encode(self) -> bytes:
        rows = self.rows
        return payload.encode_rows(*(column[:rows] for column in self.columns()))

    def clear(self) -> None:
        self.rows = 0


class Received(NamedTuple):
    """Rows as a subscriber hands them out: stamps on this host's monotonic clock,
    `dropped` counted since the subscription's first sample."""

    raw: npt.NDArray[np.float64]
    calibrated: npt.NDArray[np.float64]
    seq: npt.NDArray[np.uint64]
    t_host_ns: npt.NDArray[np.int64]
    dropped: npt.NDArray[np.int64]
    reconnects: npt.NDArray[np.uint32]

    @property
    def rows(self) -> int:
        return int(self.seq.shape[0])

    def part(self, start: int, stop: Optional[int] = None) -> Received:
        return Received(*(column[start:stop] for column in self))

    def sample(self, i: int) -> Sample:
        return Sample(
            self.raw[i],
            self.calibrated[i],
            int(self.seq[i]),
            int(self.t_host_ns[i]),
            int(self.dropped[i]),
            int(self.reconnects[i]),
        )

    def batch(self, dropped: int) -> Batch:
        return Batch(self.raw, self.calibrated, self.seq, self.t_host_ns, dropped, self.reconnects)


def join(parts: Sequence[Received]) -> Received:
    return parts[0] if len(parts) == 1 else Received(*(np.concatenate(column) for column in zip(*parts)))


class Receiver:
    """The running state of one subscription's stream: the last seq and the drops so far."""

    def __init__(self) -> None:
        self.clock = ClockOffset()
        self.last_seq: Optional[int] = None
        self.dropped = 0
        self.shape = (0, 0)

    def receive(self, taken: Sequence[tuple[bytes, int, int]]) -> Received:
        """The rows of payloads (data, samples in it, the publisher's returns when it came)."""
        if len(taken) == 1 and taken[0][0][:4] == payload.MAGIC:
            return self._one(*taken[0])
        rows = payload.decode_rows([data for data, _, _ in taken])
        # Returns only grow: the first and last payload tell whether all came between the same two.
        first, last = taken[0][2], taken[-1][2]
        returns: object = np.uint32(first)
        if first != last:
            returns = np.repeat(np.array([r for _, _, r in taken], np.uint32), [count for _, count, _ in taken])
        seq = rows.seq.astype(np.int64)  # frames since connect: far below 2**63
        steps = np.empty_like(seq)
        steps[1:] = seq[1:] - seq[:-1]
        steps[0] = 0 if self.last_seq is None else seq[0] - self.last_seq
        lost = np.maximum(rows.dropped, steps - 1)
        lost[steps <= 0] = 0  # a seq that does not grow is a publisher that started again: no loss
        dropped = np.cumsum(lost)
        dropped += self.dropped
        self.dropped, self.last_seq = int(dropped[-1]), int(seq[-1])
        self.shape = (rows.raw.shape[1], rows.calibrated.shape[1])
        return Received(
            rows.raw,
            rows.calibrated,
            rows.seq,
            rows.t_host_ns - self.clock.unix_ns(0),  # less the clocks' offset
            dropped,
            (rows.reconnects + returns).astype(np.uint32),
        )

    def _one(self, data: bytes, _: int, returns: int) -> Received:
        # One sample, as a reader that keeps up takes them: the same, in a fraction of the numpy calls.
        _, n, m, seq, t_host_ns, lost, reconnects = payload.HEADER.unpack_from(data)
        if payload.problem(data) is not None:
            raise payload.PayloadError(payload.problem(data))
        values = np.frombuffer(data, "<f8", offset=payload.HEADER_SIZE).astype(np.float64).reshape(1, n + m)
        if self.last_seq is not None and seq > self.last_seq:
            self.dropped += max(lost, seq - self.last_seq - 1)
        self.last_seq, self.shape = seq, (n, m)
        return Received(
            values[:, :n],
            values[:, n:],
            np.array([seq], np.uint64),
            np.array([self.clock.monotonic_ns(t_host_ns)], np.int64),
            np.array([self.dropped], np.int64),
            np.array([min(reconnects + returns, 0xFFFFFFFF)], np.uint32),
        )

    def empty(self) -> Batch:
        n, m = self.shape
        return Batch(np.zeros((0, n)), np.zeros((0, m)), np.zeros(0, np.uint64), np.zeros(0, np.int64), self.dropped)
