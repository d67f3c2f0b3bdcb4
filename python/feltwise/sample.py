"""One sample as the tools pass it on: raw and calibrated values with their place in the stream.

`Sample` has the fields a subscriber, a recording and the Zenoh payload
need: `raw` and `calibrated` (numpy float64 arrays; `calibrated` is empty
without a parameter file), `seq` (the sample's number in its stream,
counting every sample the host took from the sensor), `t_host_ns` (Unix
time in nanoseconds when the host took it) and `dropped` (samples between
the previous one handed out and this one that were lost on the way).

`LocalSamples` makes these from a connected `FeltwiseComms`; it is the one
place that knows how the tools read a local sensor.
"""

import time

import numpy as np


class Sample:
    __slots__ = ("raw", "calibrated", "seq", "t_host_ns", "dropped")

    def __init__(self, raw, calibrated, seq, t_host_ns, dropped=0):
        self.raw = np.asarray(raw, dtype=np.float64)
        self.calibrated = np.asarray(calibrated, dtype=np.float64)
        self.seq, self.t_host_ns, self.dropped = int(seq), int(t_host_ns), int(dropped)

    def __repr__(self):
        return (f"Sample(seq={self.seq}, t_host_ns={self.t_host_ns}, dropped={self.dropped}, "
                f"raw={len(self.raw)} values, calibrated={len(self.calibrated)} values)")


def take_pair(comms, timeout_ms):
    """(raw, calibrated) of one fresh sample, or None after the time-out.

    The library hands a sample out through two calls that share one "new
    sample" flag, so the pair is read back to back and checked: if the raw
    sample changed in between, a newer sample arrived, and the pair is read
    again around it."""
    raw = comms.read_raw(timeout_ms)
    if not raw:
        return None
    calibrated = comms.read(0)
    for _ in range(3):
        check = comms.read_raw(0)
        if check == raw:
            return raw, calibrated
        # A newer sample arrived: take it (its flag is still set, and the
        # next read would hand it out a second time), and pair again.
        raw = comms.read_raw(1) or check
        calibrated = comms.read(0)
    return raw, calibrated


class LocalSamples:
    """Samples of a connected FeltwiseComms. The library gives neither a
    sequence number nor a host time, so both are the reader's: `seq` counts
    the samples taken here and `dropped` stays 0 (a sample overwritten before
    it was read goes unseen)."""

    def __init__(self, comms, calibrated=True):
        self.comms, self.calibrated = comms, calibrated
        self.seq = 0

    def read(self, timeout_s):
        """The next sample, or None after timeout_s seconds without one."""
        # At least 1 ms: below that the library returns the current sample
        # whether or not it was handed out before, and a reader asking for
        # the next one would get the same one again.
        timeout_ms = max(1, min(2**31 - 1, int(timeout_s * 1000)))
        if self.calibrated:
            pair = take_pair(self.comms, timeout_ms)
            if pair is None:
                return None
            raw, calibrated = pair
        else:
            raw, calibrated = self.comms.read_raw(timeout_ms), ()
            if not raw:
                return None
        sample = Sample(raw, calibrated, self.seq, time.time_ns())
        self.seq += 1
        return sample
