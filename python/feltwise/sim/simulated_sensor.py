"""`SimulatedSensor`: a simulated sensor in a child process, for tests and notebooks.

    with SimulatedSensor("examples/params/taxel_pad_4x4.msgpack") as sensor:
        comms.connect(sensor.path)

The sensor runs in a child process, not in a thread: every call of the
extension module keeps the interpreter lock while it waits (a `read` for its
time-out, a `zero` for up to 1.5 s), so a simulator thread in the caller's
process would starve exactly when the caller waits for it.

The child is this interpreter running child.py with the settings as one
JSON document (`SimulatorSettings.to_json()`). It imports this very
package, from wherever the parent has it, by putting that directory first
on its own module path; its environment is the parent's, unchanged. It
prints the port, then, when SIGTERM ends it, its statistics as one JSON
line; a child that cannot start prints its one-line reason instead.
"""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
from collections.abc import Callable
from typing import Any, Optional

from ..errors import SimulatorError
from .settings import DEFAULT_RATE, Faults, PathLike, SimulatorSettings

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHILD = "import sys; sys.path.insert(0, sys.argv.pop(1)); from feltwise.sim.child import main; main(sys.argv[1])"


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

    `path` is the port to connect to, once `start()` (or the `with` block)
    has started the sensor (before, it raises RuntimeError); `stop()` (or leaving the `with` block)
    ends the child, which closes the pty as an unplugged sensor would, and
    returns its statistics (samples sent, register requests answered, ...).
    `start()` raises SimulatorError (a RuntimeError) when the child does not
    start, with its reason.
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

    @property
    def settings(self) -> SimulatorSettings:
        """What the child plays, as it receives it."""
        params = None if self.params is None else os.fspath(self.params)
        rate = float(self.rate)
        return SimulatorSettings(params, self.version, self.channels, rate, self.faults, self.seed, self.touch)

    def start(self) -> str:
        self._process = subprocess.Popen(
            [sys.executable, "-c", CHILD, PACKAGE_ROOT, self.settings.to_json()],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
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
            self._process = None
            raise SimulatorError("simulated sensor did not start: " + (reason[-1] if reason else "no port path"))
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
