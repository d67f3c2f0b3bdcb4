"""`feltwise stream`: the newest sample as a compact grid, redrawn in place.

On a terminal the grid, the measured sample rate and the longest gap
between samples in the last second (over Zenoh also the newest sample's
latency from the publishing host) are redrawn a few times a second; when the output is a pipe or a file
(CI, a log) the same facts come as plain lines, one per interval, with no
escape sequences.
"""

import collections
import math
import sys
import time

from ...layout import grid_values
from ..arguments import positive
from ..connection import add_connection_arguments
from ..errors import UserError

READ_TIMEOUT_S = 0.1  # short, so the view keeps redrawing while the sensor is silent
ARROWS = "→↗↑↖←↙↓↘"
ASCII_ARROWS = ">/^\\<\\v/"


class SampleClock:
    """Samples per second over the last second, the longest gap between two
    of them in that second, and (for samples taken on another host) how old
    each sample was when it arrived."""

    def __init__(self):
        self.start = time.monotonic()
        self.count = 0
        self.dropped = 0
        self.latency_ms = None
        self.first_ns = self.last_ns = None
        self._recent = collections.deque()

    def tick(self, now, sample=None, remote=False):
        self.count += 1
        self._recent.append(now)
        if sample is not None:
            if self.first_ns is None:
                self.first_ns = sample.t_host_ns
            self.last_ns = sample.t_host_ns
            self.dropped = sample.dropped  # the reader's count so far
            if remote:
                # The subscriber put the publisher's stamp on this host's
                # monotonic clock (both wall clocks synchronised).
                self.latency_ms = (time.monotonic_ns() - sample.t_host_ns) / 1e6

    def sensor_rate(self):
        """Samples per second from the first sample to the last, by their
        stamps: the frames queued while connecting or zeroing arrive at once,
        and neither they nor the wait for the first one make the rate."""
        span_s = (self.last_ns - self.first_ns) / 1e9 if self.count > 1 else 0.0
        return (self.count - 1) / span_s if span_s > 0 else math.nan

    def _trim(self, now):
        while self._recent and self._recent[0] < now - 1.0:
            self._recent.popleft()

    def rate(self, now):
        self._trim(now)
        span = min(1.0, now - self.start)
        return len(self._recent) / span if span > 0 else 0.0

    def longest_gap_ms(self, now):
        """The longest wait for a sample in the last second, up to now: a
        stalled sensor shows here at once, however often the view redraws."""
        self._trim(now)
        if not self._recent:
            return None
        times = [max(now - 1.0, self.start), *self._recent, now]
        return max(b - a for a, b in zip(times, times[1:])) * 1000.0


def number(value):
    """A reading in six characters."""
    if math.isnan(value):
        return "   nan"
    magnitude = abs(value)
    if magnitude < 100:
        return f"{value:6.2f}"
    if magnitude < 10000:
        return f"{value:6.1f}"
    if magnitude < 1000000:
        return f"{value:6.0f}"
    return f"{value:6.0e}"


def arrow(x, y, arrows):
    if math.hypot(x, y) < 1e-3:
        return " "
    return arrows[round(math.atan2(y, x) / (math.pi / 4)) % 8]


def _arrows_for(stream):
    try:
        ARROWS.encode(stream.encoding or "ascii")
        return ARROWS
    except (UnicodeEncodeError, LookupError):
        return ASCII_ARROWS


def cells(layout, sample, raw, arrows):
    """(text, level) per grid cell, row by row, level the value that shading
    follows; the cells where the layout puts the units (grid_values)."""
    grid, shear, labels = grid_values(layout, sample, raw)
    rows, columns = grid.shape
    if raw or layout.output_count == 0:
        # Raw channels fill their grid in order: no cell is left out but at the end.
        count = len(sample)
        return [(number(v), v) for v in grid.ravel()[:count].tolist()], columns
    shears = {(row, column): (x, y) for row, column, x, y in shear}
    result = []
    for row in range(rows):
        for column in range(columns):
            value = float(grid[row, column])
            if (row, column) not in labels:
                result.append((" " * 7, float("nan")))  # no unit sits here
            elif (row, column) in shears:
                result.append((number(value) + arrow(*shears[(row, column)], arrows), value))
            else:
                result.append((number(value) + " ", value))
    # The default grid's last row ends where its units end, as it always has.
    while result and result[-1][0] == " " * 7:
        result.pop()
    return result, columns


def grid_lines(layout, sample, raw, arrows, shade=False):
    entries, columns = cells(layout, sample, raw, arrows)
    top = max([abs(level) for _, level in entries if not math.isnan(level)] + [1e-9])
    lines = []
    for start in range(0, len(entries), columns):
        row = []
        for text, level in entries[start : start + columns]:
            if shade and not raw and not math.isnan(level) and level > 0:
                # a grey ramp from dark to light: where the touch is, at a glance
                grey = 232 + min(23, int(23 * level / top))
                ink = 16 if grey > 244 else 255
                text = f"\x1b[48;5;{grey}m\x1b[38;5;{ink}m{text}\x1b[0m"
            row.append(text)
        lines.append(" ".join(row))
    return lines


def status(clock, now):
    gap = clock.longest_gap_ms(now)
    gap_text = "no sample in the last second" if gap is None else f"longest gap {gap:6.1f} ms"
    latency = "" if clock.latency_ms is None else f"   latency {clock.latency_ms:6.1f} ms"
    dropped = f"   {clock.dropped} dropped" if clock.dropped else ""
    return (
        f"rate {clock.rate(now):7.1f} samples/s   {gap_text}{latency}   {clock.count} samples{dropped}"
        f"   {now - clock.start:5.1f} s"
    )


class TerminalView:
    """Redraws the same lines in place."""

    def __init__(self, out, header):
        self.out, self.header, self._lines = out, header, 0
        self.out.write("\x1b[?25l")

    def draw(self, lines):
        lines = [self.header, *lines]
        if self._lines:
            self.out.write(f"\x1b[{self._lines}F")
        self.out.write("".join(f"\x1b[2K{line}\n" for line in lines))
        self.out.flush()
        self._lines = len(lines)

    def close(self):
        self.out.write("\x1b[?25h")
        self.out.flush()


def add_parser(subparsers):
    stream = subparsers.add_parser(
        "stream",
        help="show the newest sample live in the terminal",
        description="Connect, optionally zero, and show the newest sample as a grid "
        "with the sample rate and the newest sample's age. Plain "
        "lines when the output is not a terminal.",
    )
    add_connection_arguments(stream, zenoh=True)
    stream.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    stream.add_argument("--raw", action="store_true", help="raw readings instead of calibrated values")
    stream.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    stream.add_argument(
        "--every", type=positive, metavar="S", help="seconds between updates (default 0.2 on a terminal, 1 otherwise)"
    )
    stream.add_argument("--plain", action="store_true", help="plain lines even on a terminal")


def run(args):
    from ..source import Watch, open_source

    out = sys.stdout
    live = out.isatty() if args.plain is False else False
    arrows = _arrows_for(out)
    with open_source(args) as source:
        layout = source.layout
        raw = args.raw or layout.output_count == 0
        if not args.raw and raw:
            print("no calibrated outputs without a parameter file: showing raw samples", file=sys.stderr)
        if args.zero:
            source.zero()
            if raw:
                # Zeroing re-estimates the calibration's rest offsets; raw
                # readings are what the sensor sends and do not change.
                print("zeroed: this changes calibrated values only; raw readings are shown as sent", file=sys.stderr)
        what = "raw" if raw else "calibrated" + (f" ({layout.unit})" if layout.unit else "")
        header = f"{source.describe}  protocol {source.version}  {what}{'  zeroed' if args.zero and not raw else ''}"
        clock = SampleClock()
        watch = Watch(source, args.reconnect)
        values = []
        view = TerminalView(out, header) if live else None
        if not live:
            print(header, flush=True)
        interval = args.every if args.every is not None else (0.2 if live else 1.0)
        next_draw = clock.start + (0 if live else interval)
        deadline = None if args.duration is None else clock.start + args.duration
        try:
            while deadline is None or time.monotonic() < deadline:
                sample = source.read(READ_TIMEOUT_S)
                now = time.monotonic()
                if sample is not None:
                    watch.sample()
                    clock.tick(now, sample, source.remote)
                    values = (sample.raw if raw else sample.calibrated).tolist()
                else:
                    watch.idle()
                if now >= next_draw:
                    next_draw += interval
                    if live:
                        view.draw(grid_lines(layout, values, raw, arrows, shade=True) + [status(clock, now)])
                    else:
                        shown = " ".join(number(v).strip() for v in values)
                        print(f"{status(clock, now)}   [{shown}]", flush=True)
        except KeyboardInterrupt:
            pass
        finally:
            if view is not None:
                view.close()
        elapsed = time.monotonic() - clock.start
        if clock.count == 0:
            raise UserError(
                f"no samples from {source.describe} in {elapsed:.1f} s"
                + ("" if source.remote else f" (is it protocol {source.version}?)")
            )
        print(
            f"streamed {clock.count} samples in {elapsed:.1f} s ({clock.sensor_rate():.1f} samples/s"
            f"{f', {clock.dropped} dropped' if clock.dropped else ''})"
        )
    return 0
