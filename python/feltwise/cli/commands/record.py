"""`feltwise record`: samples with host timestamps, to CSV, NPZ or MCAP, written as they arrive.

The writers (writers.py) make the file readable at least once a second. A
signal (SIGTERM, SIGHUP) ends a recording as Ctrl-C does: the loop stops,
the file is closed whole, a simulated sensor's process is ended.
"""

import math
import os
import platform
import socket
import sys
import time

from .. import signals
from ..arguments import count, positive
from ..connection import add_connection_arguments, parameters_summary
from ..errors import UserError

READ_TIMEOUT_S = 0.2
# Samples a read waits for before it wakes (or READ_TIMEOUT_S): at 1 kHz the
# loop takes them 50 at a time, one call and one write for each batch.
BATCH_LEAST = 50
SILENCE_S = 5.0  # a recording without samples for this long ends (with --reconnect: says so, waits on)


class Progress:
    """A bar on a terminal; on a pipe, one line at each quarter."""

    def __init__(self, total, unit, stream=sys.stderr):
        self.total, self.unit, self.stream = total, unit, stream
        self.live = stream.isatty()
        self._quarter = 0
        self._shown = 0.0

    def show(self, done, samples):
        fraction = 1.0 if self.total <= 0 else min(1.0, done / self.total)
        if self.live:
            now = time.monotonic()
            if now - self._shown < 0.1 and fraction < 1.0:
                return
            self._shown = now
            width = 30
            filled = int(width * fraction)
            self.stream.write(f"\r[{'#' * filled}{'-' * (width - filled)}] {fraction * 100:5.1f}%  {samples} samples")
            self.stream.flush()
        elif int(fraction * 4) > self._quarter:
            self._quarter = int(fraction * 4)
            print(f"{self._quarter * 25}%  {samples} samples", file=self.stream, flush=True)

    def end(self):
        if self.live:
            self.stream.write("\n")
            self.stream.flush()


def output_format(args):
    from ...writers import format_of

    fmt = format_of(args.output, args.format)
    if fmt is None:
        raise UserError(f"cannot tell the format of {args.output}: name it .csv, .npz or .mcap, or give --format")
    if fmt == "rosbag2":
        try:
            import rosbags  # noqa: F401
        except ImportError:
            from ...rosbag_writer import MISSING

            raise UserError(MISSING) from None
    if fmt == "mcap":
        try:
            import mcap  # noqa: F401
        except ImportError:
            raise UserError("MCAP files need the mcap package: pip install 'feltwise-comm[fleet]'") from None
    return fmt


def host_details():
    return {
        "hostname": socket.gethostname(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "user": os.environ.get("USER", ""),
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }


def parameters_record(source):
    """The parameter file for the recording's metadata: from here, or from the publisher's info."""
    if source.parameters is not None:
        return {
            "file": os.path.basename(source.parameters.path),
            "summary": parameters_summary(source.parameters),
            "data": source.parameters.data,
        }
    published = getattr(source, "info", {}).get("parameters") if source.remote else None
    if published:
        import base64

        return {
            "file": published["file"],
            "summary": published["summary"],
            "sha256": published["sha256"],
            "data": base64.b64decode(published["msgpack_base64"]),
        }
    return None


def record_name(source):
    return source.describe[len("zenoh:") :] if source.remote else (os.path.basename(source.describe) or "sensor")


def open_writer(fmt, args, output, source, metadata):
    from ...writers import CsvWriter, McapWriter, NpzWriter

    layout = source.layout
    if fmt == "rosbag2":
        from ...rosbag_writer import Rosbag2Writer, topic_name

        return Rosbag2Writer(output, topic_name(record_name(source)), layout, metadata)
    if fmt == "csv":
        return CsvWriter(
            output, layout.channel_count, layout.output_count, metadata, reconnect=args.reconnect, layout=layout
        )
    if fmt == "npz":
        return NpzWriter(output, layout.channel_count, layout.output_count, metadata, layout=layout)
    name = record_name(source)
    return McapWriter(
        output,
        layout.channel_count,
        layout.output_count,
        metadata,
        topic=f"/feltwise/{name}",
        params=parameters_record(source),
        host=host_details(),
        layout=layout,
    )


def open_output(args):
    """The output file, made before connecting so that a name that cannot be
    written is said at once; an existing recording is kept unless --overwrite."""
    from ...recording_file import RecordingFile, WriteError

    try:
        if args.format == "rosbag2":
            from ...rosbag_writer import BagFolder

            return BagFolder(args.output, overwrite=args.overwrite)
        return RecordingFile(args.output, overwrite=args.overwrite)
    except FileExistsError:
        raise UserError(f"{args.output} exists: give --overwrite to replace it") from None
    except WriteError as error:
        raise UserError(str(error)) from None


def failure_message(error):
    kept = f"the file keeps the first {error.kept} samples" if error.kept else "the file keeps no samples"
    return f"{error}; {kept}{f', {error.note}' if error.note else ''}"


def add_parser(subparsers):
    record = subparsers.add_parser(
        "record",
        help="write samples with timestamps to CSV, NPZ or MCAP",
        description="Record calibrated and raw samples with host timestamps, "
        "written as they arrive (readable at least every second).",
    )
    add_connection_arguments(record, zenoh=True)
    record.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="FILE.csv, FILE.npz or FILE.mcap, written as samples arrive",
    )
    record.add_argument(
        "--format",
        choices=("csv", "npz", "mcap", "rosbag2"),
        help="default: from the file name; rosbag2: a ROS 2 bag, FILE a folder (docs/ros2.md)",
    )
    record.add_argument("--duration", type=positive, metavar="S", help="record for S seconds")
    record.add_argument("--count", type=count, metavar="N", help="record N samples")
    record.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    record.add_argument("--overwrite", action="store_true", help="replace FILE if it exists (default: refuse)")


def run(args):
    from ...recording_file import WriteError
    from ..source import Watch, open_source

    fmt = output_format(args)
    if args.duration is None and args.count is None:
        raise UserError("give --duration SECONDS or --count SAMPLES")
    output = open_output(args)
    try:
        with open_source(args) as source:
            if args.zero:
                source.zero()
            metadata = {
                "port": source.describe,
                "parameters": source.parameters.path if source.parameters is not None else "",
                "protocol": source.version,
                "zeroed": bool(args.zero),
            }
            try:
                writer = open_writer(fmt, args, output, source, metadata)
            except WriteError as error:
                raise UserError(failure_message(error)) from None
            return record(args, source, writer, Watch(source, args.reconnect, limit=SILENCE_S))
    finally:
        output.discard()  # removes a file that no recording went into


def record(args, source, writer, watch):
    from ...recording_file import WriteError

    start = time.monotonic()
    progress = Progress(
        args.count if args.count is not None else args.duration, "samples" if args.count is not None else "s"
    )
    first_ns = last_ns = None
    widths = (0, 0)
    failure = None
    try:
        while True:
            elapsed = time.monotonic() - start
            if args.duration is not None and elapsed >= args.duration:
                break
            most = None
            if args.count is not None:
                most = args.count - writer.rows
                if most <= 0:
                    break
            wait = READ_TIMEOUT_S if args.duration is None else min(READ_TIMEOUT_S, args.duration - elapsed)
            batch = source.read_batch(wait, most, min(BATCH_LEAST, most or BATCH_LEAST))
            if batch is None:
                watch.idle()
                continue
            watch.sample()
            with signals.critical():
                writer.write_batch(batch, time.time_ns())
            first_ns = int(batch.t_host_ns[0]) if first_ns is None else first_ns
            last_ns = int(batch.t_host_ns[-1])
            widths = (batch.calibrated.shape[1], batch.raw.shape[1])
            progress.show(writer.rows if args.count is not None else time.monotonic() - start, writer.rows)
    except KeyboardInterrupt:
        pass
    except WriteError as error:
        failure = error
    finally:
        progress.end()
        try:
            with signals.critical():
                writer.close()
        except WriteError as error:
            failure = failure or error
    if failure is not None:
        raise UserError(failure_message(failure))
    span = (last_ns - first_ns) / 1e9 if writer.rows > 1 else 0.0
    rate = (writer.rows - 1) / span if span > 0 else math.nan
    print(
        f"wrote {writer.rows} samples ({widths[0]} calibrated, {widths[1]} raw values each, "
        f"{rate:.1f} samples/s) to {args.output}",
        # -o /dev/stdout: the recording itself is on standard output.
        file=sys.stdout if writer.output.regular else sys.stderr,
    )
    return 0
