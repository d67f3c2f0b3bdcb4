"""`feltwise record`: calibrated and raw samples with host timestamps, to CSV or NPZ.

Each row pairs one raw sample with its calibrated values. The library hands
them out through two calls that share one "new sample" flag, so the pair is
read back to back and checked: if the raw sample changed in between, a newer
sample arrived, and the pair is read again around it.
"""

import csv
import math
import sys
import time

from .connection import connect, zero
from .errors import UserError

READ_TIMEOUT_MS = 200


def take_pair(comms, timeout_ms):
    """(raw, calibrated) of one fresh sample, or None after the time-out."""
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


class Progress:
    """A bar on a terminal; on a pipe, one line at each quarter."""

    def __init__(self, total, unit, stream=sys.stderr):
        self.total, self.unit, self.stream = total, unit, stream
        self.live = stream.isatty()
        self._quarter = 0

    def show(self, done, samples):
        fraction = 1.0 if self.total <= 0 else min(1.0, done / self.total)
        if self.live:
            width = 30
            filled = int(width * fraction)
            self.stream.write(f"\r[{'#' * filled}{'-' * (width - filled)}] {fraction * 100:5.1f}%  "
                              f"{samples} samples")
            self.stream.flush()
        elif int(fraction * 4) > self._quarter:
            self._quarter = int(fraction * 4)
            print(f"{self._quarter * 25}%  {samples} samples", file=self.stream, flush=True)

    def end(self):
        if self.live:
            self.stream.write("\n")
            self.stream.flush()


def write_csv(path, rows, calibrated_width, raw_width):
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["unix_time", "elapsed_s"] + [f"cal_{i}" for i in range(calibrated_width)]
                        + [f"raw_{i}" for i in range(raw_width)])
        for unix_time, elapsed, raw, calibrated in rows:
            writer.writerow([f"{unix_time:.6f}", f"{elapsed:.6f}"]
                            + [repr(v) for v in calibrated] + [""] * (calibrated_width - len(calibrated))
                            + [repr(v) for v in raw] + [""] * (raw_width - len(raw)))


def write_npz(path, rows, calibrated_width, raw_width, metadata):
    import numpy as np

    def matrix(index, width):
        # Text protocols may deliver samples of different lengths: NaN pads them.
        values = np.full((len(rows), width), np.nan)
        for i, row in enumerate(rows):
            values[i, :len(row[index])] = row[index]
        return values

    np.savez(path, unix_time=np.array([r[0] for r in rows]), elapsed_s=np.array([r[1] for r in rows]),
             raw=matrix(2, raw_width), calibrated=matrix(3, calibrated_width),
             **{key: np.array(value) for key, value in metadata.items()})


def output_format(args):
    fmt = args.format or ("npz" if args.output.lower().endswith(".npz") else
                          "csv" if args.output.lower().endswith(".csv") else None)
    if fmt is None:
        raise UserError(f"cannot tell the format of {args.output}: name it .csv or .npz, or give --format")
    return fmt


def run(args):
    fmt = output_format(args)
    if args.duration is None and args.count is None:
        raise UserError("give --duration SECONDS or --count SAMPLES")
    try:
        open(args.output, "ab").close()
    except OSError as error:
        raise UserError(f"cannot write {args.output}: {error.strerror}") from None
    with connect(args) as connection:
        comms = connection.comms
        if args.zero:
            zero(connection)
        rows = []
        start_mono, start_unix = time.monotonic(), time.time()
        progress = Progress(args.count if args.count is not None else args.duration,
                            "samples" if args.count is not None else "s")
        last_sample = start_mono
        try:
            while True:
                elapsed = time.monotonic() - start_mono
                if args.duration is not None and elapsed >= args.duration:
                    break
                if args.count is not None and len(rows) >= args.count:
                    break
                pair = take_pair(comms, READ_TIMEOUT_MS)
                now = time.monotonic()
                if pair is None:
                    if not comms.is_connected():
                        raise UserError(f"lost the sensor on {connection.port} (unplugged?)")
                    if now - last_sample > 5.0:
                        raise UserError(f"no samples from {connection.port} for 5 s "
                                        f"(is it protocol {connection.version}?)")
                    continue
                last_sample = now
                rows.append((start_unix + (now - start_mono), now - start_mono, *pair))
                progress.show(len(rows) if args.count is not None else now - start_mono, len(rows))
        except KeyboardInterrupt:
            pass
        progress.end()
        calibrated_width = max((len(r[3]) for r in rows), default=0)
        raw_width = max((len(r[2]) for r in rows), default=0)
        metadata = {"port": connection.port, "parameters": connection.init_text,
                    "protocol": connection.version, "zeroed": bool(args.zero)}
        if fmt == "csv":
            write_csv(args.output, rows, calibrated_width, raw_width)
        else:
            write_npz(args.output, rows, calibrated_width, raw_width, metadata)
        span = rows[-1][1] - rows[0][1] if len(rows) > 1 else 0.0
        rate = (len(rows) - 1) / span if span > 0 else math.nan
        print(f"wrote {len(rows)} samples ({calibrated_width} calibrated, {raw_width} raw values each, "
              f"{rate:.1f} samples/s) to {args.output}")
    return 0
