"""A simulated Feltwise sensor on a pseudo-terminal: the sensor's firmware loop.

The simulator opens a pty pair and plays the sensor on the master side; the
slave's path is a serial port like any other to the library (termios, poll,
exclusive open, hang-up on unplug all behave as with a USB adapter). It
streams samples of every protocol version of wire.DIALECTS with the channel
layout of a parameter file, answers register requests on the versions that
have them, and can be told to misbehave (`Faults`).

`SensorEngine` is plain single-threaded code over one file descriptor.
`run_until_signalled` runs it in the foreground of a process: `feltwise
simulate`'s, or the child process of a `SimulatedSensor`
(simulated_sensor.py). It reads parameter files without the library
(paramfile.load_layout): the simulated sensor is the device, and starts
without the extension module.
"""

from __future__ import annotations

import os
import random
import select
import signal
import time
import tty
from collections.abc import Callable
from typing import Any, Optional

from ..errors import SimulatorError
from ..layout import Layout, bare_layout
from ..paramfile import load_layout
from . import wire
from .registers import RegisterBank, RegisterError
from .settings import DEFAULT_RATE, Faults, PathLike, SimulatorSettings
from .touch import TouchModel

# In paced mode a sample is dropped rather than queued while this much is
# still unsent: the host is not reading, and a real sensor's UART does not
# wait for it either. Keeping it small keeps the newest sample fresh.
BACKLOG_LIMIT = 512
ERROR_CODE = 9  # the code of unsolicited device errors


def open_pty() -> tuple[int, int, str]:
    """A pty pair in raw mode: (master fd, slave fd, slave path)."""
    master, slave = os.openpty()
    tty.setraw(master)
    os.set_blocking(master, False)
    return master, slave, os.ttyname(slave)


class SensorEngine:
    """The sensor's firmware loop: one thread, one select over the pty master."""

    def __init__(
        self,
        layout: Layout,
        version: Optional[int] = None,
        rate: float = DEFAULT_RATE,
        faults: Optional[Faults] = None,
        seed: Optional[int] = None,
        touch: bool = True,
    ) -> None:
        self.version = layout.version if version is None else version
        self.dialect = wire.dialect(self.version)
        # Looked up once: the sample loop asks every time.
        self._text, self._registers = self.dialect.is_text, self.dialect.has_registers
        if rate < 0:
            raise SimulatorError("the sample rate cannot be negative")
        limit = self.dialect.max_channels
        if limit is not None and layout.channel_count > limit:
            raise SimulatorError(
                f"protocol {self.version} frames carry at most {limit} channels, not {layout.channel_count}"
            )
        self.layout = layout
        self.faults = faults or Faults()
        self.registers = RegisterBank(self.version, layout.channel_count, rate, touch)
        self.touch = TouchModel(layout, seed, touch)
        self._rng = random.Random(None if seed is None else seed + 1)
        text = self._text
        self._requests = wire.TextRequestReader() if text else wire.BinaryRequestReader()
        self.master: Optional[int] = None
        self.slave: Optional[int] = None
        self.path: Optional[str] = None
        self._out = bytearray()
        self._replies: list[tuple[float, bytes, float]] = []  # (due time, bytes, pause after)
        self._pause_until = 0.0
        self._stop = False
        self.stats: dict[str, Any] = {"samples": 0, "dropped": 0, "requests": 0, "replies": 0, "unplugged": False}

    def open(self) -> str:
        self.master, self.slave, self.path = open_pty()
        return self.path

    def stop(self) -> None:
        """Ask run() to return; safe from a signal handler."""
        self._stop = True

    def close(self) -> None:
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    # --- the loop -------------------------------------------------------------

    def run(self, duration: Optional[float] = None) -> None:
        """Streams until stop(), `duration` seconds, or the unplug fault."""
        if self.master is None:
            self.open()
        master = self.master
        assert master is not None
        start = time.monotonic()
        next_sample = start
        while not self._stop:
            now = time.monotonic()
            t = now - start
            if duration is not None and t >= duration:
                break
            if self.faults.unplug_after is not None and t >= self.faults.unplug_after:
                self.stats["unplugged"] = True
                self.close()
                return
            quiet = self.faults.silent_at(t) or now < self._pause_until
            rate = self.registers.rate
            flat_out = rate <= 0
            if not flat_out and next_sample < now - 0.25:
                next_sample = now  # fell behind (a loaded machine): no burst to catch up
            waits = [0.1, (next_sample - now) if not flat_out else 0.1]
            waits += [due - now for due, _, _ in self._replies]
            want_write = bool(self._out) and not quiet or (flat_out and not quiet)
            readable, writable, _ = select.select([master], [master] if want_write else [], [], max(0.0, min(waits)))
            now = time.monotonic()
            if readable:
                self._take_requests(now)
            if self.faults.silent_at(now - start) or now < self._pause_until:
                self._replies = [r for r in self._replies if r[0] > now]  # silence swallows answers
                continue
            self._queue_due_replies(now)
            if now < self._pause_until:
                # A cut-off reply just queued: nothing may follow it before the pause.
                self._send()
                continue
            if flat_out:
                if writable and not self._out:
                    self._queue_sample(now - start)
            elif now >= next_sample:
                if len(self._out) < BACKLOG_LIMIT:
                    self._queue_sample(now - start)
                else:
                    self.stats["dropped"] += 1
                next_sample += 1.0 / rate
            self._send()

    def _send(self) -> None:
        if not self._out:
            return
        assert self.master is not None
        try:
            written = os.write(self.master, self._out)
        except BlockingIOError:
            return
        del self._out[:written]

    def _take_requests(self, now: float) -> None:
        assert self.master is not None
        try:
            data = os.read(self.master, 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:  # EIO: nobody has the slave open; the simulator keeps its own open
            return
        for request in self._requests.feed(data):
            self.stats["requests"] += 1
            for answer, pause in self._answers(request):
                self._replies.append((now + self.faults.reply_delay, answer, pause))

    # --- samples ----------------------------------------------------------------

    def _queue_sample(self, t: float) -> None:
        faults, rng = self.faults, self._rng
        values = self.touch.sample(t)
        text = self._text
        if rng.random() < faults.stray_bytes:
            self._out += rng.randbytes(rng.randint(1, 3))
        if rng.random() < faults.garbage:
            self._out += rng.randbytes(rng.randint(16, 256))
        if rng.random() < faults.error_lines and self._registers:
            self._out += (
                wire.text_error(ERROR_CODE, "simulated device error") if text else wire.binary_status(ERROR_CODE)
            )
        if rng.random() < faults.overlong:
            self._out += (b"1," * 35000 + b"1\n") if text else wire.sample_frame([1000.0] * 1024)
        frame = self._encode(values)
        if rng.random() < faults.truncate:
            frame = frame[: rng.randint(1, len(frame) - 1)] if len(frame) > 1 else b""
        self._out += frame
        self.stats["samples"] += 1

    def _encode(self, values: list[float]) -> bytes:
        return self.dialect.encode(values)

    # --- registers ----------------------------------------------------------------

    def _answers(self, request: wire.Request) -> list[tuple[bytes, float]]:
        """The answers to one request: a list of (bytes, pause after them)."""
        text = self._text
        if not self._registers:
            return []  # versions 0 to 2 have no register traffic: requests are ignored
        faults = self.faults
        try:
            if request.malformed:
                raise RegisterError(1, request.malformed)
            if faults.error_replies:
                raise RegisterError(ERROR_CODE, "simulated register failure")
            if request.is_read:
                data = self.registers.read(request.address, request.unit)
                if faults.malformed_replies:
                    answer = (
                        f"R{request.address},{request.unit}\n".encode()
                        if text
                        else wire.binary_read_reply(request.address, request.unit, data)[:8]
                    )
                    return [(answer, 0.0 if text else 0.3)]
                answer = (wire.text_read_reply if text else wire.binary_read_reply)(request.address, request.unit, data)
            else:
                self.registers.write(request.address, request.unit, request.data)
                if faults.malformed_replies and not text:
                    return [(wire.binary_status(1)[:2], 0.3)]
                answer = wire.text_ack() if text else wire.binary_status(wire.STATUS_OK)
        except RegisterError as error:
            answer = wire.text_error(error.code, str(error)) if text else wire.binary_status(error.code)
        return [(answer, 0.0)] * (2 if faults.duplicate_replies else 1)

    def _queue_due_replies(self, now: float) -> None:
        due = [r for r in self._replies if r[0] <= now]
        self._replies = [r for r in self._replies if r[0] > now]
        for _, answer, pause in due:
            self._out += answer
            self.stats["replies"] += 1
            if pause:
                # A cut-off binary reply must not be completed by the samples
                # that follow it: the sensor goes quiet for longer than the
                # host's 100 ms read time-out.
                self._pause_until = now + pause


def make_engine(
    params: Optional[PathLike] = None,
    version: Optional[int] = None,
    channels: Optional[int] = None,
    rate: float = DEFAULT_RATE,
    faults: Optional[Faults] = None,
    seed: Optional[int] = None,
    touch: bool = True,
) -> SensorEngine:
    """An engine for a parameter file, or for a bare protocol version with `channels` taxels."""
    if params is not None:
        layout = load_layout(params)
        if channels is not None and channels > layout.channel_count:
            layout.channel_count = channels
    else:
        layout = bare_layout(1 if version is None else version, channels or 16)
    return SensorEngine(layout, version, rate, faults, seed, touch)


def engine_for(settings: SimulatorSettings) -> SensorEngine:
    return make_engine(
        settings.params,
        settings.version,
        settings.channels,
        settings.rate,
        settings.faults,
        settings.seed,
        settings.touch,
    )


# The signals that end a simulation as Ctrl-C does: the loop stops, the port
# closes as an unplugged adapter would, and the statistics still come out.
ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def run_until_signalled(
    engine: SensorEngine,
    duration: Optional[float] = None,
    opened: Optional[Callable[[str], object]] = None,
) -> dict[str, Any]:
    """Opens the engine's port, calls `opened(path)`, and streams until
    `duration` seconds have passed, the unplug fault, or a signal of
    ENDING_SIGNALS; returns the statistics. The handlers are set before the
    port is opened: whoever learns the port from `opened` may signal at once."""
    for number in ENDING_SIGNALS:
        signal.signal(number, lambda *_: engine.stop())
    path = engine.open()
    if opened is not None:
        opened(path)
    try:
        engine.run(duration)
    except KeyboardInterrupt:
        pass
    finally:
        engine.close()
    return engine.stats
