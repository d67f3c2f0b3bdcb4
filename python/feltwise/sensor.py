"""`Sensor`: one Feltwise sensor, the API we recommend for Python programs.

    with feltwise.Sensor("/dev/ttyUSB0", "pad.msgpack") as sensor:
        sensor.zero()
        sample = sensor.read(timeout=0.5)      # the newest sample, or None
        print(sample.seq, sample.calibrated)

    with feltwise.Sensor("/dev/ttyUSB0", "pad.msgpack", queue=1024) as sensor:
        batch = sensor.read_batch(timeout=0.5)  # every queued sample, as arrays
        print(batch.seq, batch.calibrated.shape)

Every call that waits releases the interpreter lock: other threads, other
sensors and event loops run meanwhile, and Ctrl-C ends a wait at once.
Time-outs are seconds. The C++ core (feltwise._native) is the one that
feltwise_comm_py uses: same protocols, models and acquisition thread.

A program exits with its own status whatever its threads are doing with a
sensor: sensors still open are closed at exit, and threads waiting in them
stay there quietly until the process ends. In a process forked from the one
that opened it, a sensor is closed. What the library has to report (a unit
not plugged in, a device's error line) goes to the logger "feltwise".
"""

from __future__ import annotations

import atexit
import functools
import itertools
import math
import os
import weakref
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Literal, Optional, Union, overload

from . import _native, protocols
from .errors import ParameterFileError, SensorError
from .sample import Batch, Sample

PathLike = Union[str, "os.PathLike[str]"]

# A Sample from the native tuple of its fields, made in C: Sample(*fields)
# runs the named tuple's __new__ in Python, a frame per sample.
_as_sample = functools.partial(tuple.__new__, Sample)


def _core_error(error: RuntimeError) -> SensorError:
    # The core raises the typed errors itself (SensorClosedError,
    # DeviceLostError, RegisterTimeoutError, RegisterError); the rest are
    # failures with the core's message.
    return error if isinstance(error, SensorError) else SensorError(str(error))


# Sensors open in this process, oldest first.
_open_sensors: weakref.WeakValueDictionary[int, Sensor] = weakref.WeakValueDictionary()
_opening_order = itertools.count()


def _close_open_sensors() -> None:
    """At exit, before the interpreter finalises: threads other than this one
    that wait in a sensor call, or call one from now on, stay there quietly
    until the process has ended (they would be ended in the middle of our
    code otherwise); then every sensor still open is closed, the newest
    first, so that its acquisition thread ends and its port is released."""
    _native.process_exiting()
    for sensor in reversed(list(_open_sensors.values())):
        try:
            sensor.close()
        except Exception:  # noqa: BLE001 - exiting: the next sensor still closes
            pass


def _forget_open_sensors() -> None:
    """In a forked child: every sensor is closed here, without touching the
    parent's acquisition thread, port or port lock."""
    for sensor in list(_open_sensors.values()):
        sensor._native.forget_after_fork()
    _open_sensors.clear()


atexit.register(_close_open_sensors)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_open_sensors)


def _milliseconds(timeout: float) -> int:
    if not timeout > 0:
        raise ValueError("timeout must be more than 0 seconds")
    return max(1, math.ceil(timeout * 1000)) if math.isfinite(timeout) else 2**62


def _init_text(params: Optional[PathLike], protocol: Optional[int]) -> str:
    if params is not None and protocol is not None:
        raise ValueError("give params or protocol, not both: the parameter file names its protocol")
    if protocol is not None:
        if protocol not in protocols.versions():
            raise ValueError(f"protocol must be {protocols.span()}, not {protocol!r}")
        return str(protocol)
    if params is None:
        return "1"
    path = os.fspath(params)
    if not isinstance(path, str):
        raise TypeError("params must be a str path")
    # The core reads a text that starts like a number ("3_pad.msgpack") as a
    # bare protocol version; "./" in front keeps it a file name.
    return path if os.path.isabs(path) else os.path.join(os.curdir, path)


class Sensor:
    """A connected sensor: opens `port` at once and streams until `close()`.

    `params` is the sensor's parameter file (calibrated samples); without it,
    `protocol` (0 to 4, default 1) selects the wire protocol and samples are
    raw only. `queue` > 0 keeps that many frames for `samples()` and
    `read_batch()`, so a reader that is slow for a moment loses nothing.

    `reconnect=True` survives an unplug: when the port fails, the library
    reopens the same port name a few times a second (following a symlink such
    as /dev/serial/by-id/... to wherever it points by then) until the device
    is back or the sensor is closed, and goes on with the same parameters and
    zero offsets. Meanwhile `is_connected()` is False and `read`/`samples`
    wait instead of raising DeviceLostError; `seq` counts on, and the frames
    after each return carry one more in `Sample.reconnects`.

    Raises PortError (with the cause: busy, missing, permission denied, not a
    serial port) when the port does not open, ParameterFileError for a bad
    parameter file.
    """

    def __init__(
        self,
        port: PathLike,
        params: Optional[PathLike] = None,
        *,
        protocol: Optional[int] = None,
        queue: int = 0,
        reconnect: bool = False,
    ):
        if int(queue) != queue or queue < 0:
            raise ValueError(f"queue must be a whole number of samples, 0 or more, not {queue!r}")
        self._port = os.fspath(port)
        if not isinstance(self._port, str) or not self._port:
            raise ValueError("port must be a non-empty str, e.g. /dev/ttyUSB0 or COM3")
        self._params = None if params is None else os.fspath(params)
        init_text = _init_text(params, protocol)
        self._protocol = protocol
        self._queue = int(queue)
        self._native = _native.NativeSensor()
        self._tickets = itertools.count(1)
        try:
            self._native.init(init_text)
        except ParameterFileError as refused:
            # Named as the caller named it, without the "./" of _init_text.
            raise ParameterFileError(
                refused.reason, str(self._params), record=refused.record, field=refused.field
            ) from None
        except RuntimeError as error:
            raise _core_error(error) from None
        self._reconnect = bool(reconnect)
        self._native.connect(self._port, self._queue, self._reconnect)
        _open_sensors[next(_opening_order)] = self

    # --- samples -----------------------------------------------------------------

    def read(self, timeout: float = 0.5) -> Optional[Sample]:
        """The newest sample that no `read` took yet; None after `timeout`
        seconds without one (0: do not wait). Frames that arrived between two
        reads are skipped and counted in `dropped`.

        Raises DeviceLostError once the port failed and nothing is left to take
        (with reconnect=True it waits for the device to come back instead).
        """
        return self._take(self._native.read, float(timeout))

    def read_batch(
        self, max_samples: Optional[int] = None, timeout: Optional[float] = 0.5, *, min_samples: int = 1
    ) -> Batch:
        """Every queued sample at once, oldest first, as a `Batch` of arrays
        (rows x values): one call, no Python object per sample.

        Waits up to `timeout` seconds (0: do not wait; None: for ever) until
        `min_samples` are queued (at most the queue's size), then takes every
        one there is, up to `max_samples` (None: no limit); after the time-out it takes what
        has come, which may be nothing: an empty batch, with the sensor's
        column counts. Without a queue (queue=0) a batch holds the newest
        sample, as `read` takes it. What overflowed the queue is counted in
        `dropped`. A waiting reader is woken once `min_samples` are there, not
        for every frame: at 1 kHz, `min_samples=10` hands over batches of ten.

        Raises DeviceLostError once the port failed and nothing is left to
        take (with reconnect=True it waits for the device instead).
        """
        if max_samples is not None and (int(max_samples) != max_samples or max_samples < 1):
            raise ValueError(f"max_samples must be a whole number of samples, 1 or more, not {max_samples!r}")
        if int(min_samples) != min_samples or min_samples < 1:
            raise ValueError(f"min_samples must be a whole number of samples, 1 or more, not {min_samples!r}")
        ticket = next(self._tickets)
        try:
            return Batch(
                *self._native.read_batch(
                    0 if max_samples is None else int(max_samples),
                    math.inf if timeout is None else float(timeout),
                    int(min_samples),
                    ticket,
                )
            )
        except RuntimeError as error:
            raise _core_error(error) from None
        except BaseException:
            self._native.give_back(ticket)
            raise

    @overload
    def samples(self, timeout: Optional[float] = 1.0, *, batch: Literal[False] = False) -> Iterator[Sample]: ...

    @overload
    def samples(
        self, timeout: Optional[float] = 1.0, *, batch: Literal[True], min_samples: int = 1
    ) -> Iterator[Batch]: ...

    def samples(
        self, timeout: Optional[float] = 1.0, *, batch: bool = False, min_samples: int = 1
    ) -> Iterator[Sample] | Iterator[Batch]:
        """Every sample, oldest first, through the queue of `queue` samples.

        The queue absorbs a consumer that is slow for a moment; what overflows
        it is counted in `dropped`, never lost silently. Without a queue
        (queue=0) this yields the newest sample each time, like `read`.
        The iteration ends after `timeout` seconds without a sample (None:
        never); it raises DeviceLostError when the port fails, unless the
        sensor reconnects (reconnect=True), which costs a gap and nothing else.

        `batch=True` yields `Batch`es instead (`read_batch`): everything
        queued since the last one, never an empty one; `min_samples` as there.
        """
        wait = math.inf if timeout is None else float(timeout)
        if batch:
            return self._batches(wait, min_samples)
        return self._samples(wait)

    def _samples(self, wait: float) -> Iterator[Sample]:
        take = self._native.next if self._queue else self._native.read
        while True:
            sample = self._take(take, wait)
            if sample is None:
                return
            yield sample

    def _batches(self, wait: float, min_samples: int) -> Iterator[Batch]:
        while True:
            taken = self.read_batch(None, wait, min_samples=min_samples)
            if not len(taken):
                return
            yield taken

    def _take(self, take: Callable[[float, int], Any], timeout: float) -> Optional[Sample]:
        # Ctrl-C raises KeyboardInterrupt where Python next looks for signals,
        # which may be after the core handed a sample out and before it is
        # ours: then it goes back to where it was taken from, not lost.
        ticket = next(self._tickets)
        try:
            taken = take(timeout, ticket)
            return None if taken is None else _as_sample(taken)
        except RuntimeError as error:
            raise _core_error(error) from None
        except BaseException:
            self._native.give_back(ticket)
            raise

    # --- calibration and registers --------------------------------------------------

    def zero(self, ids: Optional[Sequence[int]] = None) -> None:
        """Re-estimates the rest offsets from 20 fresh raw samples (leave the
        sensor untouched); `ids` limits it to the units of these calibrated
        outputs. Needs a sensor streaming 20 samples/s or more.

        Raises SensorError saying why it failed (no sample at all; k of 20
        samples, a sensor too slow; the device unplugged while reconnecting),
        DeviceLostError when the port failed."""
        try:
            self._native.zero([] if ids is None else [int(i) for i in ids])
        except RuntimeError as error:
            raise _core_error(error) from None

    def read_register(self, address: int, id: int, timeout: float = 0.5) -> bytes:
        """A device register's bytes (protocol versions 3 and 4)."""
        try:
            return self._native.read_register(address, id, _milliseconds(timeout))
        except RuntimeError as error:
            raise _core_error(error) from None

    def write_register(self, address: int, id: int, data: bytes, timeout: float = 0.5) -> None:
        """Writes a device register and waits for the device to acknowledge it."""
        try:
            self._native.write_register(address, id, bytes(data), _milliseconds(timeout))
        except RuntimeError as error:
            raise _core_error(error) from None

    # --- state -------------------------------------------------------------------------

    def is_connected(self) -> bool:
        """True while the port is open and the acquisition thread reads it;
        False while a reconnecting sensor waits for its device."""
        return self._native.is_connected()

    @property
    def reconnect(self) -> bool:
        return self._reconnect

    @property
    def reconnects(self) -> int:
        """How many times the sensor came back after an unplug (reconnect=True)."""
        return self._native.reconnects

    @property
    def port(self) -> str:
        return self._port

    @property
    def queue(self) -> int:
        return self._queue

    @property
    def closed(self) -> bool:
        return self._native.closed

    def close(self) -> None:
        """Stops acquisition and closes the port; calls waiting in other threads
        (read, samples, zero, a register request) end at once with
        SensorClosedError. Closing twice is harmless."""
        self._native.close()

    def __enter__(self) -> Sensor:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        source = (
            f"params={self._params!r}"
            if self._params is not None
            else f"protocol={1 if self._protocol is None else self._protocol}"
        )
        if self.closed:
            state = "closed"
        elif self.is_connected():
            state = "connected"
        else:
            state = "reconnecting" if self._reconnect else "lost"
        return f"<feltwise.Sensor port={self._port!r} {source} queue={self._queue} {state}>"
