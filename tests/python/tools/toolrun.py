"""Helpers for the tools' tests: run `feltwise` as a user would, find the examples."""

import os
import pathlib
import queue
import subprocess
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = REPO / "examples" / "params"
EXAMPLE_NAMES = ["taxel_pad_4x4", "triaxial_pad_2x2", "lookup_pad_3x3", "mixed_pad"]

# Generous: a loaded two-core machine can take seconds to start a Python process.
COMMAND_TIMEOUT = 180


def example(name):
    return str(EXAMPLES / f"{name}.msgpack")


def feltwise(*args, timeout=COMMAND_TIMEOUT, env=None, **kwargs):
    """`python -m feltwise ARGS` in a child process: (exit status, stdout, stderr)."""
    environment = dict(os.environ, **(env or {}))
    environment.pop("DISPLAY", None)
    environment.pop("WAYLAND_DISPLAY", None)
    environment["MPLBACKEND"] = "Agg"
    done = subprocess.run(
        [sys.executable, "-m", "feltwise", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=environment,
        stdin=subprocess.DEVNULL,
        **kwargs,
    )
    return done


def no_traceback(done):
    return "Traceback" not in done.stderr and "Traceback" not in done.stdout


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def fresh_raw(comms, tries=20, timeout_ms=1000):
    """The first non-empty raw sample within a generous number of tries."""
    for _ in range(tries):
        sample = comms.read_raw(timeout_ms)
        if sample:
            return sample
    return []


class Lines:
    """The lines a child process writes to a pipe, as they come."""

    def __init__(self, pipe):
        self.lines, self.seen = queue.Queue(), []
        threading.Thread(target=lambda: [self.lines.put(line) for line in pipe], daemon=True).start()

    def wait_for(self, words, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                self.seen.append(self.lines.get(timeout=0.1))
            except queue.Empty:
                continue
            if words in self.seen[-1]:
                return self.seen[-1]
        raise AssertionError(f"no line with {words!r}: {self.seen}")
