"""A simulated Feltwise sensor on a pseudo-terminal.

The simulator opens a pty pair and plays the sensor on the master side; the
slave's path is a serial port like any other to the library (termios, poll,
exclusive open, hang-up on unplug all behave as with a USB adapter). It
streams samples of any protocol version 0 to 4 with the channel layout of a
parameter file, answers register requests on versions 3 and 4, and can be
told to misbehave (`Faults`).

Use it from the shell (`feltwise simulate`) or from Python:

    with SimulatedSensor("examples/params/taxel_pad_4x4.msgpack") as sensor:
        comms.connect(sensor.path)

`SimulatedSensor` runs the sensor in a child process, not in a thread: every
call of the extension module keeps the interpreter lock while it waits (a
`read` for its time-out, a `zero` for up to 1.5 s), so a simulator thread in
the caller's process would starve exactly when the caller waits for it. The
`SensorEngine` itself is plain single-threaded code over one file descriptor;
`feltwise simulate` runs it in the foreground of its own process.
"""

from __future__ import annotations

import json
import os
import random
import select
import signal
import subprocess
import sys
import time
import tty
from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any, Optional, Union

from .. import protocols
from ..errors import UserError
from ..paramfile import Layout, bare_layout, load_layout
from . import wire
from .registers import RegisterBank, RegisterError
from .touch import TouchModel

DEFAULT_RATE = 100.0
# In paced mode a sample is dropped rather than queued while this much is
# still unsent: the host is not reading, and a real sensor's UART does not
# wait for it either. Keeping it small keeps the newest sample fresh.
BACKLOG_LIMIT = 512
ERROR_CODE = 9  # the code of unsolicited device errors

PathLike = Union[str, "os.PathLike[str]"]


@dataclass
class Faults:
    """Fault switches. Probabilities are per sample sent; times are seconds
    from the start of the simulation."""

    stray_bytes: float = 0.0  # one to three random bytes before a sample
    garbage: float = 0.0  # a burst of 16 to 256 random bytes before a sample
    truncate: float = 0.0  # a sample cut short (a line without its line feed)
    overlong: float = 0.0  # text: a line of 70000 bytes; binary: a frame counting 1024 values
    error_lines: float = 0.0  # an unsolicited device error (v3 error line, v4 status frame)
    reply_delay: float = 0.0  # register answers leave this late
    duplicate_replies: bool = False
    malformed_replies: bool = False  # v3: a reply missing a field; v4: cut after its length, then a pause
    error_replies: bool = False  # every register request is answered with a device error
    silence_after: float | None = None  # stop sending anything ...
    silence_for: float | None = None  # ... for this long (None: for good)
    unplug_after: float | None = None  # close the master: the adapter is pulled out

    def silent_at(self, t: float) -> bool:
        if self.silence_after is None or t < self.silence_after:
            return False
        return self.silence_for is None or t < self.silence_after + self.silence_for

    def as_arguments(self) -> list[str]:
        """The `feltwise simulate` options that set these switches."""
        arguments = []
        for item in fields(self):
            value = getattr(self, item.name)
            if value is None or value is False or value == item.default:
                continue
            option = "--" + item.name.replace("_", "-")
            arguments += [option] if value is True else [option, repr(float(value))]
        return arguments


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
        if self.version not in protocols.versions():
            raise UserError(f"protocol version {self.version} is not one of {protocols.span()}")
        # What the table says of this version, looked up once: the sample loop asks every time.
        self._text = self.version in protocols.text_versions()
        self._registers = self.version in protocols.register_versions()
        if rate < 0:
            raise UserError("the sample rate cannot be negative")
        limit = wire.MAX_ENCIPHERED_CHANNELS if self.version == 2 else wire.MAX_COUNT
        if not self._text and layout.channel_count > limit:
            raise UserError(
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
        if self._text:
            return wire.sample_line(values)
        if self.version == 2:
            return wire.enciphered_frame(values)
        return wire.sample_frame(values)

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


def _end_with_parent() -> Optional[Callable[[], None]]:
    """On Linux the child is sent SIGTERM when its parent dies, however it
    dies (kill -9 included), so a simulated sensor never streams on alone."""
    if not sys.platform.startswith("linux"):
        return None

    def set_parent_death_signal() -> None:
        import ctypes

        PR_SET_PDEATHSIG = 1  # noqa: N806 (named as in <sys/prctl.h>)
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)

    return set_parent_death_signal


class SimulatedSensor:
    """A simulated sensor in a child process, for tests and notebooks.

    `path` is the port to connect to; `stop()` (or leaving the `with` block)
    ends the child, which closes the pty as an unplugged sensor would, and
    returns its statistics (samples sent, register requests answered, ...).
    """

    def __init__(
        self,
        params: Optional[PathLike] = None,
        *,
        version: Optional[int] = None,
        channels: Optional[int] = None,
        rate: float = DEFAULT_RATE,
        faults: Optional[Faults] = None,
        seed: Optional[int] = None,
        touch: bool = True,
        start_timeout: float = 30.0,
    ) -> None:
        self.params, self.version, self.channels = params, version, channels
        self.rate, self.faults, self.seed, self.touch = rate, faults or Faults(), seed, touch
        self.start_timeout = start_timeout
        self._path: Optional[str] = None
        self.stats: Optional[dict[str, Any]] = None
        self._process: Optional[subprocess.Popen[bytes]] = None

    def arguments(self) -> list[str]:
        arguments = ["simulate", "--json-stats", "--rate", repr(float(self.rate))]
        if self.params is not None:
            arguments += ["--params", os.fspath(self.params)]
        if self.version is not None:
            arguments += ["--protocol", str(self.version)]
        if self.channels is not None:
            arguments += ["--channels", str(self.channels)]
        if self.seed is not None:
            arguments += ["--seed", str(self.seed)]
        if not self.touch:
            arguments += ["--no-touch"]
        return arguments + self.faults.as_arguments()

    def start(self) -> str:
        package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
        self._process = subprocess.Popen(
            [sys.executable, "-m", "feltwise", *self.arguments()],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            preexec_fn=_end_with_parent(),
        )
        stdout = self._process.stdout
        assert stdout is not None
        ready, _, _ = select.select([stdout], [], [], self.start_timeout)
        line = stdout.readline().decode().strip() if ready else ""
        if not line.startswith("/"):
            self._process.kill()
            _, err = self._process.communicate()
            reason = err.decode(errors="replace").strip().splitlines()
            raise RuntimeError("simulated sensor did not start: " + (reason[-1] if reason else "no port path"))
        self._path = line
        return line

    @property
    def path(self) -> str:
        """The port to connect to, once start() (or the `with` block) has started the sensor."""
        if self._path is None:
            raise RuntimeError("the simulated sensor has not started: call start() or use it in a with block")
        return self._path

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def stop(self, timeout: float = 10.0) -> Optional[dict[str, Any]]:
        if self._process is None:
            return self.stats
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
        try:
            out, _ = self._process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            out, _ = self._process.communicate()
        lines = out.decode(errors="replace").strip().splitlines()
        self.stats = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else None
        self._process = None
        return self.stats

    def __enter__(self) -> SimulatedSensor:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        if self._process is not None and self._process.poll() is None:
            self._process.kill()
