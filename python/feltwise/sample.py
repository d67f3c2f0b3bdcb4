"""`Sample`: one frame of a sensor, the same for a sensor read here and one subscribed over Zenoh.

`raw` and `calibrated` (numpy float64 arrays; `calibrated` is empty without a
parameter file) come from the same frame. `seq` counts the frames decoded
since connect, this one included (the first is 1): a jump is a gap.
`t_host_ns` is on `time.monotonic_ns()`'s clock of this process's host.
`dropped` counts the frames since the reader started that it lost; a reader
that took every other frame sees `seq == taken + dropped` (from connect on).
`reconnects` counts the times the sensor came back after an unplug before
this frame (Sensor(reconnect=True)): where it grows, the stream had a gap.

Files and the Zenoh payload carry Unix time instead, which outlives the
process and means the same on another machine: `ClockOffset` turns one into
the other.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np
import numpy.typing as npt


@dataclass(frozen=True)
class Batch:
    """Every sample a reader took in one call, as arrays.

    Row i of `raw` and `calibrated` is the frame whose sequence number is
    `seq[i]` and whose time stamp is `t_host_ns[i]` (the clock of
    `Sample.t_host_ns`); rows are in the order the frames were decoded.
    `dropped` is the reader's count after the last row, as `Sample.dropped`;
    `reconnects[i]` is `Sample.reconnects` of row i. An empty batch has zero
    rows and the sensor's column counts. `len(batch)` is its row count.
    """

    raw: npt.NDArray[np.float64]  # (rows, raw channels)
    calibrated: npt.NDArray[np.float64]  # (rows, calibrated outputs); no columns without parameters
    seq: npt.NDArray[np.uint64]
    t_host_ns: npt.NDArray[np.int64]
    dropped: int = 0
    reconnects: npt.NDArray[np.uint32] = field(default_factory=lambda: np.zeros(0, np.uint32))

    def __len__(self) -> int:
        return int(self.seq.shape[0])

    def sample(self, index: int) -> Sample:
        """Row `index` as a `Sample` (with the batch's `dropped`)."""
        reconnects = int(self.reconnects[index]) if len(self.reconnects) else 0
        return Sample(
            self.raw[index],
            self.calibrated[index],
            int(self.seq[index]),
            int(self.t_host_ns[index]),
            self.dropped,
            reconnects,
        )

    def samples(self) -> list[Sample]:
        """Every row as a `Sample`, in order."""
        return [self.sample(i) for i in range(len(self))]


class Sample(NamedTuple):
    """One frame of the sensor.

    `raw` and `calibrated` come from the same frame. `seq` counts the frames
    decoded since connect, this one included (the first is 1): a jump is a
    gap. `t_host_ns` is `time.monotonic_ns()`'s clock, read by the acquisition
    thread the moment the frame was decoded. `dropped` counts the frames since
    connect that this reader's path lost (replaced before anyone took them, or
    pushed out of the full queue); a reader that took every other frame sees
    `seq == taken + dropped`. `reconnects` is how many times the sensor had
    been reconnected after an unplug when this frame was decoded (always 0
    without `reconnect=True`): the first frame after each return carries one
    more than the frame before it, and the time between the two is the gap.
    `seq` counts on across a reconnect; frames the device sent while it was
    away were never received and count in neither `seq` nor `dropped`.
    """

    raw: npt.NDArray[np.float64]
    calibrated: npt.NDArray[np.float64]
    seq: int
    t_host_ns: int
    dropped: int = 0
    reconnects: int = 0


def _measure_offset_ns() -> int:
    # The narrowest of a few monotonic-wall-monotonic brackets: a thread
    # descheduled between two clock reads would otherwise skew every stamp.
    best = (2**63, 0)  # (bracket width, offset)
    for _ in range(5):
        before = time.monotonic_ns()
        wall = time.time_ns()
        after = time.monotonic_ns()
        if after - before < best[0]:
            best = (after - before, wall - (before + after) // 2)
    return best[1]


class ClockOffset:
    """Unix time minus monotonic time, measured again at most every `refresh_s`
    seconds (NTP slews the wall clock; within a second the offset holds).
    `refresh_s=None` keeps the first measurement: a recording's times stay in
    the order and spacing the sensor's frames had."""

    def __init__(self, refresh_s: float | None = 1.0):
        self.refresh_ns = None if refresh_s is None else int(refresh_s * 1e9)
        self._offset = _measure_offset_ns()
        self._measured = time.monotonic_ns()

    def _current(self) -> int:
        if self.refresh_ns is not None and time.monotonic_ns() - self._measured > self.refresh_ns:
            self._offset = _measure_offset_ns()
            self._measured = time.monotonic_ns()
        return self._offset

    def unix_ns(self, monotonic_ns: int) -> int:
        return monotonic_ns + self._current()

    def monotonic_ns(self, unix_ns: int) -> int:
        return unix_ns - self._current()
