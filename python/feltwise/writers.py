"""Recording files written as samples arrive: CSV, NPZ and MCAP.

Every writer takes `write(sample, receipt_ns)` (a feltwise `Sample`, its stamp on
the monotonic clock; `receipt_ns` Unix time) and `close()`, and makes what
it has written readable at least once a second (`FLUSH_EVERY_S`): a
recording killed outright loses at most the last second, and one ended by a
signal or Ctrl-C is closed whole. Files hold Unix time, which outlives the
process: each writer measures the monotonic clock's offset once, at the
start, so the times keep the order and spacing of the sensor's stamps.

CSV: one row per sample, the file flushed every second.

NPZ: a zip of .npy arrays cannot grow in place, and rewriting the whole file
every second costs time in the square of its length. While recording, the
file is a valid .npz of parts instead: each second the rows so far are
appended as arrays named part000001/raw and so on, and zipfile writes a new
central directory behind them. At the end the parts are joined, one part in
memory at a time, into one array per field, written beside the file and
renamed over it. `load_npz` reads either form.

MCAP: one channel per sensor, JSON messages with a JSON schema (what the mcap
tools and Foxglove read without plugins), the parameter file as an attachment
and as metadata beside the host's details; the writer finishes its chunk and
flushes every second.
"""

import csv
import json
import math
import os
import time
import zipfile

import numpy as np

from .sample import ClockOffset

FLUSH_EVERY_S = 1.0
FORMATS = ("csv", "npz", "mcap")


class _Periodic:
    def __init__(self):
        self._next_flush = time.monotonic() + FLUSH_EVERY_S
        self.clock = ClockOffset(refresh_s=None)

    def due(self):
        now = time.monotonic()
        if now < self._next_flush:
            return False
        self._next_flush = now + FLUSH_EVERY_S
        return True


class CsvWriter(_Periodic):
    def __init__(self, path, raw_width, calibrated_width, metadata):
        super().__init__()
        self.raw_width, self.calibrated_width = raw_width, calibrated_width
        self.file = open(path, "w", newline="")
        self.rows = 0
        self.wider = 0  # rows with more values than the header names (a text protocol's long line)
        self.writer = csv.writer(self.file)
        self.start_ns = None

    def _header(self):
        self.writer.writerow(
            ["unix_time", "elapsed_s", "seq", "dropped"]
            + [f"cal_{i}" for i in range(self.calibrated_width)]
            + [f"raw_{i}" for i in range(self.raw_width)]
        )

    def write(self, sample, receipt_ns):
        if self.start_ns is None:
            # The columns are those of the first sample: a sensor known only by
            # its protocol version says how many channels it has by sending them.
            self.start_ns = sample.t_host_ns
            self.raw_width, self.calibrated_width = len(sample.raw), len(sample.calibrated)
            self._header()
        calibrated, raw = sample.calibrated.tolist(), sample.raw.tolist()
        if len(calibrated) > self.calibrated_width or len(raw) > self.raw_width:
            self.wider += 1
        # Calibrated values first and padded to the header's width, so the raw
        # columns stay where the header says; longer rows run on past it.
        self.writer.writerow(
            [
                f"{self.clock.unix_ns(sample.t_host_ns) / 1e9:.6f}",
                f"{(sample.t_host_ns - self.start_ns) / 1e9:.6f}",
                sample.seq,
                sample.dropped,
            ]
            + [repr(v) for v in calibrated]
            + [""] * (self.calibrated_width - len(calibrated))
            + [repr(v) for v in raw]
            + [""] * (self.raw_width - len(raw))
        )
        self.rows += 1
        if self.due():
            self.file.flush()

    def close(self):
        if self.start_ns is None:
            self._header()
        self.file.close()


class NpzWriter(_Periodic):
    FIELDS = ("unix_time", "elapsed_s", "seq", "dropped", "raw", "calibrated")

    def __init__(self, path, raw_width, calibrated_width, metadata):
        super().__init__()
        self.path = path
        self.metadata = {key: np.array(value) for key, value in metadata.items()}
        self.rows = 0
        self.parts = 0
        self.start_ns = None
        self._pending = []
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for key, value in self.metadata.items():
                _add_array(archive, key, value)

    def write(self, sample, receipt_ns):
        if self.start_ns is None:
            self.start_ns = sample.t_host_ns
        self._pending.append(sample)
        self.rows += 1
        if self.due():
            self._append_part()

    def _append_part(self):
        if not self._pending:
            return
        self.parts += 1
        arrays = _rows_to_arrays(self._pending, self.start_ns, self.clock.unix_ns(0))
        with zipfile.ZipFile(self.path, "a", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for key, value in arrays.items():
                _add_array(archive, f"part{self.parts:06d}/{key}", value)
        self._pending = []

    def close(self):
        self._append_part()
        _join_parts(self.path, self.parts, self.metadata)


def _rows_to_arrays(samples, start_ns, offset_ns):
    def matrix(field):
        width = max((len(getattr(s, field)) for s in samples), default=0)
        values = np.full((len(samples), width), np.nan)
        for i, sample in enumerate(samples):
            row = getattr(sample, field)
            values[i, : len(row)] = row
        return values

    t_host = np.array([s.t_host_ns for s in samples], dtype=np.int64)
    return {
        "unix_time": (t_host + offset_ns) / 1e9,
        "elapsed_s": (t_host - start_ns) / 1e9,
        "seq": np.array([s.seq for s in samples], dtype=np.uint64),
        "dropped": np.array([s.dropped for s in samples], dtype=np.uint32),
        "raw": matrix("raw"),
        "calibrated": matrix("calibrated"),
    }


def _add_array(archive, name, value):
    with archive.open(name + ".npy", "w", force_zip64=True) as member:
        np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def _join_parts(path, parts, metadata):
    """The parts of a recording joined into one array per field, replacing the file."""
    temporary = path + ".joining"
    with np.load(path) as recorded, zipfile.ZipFile(temporary, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
        names = [f"part{i:06d}" for i in range(1, parts + 1)]
        for field in NpzWriter.FIELDS:
            shapes = [recorded[f"{name}/{field}"].shape for name in names]
            rows = sum(shape[0] for shape in shapes)
            dtype = recorded[f"{names[0]}/{field}"].dtype if names else np.float64
            if field in ("raw", "calibrated"):
                width = max((shape[1] for shape in shapes), default=0)
                shape = (rows, width)
            else:
                shape = (rows,)
            with archive.open(field + ".npy", "w", force_zip64=True) as member:
                np.lib.format.write_array_header_2_0(
                    member, {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
                )
                for name in names:
                    part = recorded[f"{name}/{field}"]
                    if len(shape) == 2 and part.shape[1] < shape[1]:
                        # Text protocols may deliver samples of different lengths: NaN pads them.
                        padded = np.full((part.shape[0], shape[1]), np.nan)
                        padded[:, : part.shape[1]] = part
                        part = padded
                    member.write(np.ascontiguousarray(part, dtype=dtype).tobytes())
        for key, value in metadata.items():
            _add_array(archive, key, value)
    os.replace(temporary, path)


def load_npz(path):
    """A recording as {field: array}, whether it was closed (one array per
    field) or cut off while recording (parts, joined here)."""
    with np.load(path) as recorded:
        names = list(recorded.keys())
        if "raw" in names:
            return {name: recorded[name] for name in names}
        parts = sorted({name.split("/")[0] for name in names if name.startswith("part")})
        result = {name: recorded[name] for name in names if "/" not in name}
        for field in NpzWriter.FIELDS:
            arrays = [recorded[f"{part}/{field}"] for part in parts]
            if field in ("raw", "calibrated"):
                width = max((a.shape[1] for a in arrays), default=0)
                arrays = [np.pad(a, ((0, 0), (0, width - a.shape[1])), constant_values=np.nan) for a in arrays]
                result[field] = np.concatenate(arrays) if arrays else np.zeros((0, 0))
            else:
                result[field] = np.concatenate(arrays) if arrays else np.zeros(0)
        return result


SAMPLE_SCHEMA = {
    "title": "feltwise.Sample",
    "description": "One sample of a Feltwise tactile sensor",
    "type": "object",
    "properties": {
        "seq": {"type": "integer", "description": "the sample's number in its stream"},
        "t_host_ns": {"type": "integer", "description": "Unix time in ns when the host took the sample"},
        "dropped": {"type": "integer", "description": "frames since the start that the reader lost"},
        "raw": {"type": "array", "items": {"type": "number"}, "description": "raw readings (counts)"},
        "calibrated": {
            "type": "array",
            "items": {"type": ["number", "null"]},
            "description": "calibrated outputs (null: not a number)",
        },
    },
    "required": ["seq", "t_host_ns", "dropped", "raw", "calibrated"],
}


def _finite_list(values):
    if np.isfinite(values).all():
        return values.tolist()
    return [v if math.isfinite(v) else None for v in values.tolist()]


class McapWriter(_Periodic):
    def __init__(self, path, raw_width, calibrated_width, metadata, topic="/feltwise/sensor", params=None, host=None):
        super().__init__()
        from mcap.writer import CompressionType, Writer

        try:
            import zstandard  # noqa: F401  (mcap compresses with it when it is there)

            compression = CompressionType.ZSTD
        except ImportError:
            compression = CompressionType.NONE
        self.file = open(path, "wb")
        self.writer = Writer(self.file, compression=compression)
        self.writer.start(profile="", library=f"feltwise {_version()}")
        schema = self.writer.register_schema(
            name="feltwise.Sample", encoding="jsonschema", data=json.dumps(SAMPLE_SCHEMA).encode()
        )
        self.channel = self.writer.register_channel(
            topic=topic,
            message_encoding="json",
            schema_id=schema,
            metadata={key: str(value) for key, value in metadata.items()},
        )
        now = time.time_ns()
        self.writer.add_metadata("feltwise.recording", {key: str(value) for key, value in metadata.items()})
        if host:
            self.writer.add_metadata("feltwise.host", host)
        if params:
            self.writer.add_metadata("feltwise.parameters", {k: v for k, v in params.items() if k != "data"})
            self.writer.add_attachment(
                now, now, params.get("file", "parameters.msgpack"), "application/msgpack", params["data"]
            )
        self.rows = 0
        self.file.flush()

    def write(self, sample, receipt_ns):
        t_host_ns = self.clock.unix_ns(sample.t_host_ns)
        data = json.dumps(
            {
                "seq": sample.seq,
                "t_host_ns": t_host_ns,
                "dropped": sample.dropped,
                "raw": _finite_list(sample.raw),
                "calibrated": _finite_list(sample.calibrated),
            },
            separators=(",", ":"),
        ).encode()
        self.writer.add_message(
            self.channel, log_time=receipt_ns, publish_time=t_host_ns, sequence=sample.seq & 0xFFFFFFFF, data=data
        )
        self.rows += 1
        if self.due():
            self.writer.flush()

    def close(self):
        self.writer.finish()
        self.file.close()


def _version():
    try:
        from importlib.metadata import version

        return version("feltwise-comm")
    except Exception:  # not installed as a distribution (run from the source tree)
        return "unknown"


def format_of(path, given=None):
    if given:
        return given
    for fmt in FORMATS:
        if path.lower().endswith("." + fmt):
            return fmt
    return None
