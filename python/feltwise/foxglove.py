"""A sensor's samples in Foxglove's terms: the messages that `record -o FILE.mcap`
writes and that `view --foxglove` serves live through foxglove-sdk.

Two topics per sensor, the same in a recording and live, JSON messages with
JSON schemas (what Foxglove, the mcap tools and any JSON reader open without
plugins or generated code):

- TOPIC (`/feltwise/NAME`), schema `feltwise.Sample`: `timestamp`
  {sec, nsec} (Unix time), `seq`, `dropped`, `reconnects`, `raw` and
  `calibrated` (arrays; not-a-number as null) and `values`, the calibrated
  values named by where they sit (`r1c2` for a taxel at row 1, column 2;
  `r0c0_x`, `_y`, `_z` for the axes of a unit of several; `out_N` for an
  output the layout leaves out; `ch_N`, raw channels, for a sensor without
  calibrated outputs), so that a plot names a place, not an array index.
- TOPIC/map, schema `foxglove.RawImage`: the map on the layout's grid, one
  32-bit float per cell (`32FC1`, NaN where no unit sits), what Foxglove's
  Image panel draws with its colour maps, and the same picture a ROS 2
  sensor_msgs/Image carries. (A foxglove.Grid is drawn only in a 3D scene,
  in a coordinate frame a tactile skin does not have.)

Every time stamp is seconds and nanoseconds: no number in a message is above
2**53, where JavaScript readers (Foxglove) round. `seq` counts samples.

`FoxgloveMessages` builds the schemas and messages and needs nothing beyond
numpy; `LiveView` serves them and imports foxglove-sdk (the `foxglove`
extra) when it starts.
"""

from __future__ import annotations

import base64
import json
import math
from collections.abc import Iterator
from typing import Any, Optional

import numpy as np

from .layout import Layout, grid_values

SAMPLE_SCHEMA_NAME = "feltwise.Sample"
IMAGE_SCHEMA_NAME = "foxglove.RawImage"
DEFAULT_HOST, DEFAULT_PORT = "127.0.0.1", 8765

_TIME = {
    "type": "object",
    "title": "time",
    "properties": {"sec": {"type": "integer", "minimum": 0}, "nsec": {"type": "integer", "minimum": 0}},
}

IMAGE_SCHEMA = {
    "title": IMAGE_SCHEMA_NAME,
    "description": "A raw image",
    "type": "object",
    "properties": {
        "timestamp": dict(_TIME, description="Timestamp of image"),
        "frame_id": {"type": "string", "description": "Frame of reference for the image."},
        "width": {"type": "integer", "minimum": 0, "description": "Image width"},
        "height": {"type": "integer", "minimum": 0, "description": "Image height"},
        "encoding": {"type": "string", "description": "Encoding of the raw image data"},
        "step": {"type": "integer", "minimum": 0, "description": "Byte length of a single row"},
        "data": {"type": "string", "contentEncoding": "base64", "description": "Raw image data"},
    },
}


def stamp(unix_ns: int) -> dict[str, int]:
    """Unix time in ns as {sec, nsec}: exact in any JSON reader."""
    sec, nsec = divmod(int(unix_ns), 1_000_000_000)
    return {"sec": sec, "nsec": nsec}


def value_names(layout: Layout, raw: bool = False, width: Optional[int] = None) -> list[str]:
    """The name of each value a `values` object holds, in output order
    (raw channels for `raw` or a layout without calibrated outputs)."""
    if raw or layout.output_count == 0:
        return [f"ch_{i}" for i in range(layout.channel_count if width is None else width)]
    places = layout.output_places()
    shared: dict[tuple[int, int], int] = {}
    for row, column, _ in places.values():
        shared[(row, column)] = shared.get((row, column), 0) + 1
    names = []
    for out in range(layout.output_count):
        if out not in places:
            names.append(f"out_{out}")
            continue
        row, column, axis = places[out]
        names.append(f"r{row}c{column}" + (f"_{axis}" if shared[(row, column)] > 1 else ""))
    return names


def _finite(values: list[float], array: Any) -> list[Optional[float]]:
    if array.size == 0 or bool(np.isfinite(array).all()):
        return values
    return [v if math.isfinite(v) else None for v in values]


class FoxgloveMessages:
    """The schemas and messages of one sensor under `topic`: `channels()`
    lists (topic, schema name, JSON schema); `encode(sample, unix_ns)` gives
    [(topic, JSON bytes)] for one sample (a feltwise Sample; its stamp in
    Unix ns). `raw`: the map shows raw readings (always, for a sensor without
    calibrated outputs)."""

    def __init__(self, layout: Layout, topic: str, raw: bool = False, frame_id: str = ""):
        self.layout, self.topic, self.frame_id = layout, topic, frame_id
        self.raw = raw or layout.output_count == 0
        self.map_topic = f"{topic}/map"
        self._names = value_names(layout, self.raw)

    def channels(self) -> list[tuple[str, str, dict[str, Any]]]:
        return [
            (self.topic, SAMPLE_SCHEMA_NAME, self.sample_schema()),
            (self.map_topic, IMAGE_SCHEMA_NAME, IMAGE_SCHEMA),
        ]

    def sample_schema(self) -> dict[str, Any]:
        unit = f" in {self.layout.unit}" if self.layout.unit else ""
        what = "raw reading (counts)" if self.raw else f"calibrated value{unit}"
        places = {} if self.raw else self.layout.output_places()
        named = {}
        for index, name in enumerate(self._names):
            where = ""
            if index in places:
                row, column, axis = places[index]
                where = f" at row {row}, column {column}, axis {axis}"
            source = f"channel {index}" if self.raw else f"output {index}"
            named[name] = {"type": ["number", "null"], "description": f"{what} of {source}{where}"}
        numbers = {"type": "array", "items": {"type": ["number", "null"]}}
        return {
            "title": SAMPLE_SCHEMA_NAME,
            "description": "One sample of a Feltwise tactile sensor",
            "type": "object",
            "properties": {
                "timestamp": dict(_TIME, description="when the host took the sample (Unix time)"),
                "seq": {"type": "integer", "description": "the sample's number in its stream"},
                "dropped": {"type": "integer", "description": "frames since the start that the reader lost"},
                "reconnects": {
                    "type": "integer",
                    "description": "returns of the sensor after an unplug before this sample: a gap where it grows",
                },
                "raw": dict(numbers, description="raw readings (counts; null: not a number)"),
                "calibrated": dict(numbers, description=f"calibrated outputs{unit} (null: not a number)"),
                "values": {
                    "type": "object",
                    "description": f"each {what} named by where it sits",
                    "properties": named,
                },
            },
            "required": ["timestamp", "seq", "dropped", "raw", "calibrated"],
        }

    def sample_message(self, sample: Any, unix_ns: int) -> dict[str, Any]:
        raw = _finite(sample.raw.tolist(), sample.raw)
        calibrated = _finite(sample.calibrated.tolist(), sample.calibrated)
        shown = raw if self.raw else calibrated
        names = self._names
        if len(names) < len(shown):  # a text protocol's longer line
            extra = "ch" if self.raw else "out"
            names = names + [f"{extra}_{i}" for i in range(len(names), len(shown))]
        return {
            "timestamp": stamp(unix_ns),
            "seq": int(sample.seq),
            "dropped": int(sample.dropped),
            "reconnects": int(getattr(sample, "reconnects", 0)),
            "raw": raw,
            "calibrated": calibrated,
            "values": dict(zip(names, shown)),
        }

    def image_message(self, sample: Any, unix_ns: int) -> dict[str, Any]:
        values = sample.raw if self.raw else sample.calibrated
        grid = np.ascontiguousarray(grid_values(self.layout, values, self.raw)[0], dtype="<f4")
        return {
            "timestamp": stamp(unix_ns),
            "frame_id": self.frame_id,
            "width": grid.shape[1],
            "height": grid.shape[0],
            "encoding": "32FC1",
            "step": grid.shape[1] * 4,
            "data": base64.b64encode(grid.tobytes()).decode("ascii"),
        }

    def encode(self, sample: Any, unix_ns: int) -> list[tuple[str, bytes]]:
        return [
            (self.topic, _json(self.sample_message(sample, unix_ns))),
            (self.map_topic, _json(self.image_message(sample, unix_ns))),
        ]

    def encode_batch(self, batch: Any, unix_ns: list[int], dropped: Any) -> Iterator[list[tuple[str, bytes]]]:
        """`encode` for each row of a feltwise Batch (`unix_ns` and `dropped`:
        the rows' stamps in Unix ns and their `Sample.dropped`), from its
        arrays in one pass and without a Sample per row."""
        rows = len(batch)
        raw, calibrated = batch.raw, batch.calibrated
        shown = raw if self.raw else calibrated
        names = self._names
        if len(names) < shown.shape[1]:  # a text protocol's longer line
            extra = "ch" if self.raw else "out"
            names = names + [f"{extra}_{i}" for i in range(len(names), shown.shape[1])]
        grids = self.grids(shown)
        height, width = grids.shape[1:]
        images = [base64.b64encode(grid.tobytes()).decode("ascii") for grid in grids]
        raw_rows, calibrated_rows = _finite_rows(raw), _finite_rows(calibrated)
        seq, drops = batch.seq.tolist(), np.asarray(dropped).tolist()
        reconnects = batch.reconnects.tolist() if len(batch.reconnects) == rows else [0] * rows
        for i in range(rows):
            shown_row = raw_rows[i] if self.raw else calibrated_rows[i]
            time = stamp(unix_ns[i])
            sample = {
                "timestamp": time,
                "seq": seq[i],
                "dropped": drops[i],
                "reconnects": reconnects[i],
                "raw": raw_rows[i],
                "calibrated": calibrated_rows[i],
                "values": dict(zip(names, shown_row)),
            }
            image = {
                "timestamp": time,
                "frame_id": self.frame_id,
                "width": width,
                "height": height,
                "encoding": "32FC1",
                "step": width * 4,
                "data": images[i],
            }
            yield [(self.topic, _json(sample)), (self.map_topic, _json(image))]

    def grids(self, values: Any) -> Any:
        """The maps of rows of values (rows x values) at once: rows x height x
        width 32-bit floats, each what `image_message` draws for its row."""
        rows, count = values.shape
        if self.raw:
            height, columns = grid_values(self.layout, [0.0] * count, True)[0].shape
            flat = np.full((rows, height * columns), np.nan, dtype="<f4")
            flat[:, :count] = values
            return flat.reshape(rows, height, columns)
        plan = self.layout.grid_plan()
        flat = np.full((rows, plan.rows * plan.columns), np.nan, dtype="<f4")
        present = plan.z_outputs < count
        flat[:, plan.z_cells[present]] = values[:, plan.z_outputs[present]]
        return flat.reshape(rows, plan.rows, plan.columns)


def _finite_rows(array: Any) -> list[list[Optional[float]]]:
    """Each row's values as a list; not-a-number (and infinities) as None."""
    rows = array.tolist()
    if array.size == 0:
        return rows
    for i in np.flatnonzero(~np.isfinite(array).all(axis=1)).tolist():
        rows[i] = [v if math.isfinite(v) else None for v in rows[i]]
    return rows


def _json(message: dict[str, Any]) -> bytes:
    return json.dumps(message, separators=(",", ":"), allow_nan=False).encode()


def parse_address(text: str) -> tuple[str, int]:
    """HOST:PORT, :PORT, HOST or [IPv6]:PORT; the defaults where a part is left out."""
    host, port = text, ""
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
    elif text.count(":") == 1:
        host, port = text.split(":")
    try:
        number = int(port) if port else DEFAULT_PORT
    except ValueError:
        raise ValueError(f"not a port: {port!r} (give HOST:PORT, e.g. 127.0.0.1:8765)") from None
    if not 0 <= number <= 65535:
        raise ValueError(f"port {number} is outside 0 to 65535")
    return host or DEFAULT_HOST, number


class LiveView:
    """A Foxglove WebSocket server (foxglove-sdk) on host:port that serves
    the sensor's topics; `log(sample, unix_ns)` sends one sample to every
    subscriber (and costs next to nothing while there is none). Port 0 takes
    a free port: `port` says which. `log_batch(batch, unix_ns)` sends a
    Batch's rows. A context manager; `close()` stops it."""

    def __init__(self, messages: FoxgloveMessages, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, name: str = ""):
        try:
            import foxglove
        except ImportError:
            raise ImportError(
                "the live Foxglove view needs foxglove-sdk: pip install 'feltwise-comm[foxglove]'"
            ) from None
        self.messages = messages
        self._context = foxglove.Context()
        self._channels = {
            topic: foxglove.Channel(
                topic,
                schema=foxglove.Schema(name=schema_name, encoding="jsonschema", data=json.dumps(schema).encode()),
                message_encoding="json",
                context=self._context,
            )
            for topic, schema_name, schema in messages.channels()
        }
        self._server = foxglove.start_server(name=name or "feltwise", host=host, port=port, context=self._context)
        self.host, self.port = host, self._server.port

    def log(self, sample: Any, unix_ns: int) -> None:
        if not any(channel.has_sinks() for channel in self._channels.values()):
            return
        for topic, data in self.messages.encode(sample, unix_ns):
            self._channels[topic].log(data, log_time=unix_ns)

    def log_batch(self, batch: Any, unix_ns: list[int]) -> None:
        """`log` for each row of a feltwise Batch (`unix_ns`: the rows' stamps in Unix ns)."""
        if not len(batch) or not any(channel.has_sinks() for channel in self._channels.values()):
            return
        from .writers import row_dropped

        for stamp_ns, encoded in zip(unix_ns, self.messages.encode_batch(batch, unix_ns, row_dropped(batch))):
            for topic, data in encoded:
                self._channels[topic].log(data, log_time=stamp_ns)

    def close(self) -> None:
        for channel in self._channels.values():
            channel.close()
        self._server.stop()

    def __enter__(self) -> LiveView:
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()
