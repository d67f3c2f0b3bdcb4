"""SIGTERM and SIGHUP end a command as Ctrl-C does.

Without this a `kill` or a closed terminal ends the interpreter where it
stands: no `finally` runs, so a recording is left unwritten and a simulated
sensor's child process streams on. Here the first of SIGINT, SIGTERM and
SIGHUP raises KeyboardInterrupt, which every command already handles by
closing its files and its sensor; further SIGTERMs and SIGHUPs are ignored
so that the clean-up finishes, while a second Ctrl-C still interrupts it.

A signal that arrives inside `critical()` (a writer halfway through a
record or a zip member) is raised when the section ends, so files are never
cut mid-structure.
"""

import contextlib
import signal

ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))

_received = None
_raised = False
_depth = 0


def _handler(signum, frame):
    global _received, _raised
    if _received is not None:
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        return
    _received = signum
    if _depth == 0:
        _raised = True
        raise KeyboardInterrupt


def install():
    global _received, _raised
    _received, _raised = None, False
    for number in ENDING_SIGNALS:
        signal.signal(number, _handler)


def received():
    return _received


@contextlib.contextmanager
def critical():
    global _depth, _raised
    _depth += 1
    try:
        yield
    finally:
        _depth -= 1
    if _depth == 0 and _received is not None and not _raised:
        _raised = True
        raise KeyboardInterrupt
