"""Argument types and limits the commands share: each turns a text into a
checked value or raises argparse.ArgumentTypeError with the reason."""

import argparse
import math
import os

from .errors import UserError

MAX_SECONDS = 1e9  # some thirty years
MAX_RATE = 65535  # the sensor's rate register is 16 bits
MAX_COUNT = 2**63 - 1
MAX_TIMEOUT_MS = 2**31 - 1  # the library's time-outs are int milliseconds
MAX_CHANNELS = 65535


def library_path(path):
    """The library reads "0" to "4" as protocol versions: a file of such a name
    is handed over as ./NAME so that it is read as the file it is."""
    return path if os.path.dirname(path) else os.path.join(".", path)


def library_name(path, what):
    """`path` as the library takes it: a text it can pass on as UTF-8. A name
    of other bytes (possible on Linux) is refused here in one line, where the
    library would fail deep inside with a conversion error."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        shown = os.fsencode(path).decode("utf-8", "backslashreplace")
        raise UserError(f"{what} {shown}: the library takes UTF-8 names only (rename it or link to it)") from None
    return path


def rate_value(text):
    if text in ("max", "fast"):
        return 0.0
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a rate: {text!r} (samples/s, or max)") from None
    if value < 0 or value != value:
        raise argparse.ArgumentTypeError("the rate cannot be negative")
    if value > MAX_RATE:
        raise argparse.ArgumentTypeError(f"at most {MAX_RATE} samples/s (max: as fast as the host reads)")
    return value


def _finite(text):
    try:
        value = float(text)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or abs(value) > MAX_SECONDS:
        # Times go to sleeps, deadlines and millisecond time-outs, none of
        # which take infinity or a number of a hundred digits.
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {MAX_SECONDS:g})")
    return value


def positive(text):
    value = _finite(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0: {text}")
    return value


def batch_ms(text):
    value = positive(text)
    if value > 1000:
        raise argparse.ArgumentTypeError(f"at most 1000 ms: {text}")
    return value


def non_negative(text):
    value = _finite(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"cannot be negative: {text}")
    return value


def probability(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a probability: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"a probability is 0 to 1: {text}")
    return value


def u16(text):
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"{text} is outside 0 to 65535")
    return value


def count(text, limit=None):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    if value > (limit or MAX_COUNT):
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {limit or MAX_COUNT})")
    return value


def timeout_seconds(text):
    """A time-out in seconds, like every time of the tools ("0.5"); "500ms"
    and "0.5s" say their unit, for a hand used to milliseconds."""
    spelled = text.strip().lower()
    scale = 1.0
    if spelled.endswith("ms"):
        spelled, scale = spelled[:-2], 1e-3
    elif spelled.endswith("s"):
        spelled = spelled[:-1]
    value = positive(spelled) * scale
    if value > MAX_TIMEOUT_MS / 1000:
        raise argparse.ArgumentTypeError(f"{text} is too large (at most {MAX_TIMEOUT_MS // 1000} s)")
    if value < 1e-3:
        raise argparse.ArgumentTypeError(f"{text} is below the library's 1 ms")
    return value


def channel_count(text):
    return count(text, MAX_CHANNELS)


def seed(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"a seed is 0 to 2**63 - 1, not {text}")
    return value
