"""Recording files written as samples arrive: CSV, NPZ and MCAP.

Every writer takes `write(sample, receipt_ns)` (a feltwise `Sample`, its stamp on
the monotonic clock; `receipt_ns` Unix time), `write_batch(batch, receipt_ns)`
(a feltwise `Batch`: its rows in one pass, as many `write`s would write them)
and `close()`, and makes what
it has written readable at least once a second (`FLUSH_EVERY_S`): a
recording killed outright loses at most the last second, and one ended by a
signal or Ctrl-C is closed whole. Files hold Unix time, which outlives the
process: each writer measures the monotonic clock's offset once, at the
start, so the times keep the order and spacing of the sensor's stamps.

Each second's samples go to the file in one piece (recording_file.py): when
a write fails (disk full, file-size limit), the file is put back as the last
whole piece left it and the writer raises `WriteError`, whose `kept` says how
many samples the file holds. After that the writer writes nothing more;
`close()` only closes the file.

`layout` (a feltwise.layout.Layout, where given) says where the units sit
and what their values are in: its `describe()`, the layout file's own form,
goes into each file (so that `--layout FILE` reads it back), with the unit.

`reconnects` (a sensor read with reconnect on) counts the returns of the
sensor before a sample: where it grows, the recording has a gap.

CSV: one row per sample, the rows of each second written together; a failed
write keeps the whole rows that reached the disk. The columns are
unix_time, elapsed_s, seq, dropped, then (only in recordings made with
reconnect on, so that the columns of others stay where they were)
reconnects, then cal_0... and raw_0.... A recording with a layout or a
unit given begins with one comment line before the header,
`# feltwise {"unit": ..., "layout": {...}}` (numpy's loadtxt skips it;
pandas with comment="#").

NPZ: a zip of .npy arrays cannot grow in place, and rewriting the whole file
every second costs time in the square of its length. While recording, the
file is a valid .npz of parts instead: each second the rows so far are
added as one structured array, part000001 and so on (fields unix_time,
elapsed_s, seq, dropped, reconnects, raw, calibrated), with a fresh zip
directory behind them (growing_zip.py). The layout and unit are members
`layout` (JSON text) and `unit` beside the other metadata. At the end the parts are joined,
one part in memory at a time, into one array per field, written beside the
file and renamed over it. `load_npz` reads either form, and the parts of
recordings made before parts were structured (part000001/raw, ...).

MCAP: the topics of foxglove.py (the sample, `feltwise.Sample`, on the
sensor's topic, its map as a `foxglove.RawImage` on TOPIC/map), JSON
messages with JSON schemas (what the mcap tools and Foxglove read without
plugins), time stamps as seconds and nanoseconds; the parameter file as an
attachment and as metadata beside the host's details and the layout. Every second the writer finishes
its chunk and writes it with a data-end record and a footer behind it, so
the file on disk is always a whole MCAP file (without a summary until it is
closed) that the mcap library's reader reads without recovery.
"""

import csv
import io
import json
import os
import tempfile
import time
import zlib

import numpy as np

from .growing_zip import GrowingZip, central_entry, dos_time, end_records, local_header
from .recording_file import RecordingFile, WriteError
from .sample import ClockOffset

FLUSH_EVERY_S = 1.0
FORMATS = ("csv", "npz", "mcap")
# A part is written sooner than a second when it holds this many values: a
# piece is built in memory before it is written.
PART_VALUES = 4 << 20


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


def _output(output):
    # A path is replaced as open(path, "w") would; the record command hands
    # over a RecordingFile opened with its --overwrite rule.
    return output if isinstance(output, RecordingFile) else RecordingFile(os.fspath(output), overwrite=True)


def _reconnects(sample):
    return getattr(sample, "reconnects", 0)


def row_dropped(batch):
    """`Sample.dropped` of each row of a batch, which carries only the count
    after its last row: a reader loses exactly the frames its sequence
    numbers skip, so row i's count is the last one less the frames skipped
    after row i. (A sequence that starts again, a publisher's restart, skips
    nothing.)"""
    seq = batch.seq.astype(np.int64)
    skipped = np.zeros(len(seq), np.int64)
    skipped[:-1] = np.maximum(np.diff(seq) - 1, 0)  # skipped[i]: frames lost between rows i and i + 1
    after = np.cumsum(skipped[::-1])[::-1]
    return np.maximum(int(batch.dropped) - after, 0)


def _reconnect_rows(batch):
    return batch.reconnects if len(batch.reconnects) == len(batch) else np.zeros(len(batch), np.uint32)


class _Writer(_Periodic):
    """What the three writers share: the file, the count of samples received
    (`rows`) and kept on disk (`kept`), and the failure that ended writing."""

    def __init__(self, output):
        super().__init__()
        self.output = _output(output)
        self.path = self.output.path
        self.rows = 0
        self.kept = 0
        self.failed = None

    def _fail(self, error, note=""):
        self.failed = WriteError(error, self.path, self.kept, note)
        raise self.failed from None

    def _check(self):
        if self.failed is not None:
            raise self.failed


def layout_json(layout):
    """A layout in the layout file's form, as JSON text ("" without one)."""
    return "" if layout is None else json.dumps(layout.describe(), separators=(",", ":"))


class CsvWriter(_Writer):
    def __init__(self, output, raw_width, calibrated_width, metadata, reconnect=False, layout=None):
        super().__init__(output)
        self.layout = layout
        self.raw_width, self.calibrated_width = raw_width, calibrated_width
        self.reconnect = reconnect
        self.wider = 0  # rows with more values than the header names (a text protocol's long line)
        self._text = io.StringIO()
        self._writer = csv.writer(self._text)
        self._pending = 0
        self.start_ns = None

    def _header(self):
        if self.layout is not None and (self.layout.placement is not None or self.layout.unit):
            note = {"unit": self.layout.unit, "layout": self.layout.describe()}
            self._text.write("# feltwise " + json.dumps(note, separators=(",", ":")) + "\n")
        self._writer.writerow(
            ["unix_time", "elapsed_s", "seq", "dropped"]
            + (["reconnects"] if self.reconnect else [])
            + [f"cal_{i}" for i in range(self.calibrated_width)]
            + [f"raw_{i}" for i in range(self.raw_width)]
        )

    def write(self, sample, receipt_ns):
        self._check()
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
        self._writer.writerow(
            [
                f"{self.clock.unix_ns(sample.t_host_ns) / 1e9:.6f}",
                f"{(sample.t_host_ns - self.start_ns) / 1e9:.6f}",
                sample.seq,
                sample.dropped,
            ]
            + ([_reconnects(sample)] if self.reconnect else [])
            + [repr(v) for v in calibrated]
            + [""] * (self.calibrated_width - len(calibrated))
            + [repr(v) for v in raw]
            + [""] * (self.raw_width - len(raw))
        )
        self.rows += 1
        self._pending += 1
        if self.due():
            self._flush()

    def write_batch(self, batch, receipt_ns):
        """The rows of a batch, formatted in one pass (as `write` would write them)."""
        self._check()
        rows = len(batch)
        if not rows:
            return
        if self.start_ns is None:
            self.start_ns = int(batch.t_host_ns[0])
            self.raw_width, self.calibrated_width = batch.raw.shape[1], batch.calibrated.shape[1]
            self._header()
        dropped = row_dropped(batch)
        if batch.raw.shape[1] != self.raw_width or batch.calibrated.shape[1] != self.calibrated_width:
            # Rows of another width than the header's: padded or run on, as `write` does.
            for i in range(rows):
                self.write(batch.sample(i)._replace(dropped=int(dropped[i])), receipt_ns)
            return
        lead = 5 if self.reconnect else 4
        width = lead + self.calibrated_width + self.raw_width
        cells = np.empty((rows, width), dtype=object)  # Python numbers: %r writes each as repr() does
        t_host = batch.t_host_ns.astype(np.int64)
        cells[:, 0] = (t_host + self.clock.unix_ns(0)) / 1e9
        cells[:, 1] = (t_host - self.start_ns) / 1e9
        cells[:, 2] = batch.seq
        cells[:, 3] = dropped
        if self.reconnect:
            cells[:, 4] = _reconnect_rows(batch)
        cells[:, lead : lead + self.calibrated_width] = batch.calibrated
        cells[:, lead + self.calibrated_width :] = batch.raw
        line = "%.6f,%.6f,%d,%d" + ",%d" * (lead - 4) + ",%r" * (width - lead) + "\r\n"  # the csv module's line end
        self._text.write((line * rows) % tuple(cells.ravel().tolist()))
        self.rows += rows
        self._pending += rows
        if self.due():
            self._flush()

    def _flush(self):
        data = self._text.getvalue().encode()
        if not data:
            return
        self._text.seek(0)
        self._text.truncate()
        rows, self._pending = self._pending, 0
        header = data.count(b"\n") - rows  # the header's lines while it has not reached the file

        def whole_rows(data, written):
            # Rows end with a line break; numbers hold none.
            cut = data.rfind(b"\n", 0, written) + 1
            self.kept += max(0, data.count(b"\n", 0, cut) - header)
            return cut

        try:
            self.output.extend(data, whole=whole_rows)
        except OSError as error:
            self._fail(error)
        self.kept += rows

    def close(self):
        try:
            if self.failed is None:
                if self.start_ns is None:
                    self._header()
                self._flush()
        finally:
            self.output.close()


# The fields of a recording, in the order of the joined file; raw and
# calibrated are matrices, one row per sample.
FIELDS = ("unix_time", "elapsed_s", "seq", "dropped", "reconnects", "raw", "calibrated")
_SCALARS = {"unix_time": "<f8", "elapsed_s": "<f8", "seq": "<u8", "dropped": "<u4", "reconnects": "<u4"}


def _part_dtype(raw_width, calibrated_width):
    return np.dtype(
        [(name, kind) for name, kind in _SCALARS.items()]
        + [("raw", "<f8", (raw_width,)), ("calibrated", "<f8", (calibrated_width,))]
    )


def _npy(value):
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, np.asanyarray(value), allow_pickle=False)
    return buffer.getvalue()


class NpzWriter(_Writer):
    FIELDS = FIELDS

    def __init__(self, output, raw_width, calibrated_width, metadata, layout=None):
        super().__init__(output)
        if layout is not None:
            metadata = dict(metadata, unit=layout.unit, layout=layout_json(layout))
        if not self.output.regular:
            self.output.close()
            raise WriteError(OSError(0, "an NPZ file is rewritten when it ends: give a regular file"), self.path)
        self.metadata = {key: np.array(value) for key, value in metadata.items()}
        self.parts = []  # (member name, rows, raw width, calibrated width)
        self.start_ns = None
        self._pending = []  # samples from `write`, in order
        self._blocks = []  # the part's rows so far, as structured arrays
        self._pending_values = 0
        self._zip = GrowingZip(self.output)
        try:
            self._zip.add([(f"{key}.npy", _npy(value)) for key, value in self.metadata.items()])
        except OSError as error:
            self._fail(error)

    def write(self, sample, receipt_ns):
        self._check()
        if self.start_ns is None:
            self.start_ns = sample.t_host_ns
        self._pending.append(sample)
        self._pending_values += len(sample.raw) + len(sample.calibrated) + 5
        self.rows += 1
        if self.due() or self._pending_values >= PART_VALUES:
            self._append_part()

    def write_batch(self, batch, receipt_ns):
        """The rows of a batch, as one block of the next part."""
        self._check()
        rows = len(batch)
        if not rows:
            return
        if self.start_ns is None:
            self.start_ns = int(batch.t_host_ns[0])
        self._close_block()
        block = np.empty(rows, dtype=_part_dtype(batch.raw.shape[1], batch.calibrated.shape[1]))
        t_host = batch.t_host_ns.astype(np.int64)
        block["unix_time"] = (t_host + self.clock.unix_ns(0)) / 1e9
        block["elapsed_s"] = (t_host - self.start_ns) / 1e9
        block["seq"] = batch.seq
        block["dropped"] = row_dropped(batch)
        block["reconnects"] = _reconnect_rows(batch)
        block["raw"] = batch.raw
        block["calibrated"] = batch.calibrated
        self._blocks.append(block)
        self._pending_values += rows * (batch.raw.shape[1] + batch.calibrated.shape[1] + 5)
        self.rows += rows
        if self.due() or self._pending_values >= PART_VALUES:
            self._append_part()

    def _close_block(self):
        if self._pending:
            self._blocks.append(_rows_to_part(self._pending, self.start_ns, self.clock.unix_ns(0)))
            self._pending = []

    def _append_part(self):
        self._close_block()
        if not self._blocks:
            return
        part = _join_blocks(self._blocks)
        name = f"part{len(self.parts) + 1:06d}"
        try:
            self._zip.add([(name + ".npy", _npy(part))])
        except OSError as error:
            self._fail(error, note=_PARTS_NOTE)
        self.parts.append((name, len(part), part.dtype["raw"].shape[0], part.dtype["calibrated"].shape[0]))
        self.kept += len(part)
        self._blocks, self._pending_values = [], 0

    def close(self):
        """Joins the parts into one array per field. If the join cannot be
        written (it needs as much free space as the recording), the file
        keeps its parts and WriteError says so."""
        try:
            if self.failed is not None:
                return
            self._append_part()
            try:
                _join_parts(self.path, self.parts, self.metadata)
            except OSError as error:
                self._fail(error, note=_PARTS_NOTE)
        finally:
            self.output.close()


_PARTS_NOTE = "in parts, which feltwise.writers.load_npz reads"


def _rows_to_part(samples, start_ns, offset_ns):
    raw_width = max(len(s.raw) for s in samples)
    calibrated_width = max(len(s.calibrated) for s in samples)
    part = np.zeros(len(samples), dtype=_part_dtype(raw_width, calibrated_width))
    t_host = np.array([s.t_host_ns for s in samples], dtype=np.int64)
    part["unix_time"] = (t_host + offset_ns) / 1e9
    part["elapsed_s"] = (t_host - start_ns) / 1e9
    part["seq"] = [s.seq for s in samples]
    part["dropped"] = [s.dropped for s in samples]
    part["reconnects"] = [_reconnects(s) for s in samples]
    for field, width in (("raw", raw_width), ("calibrated", calibrated_width)):
        rows = [getattr(s, field) for s in samples]
        if all(len(row) == width for row in rows):
            part[field] = rows
            continue
        values = part[field]
        values[:] = np.nan  # text protocols may deliver samples of different lengths: NaN pads them
        for i, row in enumerate(rows):
            values[i, : len(row)] = row
    return part


def _join_blocks(blocks):
    """Blocks of rows as one part; rows narrower than the widest are padded with NaN."""
    if len(blocks) == 1:
        return blocks[0]
    raw_width = max(block.dtype["raw"].shape[0] for block in blocks)
    calibrated_width = max(block.dtype["calibrated"].shape[0] for block in blocks)
    part = np.empty(sum(len(block) for block in blocks), dtype=_part_dtype(raw_width, calibrated_width))
    start = 0
    for block in blocks:
        rows = part[start : start + len(block)]
        for field in FIELDS:
            values = block[field]
            if field in ("raw", "calibrated") and values.shape[1] < rows[field].shape[1]:
                rows[field] = np.nan
                rows[field][:, : values.shape[1]] = values
            else:
                rows[field] = values
        start += len(block)
    return part


class _Member:
    """One field of the joined file: where its member begins, its .npy
    header, and the place and CRC of the bytes written so far."""

    def __init__(self, field, rows, widths, offset, stamp):
        self.name = f"{field}.npy".encode()
        self.dtype = np.dtype(_SCALARS.get(field, "<f8"))
        self.width = widths.get(field)
        shape = (rows,) if self.width is None else (rows, self.width)
        header = io.BytesIO()
        np.lib.format.write_array_header_1_0(
            header, {"descr": np.lib.format.dtype_to_descr(self.dtype), "fortran_order": False, "shape": shape}
        )
        self.header = header.getvalue()
        self.size = len(self.header) + rows * self.dtype.itemsize * (1 if self.width is None else self.width)
        self.offset = offset
        self.data_offset = offset + len(local_header(self.name, self.size, 0, stamp))
        self.end = self.data_offset + self.size
        self.cursor = self.data_offset + len(self.header)
        self.crc = zlib.crc32(self.header)

    def values(self, part, field):
        values = part[field]
        if self.width is not None and values.shape[1] < self.width:
            padded = np.full((len(values), self.width), np.nan)
            padded[:, : values.shape[1]] = values
            values = padded
        return np.ascontiguousarray(values, dtype=self.dtype).tobytes()


def _join_parts(path, parts, metadata):
    """The parts of a recording joined into one array per field, replacing
    the file. The members' sizes are known from the parts, so each field's
    bytes go straight to their place, in one pass over the parts."""
    rows = sum(part[1] for part in parts)
    widths = {"raw": max((p[2] for p in parts), default=0), "calibrated": max((p[3] for p in parts), default=0)}
    stamp = dos_time()
    members = {}
    offset = 0
    for field in FIELDS:
        members[field] = _Member(field, rows, widths, offset, stamp)
        offset = members[field].end
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".joining", dir=folder)
    try:
        with open(fd, "r+b") as out:
            with np.load(path) as recorded:
                for name, *_ in parts:
                    part = recorded[name]
                    for field, member in members.items():
                        data = member.values(part, field)
                        out.seek(member.cursor)
                        out.write(data)
                        member.cursor += len(data)
                        member.crc = zlib.crc32(data, member.crc)
            entries = []
            for member in members.values():
                out.seek(member.offset)
                out.write(local_header(member.name, member.size, member.crc, stamp) + member.header)
                entries.append(central_entry(member.name, member.size, member.crc, member.offset, stamp))
            out.seek(offset)
            for key, value in metadata.items():
                name, data = f"{key}.npy".encode(), _npy(value)
                crc = zlib.crc32(data)
                entries.append(central_entry(name, len(data), crc, offset, stamp))
                header = local_header(name, len(data), crc, stamp)
                out.write(header + data)
                offset += len(header) + len(data)
            directory = b"".join(entries)
            out.write(directory + end_records(len(entries), offset, len(directory)))
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def load_npz(path):
    """A recording as {field: array}, whether it was closed (one array per
    field) or cut off while recording (parts, joined here)."""
    with np.load(path) as recorded:
        names = list(recorded.keys())
        if "raw" in names:
            return {name: recorded[name] for name in names}
        parts = sorted({name.split("/")[0] for name in names if name.startswith("part")})
        result = {name: recorded[name] for name in names if not name.startswith("part")}
        columns = {field: [] for field in FIELDS}
        for part in parts:
            if part in names:
                arrays = recorded[part]
                present = arrays.dtype.names
            else:  # the parts of earlier recordings: one array per field
                present = [field for field in FIELDS if f"{part}/{field}" in names]
                arrays = {field: recorded[f"{part}/{field}"] for field in present}
            for field in FIELDS:
                if field in present:
                    columns[field].append(arrays[field])
                else:
                    columns[field].append(np.zeros(len(arrays["seq"]), dtype=_SCALARS[field]))
        for field, arrays in columns.items():
            if field in ("raw", "calibrated"):
                width = max((a.shape[1] for a in arrays), default=0)
                arrays = [np.pad(a, ((0, 0), (0, width - a.shape[1])), constant_values=np.nan) for a in arrays]
                result[field] = np.concatenate(arrays) if arrays else np.zeros((0, 0))
            else:
                result[field] = np.concatenate(arrays) if arrays else np.zeros(0, dtype=_SCALARS[field])
        return result


class _PieceStream:
    """The stream the mcap writer writes to: records collect in memory and
    reach the file a piece at a time (`commit`), each piece followed by a
    data-end record and a footer that the next piece writes over."""

    def __init__(self, output):
        self.output = output
        self._buffer = bytearray()

    def write(self, data):
        self._buffer += data
        return len(data)

    def tell(self):
        return self.output.end + len(self._buffer)

    def flush(self):
        pass

    def commit(self, closing):
        data = bytes(self._buffer)
        self._buffer.clear()
        # On a pipe or a device the file is written in order: nothing can be
        # written over, so the closing records come only with the summary.
        self.output.extend(data, closing if self.output.regular else b"")


def _closing_records():
    from mcap.data_stream import RecordBuilder
    from mcap.records import DataEnd, Footer
    from mcap.writer import MCAP0_MAGIC

    builder = RecordBuilder()
    DataEnd(data_section_crc=0).write(builder)
    Footer(summary_start=0, summary_offset_start=0, summary_crc=0).write(builder)
    return builder.end() + MCAP0_MAGIC


class McapWriter(_Writer):
    def __init__(
        self,
        output,
        raw_width,
        calibrated_width,
        metadata,
        topic="/feltwise/sensor",
        params=None,
        host=None,
        layout=None,
    ):
        super().__init__(output)
        from mcap.writer import CompressionType, Writer

        from .foxglove import FoxgloveMessages

        try:
            import zstandard  # noqa: F401  (mcap compresses with it when it is there)

            compression = CompressionType.ZSTD
        except ImportError:
            compression = CompressionType.NONE
        self._stream = _PieceStream(self.output)
        self._closing = _closing_records()
        self.writer = Writer(self._stream, compression=compression)
        self.writer.start(profile="", library=f"feltwise {_version()}")
        self.messages = FoxgloveMessages(layout or _plain_layout(raw_width, calibrated_width), topic)
        self.channels = {}
        for name, schema_name, schema in self.messages.channels():
            schema_id = self.writer.register_schema(
                name=schema_name, encoding="jsonschema", data=json.dumps(schema).encode()
            )
            self.channels[name] = self.writer.register_channel(
                topic=name,
                message_encoding="json",
                schema_id=schema_id,
                metadata={key: str(value) for key, value in metadata.items()} if name == topic else {},
            )
        self.channel = self.channels[topic]
        now = time.time_ns()
        self.writer.add_metadata("feltwise.recording", {key: str(value) for key, value in metadata.items()})
        if host:
            self.writer.add_metadata("feltwise.host", host)
        if layout is not None:
            self.writer.add_metadata("feltwise.layout", {"unit": layout.unit, "layout": layout_json(layout)})
        if params:
            self.writer.add_metadata("feltwise.parameters", {k: v for k, v in params.items() if k != "data"})
            self.writer.add_attachment(
                now, now, params.get("file", "parameters.msgpack"), "application/msgpack", params["data"]
            )
        self._pending = 0
        self._commit()

    def _commit(self, closing=None):
        try:
            self._stream.commit(self._closing if closing is None else closing)
        except OSError as error:
            self._fail(error)
        self.kept += self._pending
        self._pending = 0

    def write(self, sample, receipt_ns):
        self._check()
        t_host_ns = self.clock.unix_ns(sample.t_host_ns)
        for topic, data in self.messages.encode(sample, t_host_ns):
            self.writer.add_message(
                self.channels[topic],
                log_time=receipt_ns,
                publish_time=t_host_ns,
                sequence=sample.seq & 0xFFFFFFFF,
                data=data,
            )
        self.rows += 1
        self._pending += 1
        if self.due():
            self.writer.flush()  # finishes the chunk
            self._commit()

    def write_batch(self, batch, receipt_ns):
        """The messages of a batch's rows, encoded from its arrays (no `Sample` per row)."""
        self._check()
        if not len(batch):
            return
        unix_ns = (batch.t_host_ns.astype(np.int64) + self.clock.unix_ns(0)).tolist()
        sequences = (batch.seq & np.uint64(0xFFFFFFFF)).tolist()
        add = self.writer.add_message
        for stamp, sequence, encoded in zip(
            unix_ns, sequences, self.messages.encode_batch(batch, unix_ns, row_dropped(batch))
        ):
            for topic, data in encoded:
                add(self.channels[topic], log_time=receipt_ns, publish_time=stamp, sequence=sequence, data=data)
            self.rows += 1
            self._pending += 1
        if self.due():
            self.writer.flush()  # finishes the chunk
            self._commit()

    def close(self):
        try:
            if self.failed is None:
                self.writer.flush()
                self._commit()
                # The summary and the real footer: a piece of its own, so a
                # failure here still leaves every chunk readable.
                self.writer.finish()
                self._commit(closing=b"")
        finally:
            self.output.close()


def _plain_layout(raw_width, calibrated_width):
    """Without a layout: each output a taxel of its own, in order."""
    from .layout import Layout, Taxel

    return Layout(0, raw_width, calibrated_width, [Taxel(i, i, 0.0) for i in range(calibrated_width)])


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
