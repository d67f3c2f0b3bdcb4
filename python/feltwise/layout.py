"""Where a sensor's units sit: the raw channels it sends and a grid for showing them.

A `Layout` comes from a parameter file's records, whichever reader gave
them: the library's own (`paramfile.ParameterFile`, what the tools read a
local file with) or the msgpack reader (`paramfile.read_msgpack`, for the
simulator and for a file that came over Zenoh). A record is a map with its
"SensorParameters" (sensor_type, input_map raw channel -> input slot,
output_map slot -> calibrated output) and the fields of its model.
"""

from __future__ import annotations

import math
from collections.abc import Collection, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from .errors import ParameterFileError
from .protocols import listed

# A unit reads up to this many raw channels, one per input slot.
INPUT_SLOTS = 4


@dataclass
class Taxel:
    """One single-channel unit: raw channel in, one calibrated output out."""

    channel: int
    output: Optional[int]
    rest: float
    sensor_type: Optional[int] = None  # None: a bare channel, no record


@dataclass
class Triaxial:
    """A unit of several axes (the triaxial one: four raw channels in, three
    calibrated outputs), shown as one cell with an arrow for its shear:
    channels[slot] is the raw channel of input slot 0..3; outputs maps axis
    0, 1, 2 (x, y, z) to calibrated outputs."""

    channels: list[Optional[int]]
    outputs: dict[int, int]
    rest: list[float]
    dead_band: list[float]


Cell = Union[Taxel, Triaxial]


@dataclass
class Layout:
    """Where a sensor's units sit: which raw channels it sends and how its
    units are arranged on a grid for display (in order of their outputs)."""

    version: int
    channel_count: int
    output_count: int
    cells: list[Cell] = field(default_factory=list)

    @property
    def columns(self) -> int:
        return max(1, math.ceil(math.sqrt(len(self.cells))))

    @property
    def rows(self) -> int:
        return max(1, math.ceil(len(self.cells) / self.columns))

    def position(self, index: int) -> tuple[int, int]:
        """The (row, column) of the cell at `index`."""
        return divmod(index, self.columns)

    @property
    def taxels(self) -> list[Taxel]:
        return [cell for cell in self.cells if isinstance(cell, Taxel)]

    @property
    def triaxials(self) -> list[Triaxial]:
        return [cell for cell in self.cells if isinstance(cell, Triaxial)]


def bare_layout(version: int, channel_count: int = 16, rest: float = 1000.0) -> Layout:
    """A sensor known only by its protocol version: channel_count taxels, no outputs."""
    return Layout(version, channel_count, 0, [Taxel(c, None, rest) for c in range(channel_count)])


def _int_map(value: Any, what: str, source: str) -> dict[int, int]:
    if not isinstance(value, dict) or not value:
        reason = f"a record's {what} is not a non-empty map"
        raise ParameterFileError(reason, source, reason)
    try:
        return {int(k): int(v) for k, v in sorted(value.items())}
    except (TypeError, ValueError):
        reason = f"a record's {what} does not map integers to integers"
        raise ParameterFileError(reason, source, reason) from None


def _number(value: Any, default: float = 0.0) -> float:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else default


def _numbers(value: Any, length: int, default: float = 0.0) -> list[float]:
    values = [_number(v, default) for v in value] if isinstance(value, list) else []
    return (values + [default] * length)[:length]


def layout_from_records(
    version: int,
    records: Iterable[Any],
    source: str = "parameter file",
    known_types: Optional[Collection[int]] = None,
) -> Layout:
    """The layout of these records. A record with one calibrated output is a
    taxel, one with several a unit of several axes, whatever its sensor type;
    `known_types`, where given, are the sensor types a record may have (the
    library's table)."""
    cells: list[Cell] = []
    for record in records:
        base = record.get("SensorParameters") if isinstance(record, dict) else None
        if not isinstance(base, dict):
            raise ParameterFileError("a record has no SensorParameters map", source)
        sensor_type = base.get("sensor_type")
        if known_types is not None and sensor_type not in known_types:
            raise ParameterFileError(
                f"a record has sensor_type {sensor_type!r}, not {listed(sorted(known_types), 'or')}", source
            )
        inputs = _int_map(base.get("input_map"), "input_map", source)
        outputs = _int_map(base.get("output_map"), "output_map", source)
        if len(outputs) > 1:
            channels: list[Optional[int]] = [None] * INPUT_SLOTS
            for channel, slot in inputs.items():
                if 0 <= slot < INPUT_SLOTS:
                    channels[slot] = channel
            rest, dead_band = (_numbers(record.get(name), INPUT_SLOTS) for name in ("offset", "lower"))
            cells.append(Triaxial(channels, outputs, rest, dead_band))
        else:
            cells.append(
                Taxel(next(iter(inputs)), next(iter(outputs.values())), _number(record.get("offset")), sensor_type)
            )
    taxels = [c for c in cells if isinstance(c, Taxel)]
    triaxials = [c for c in cells if isinstance(c, Triaxial)]
    used_channels = [t.channel for t in taxels] + [ch for u in triaxials for ch in u.channels if ch is not None]
    used_outputs = [_first_output(t) for t in taxels] + [o for u in triaxials for o in u.outputs.values()]
    cells.sort(key=_first_output)
    return Layout(version, 1 + max(used_channels, default=-1), 1 + max(used_outputs, default=-1), cells)


def _first_output(cell: Cell) -> int:
    """A cell's calibrated output, the first of a unit of several axes (-1: a bare channel)."""
    if isinstance(cell, Taxel):
        return -1 if cell.output is None else cell.output
    return min(cell.outputs.values())


def grid_values(
    layout: Layout, sample: Sequence[float], raw: bool = False
) -> tuple[Any, list[tuple[int, int, float, float]], dict[tuple[int, int], str]]:
    """One sample's values on the layout's grid: (a rows x columns float
    array, NaN where no unit sits; shear arrows [(row, column, x, y)];
    labels {(row, column): text}). `raw` (or a layout without calibrated
    outputs) puts raw channel i at cell i of a near-square grid; otherwise a
    taxel shows its output and a unit of several axes its normal force (z)
    with an arrow for its shear (x, y)."""
    import numpy as np  # the tools' dependency; the layout itself needs none

    if raw or layout.output_count == 0:
        columns = max(1, math.ceil(math.sqrt(max(1, len(sample)))))
        rows = max(1, math.ceil(len(sample) / columns))
        grid = np.full((rows, columns), np.nan)
        labels = {}
        for index, value in enumerate(sample):
            grid[divmod(index, columns)] = value
            labels[divmod(index, columns)] = f"ch {index}"
        return grid, [], labels
    grid = np.full((layout.rows, layout.columns), np.nan)
    arrows, labels = [], {}

    def output(index: Optional[int]) -> float:
        return float(sample[index]) if index is not None and 0 <= index < len(sample) else float("nan")

    for index, cell in enumerate(layout.cells):
        position = layout.position(index)
        if isinstance(cell, Taxel):
            grid[position] = output(cell.output)
            labels[position] = f"out {cell.output}"
        else:
            x, y, z = (output(cell.outputs.get(axis)) for axis in range(3))
            grid[position] = z
            arrows.append((*position, 0.0 if math.isnan(x) else x, 0.0 if math.isnan(y) else y))
            labels[position] = f"out {min(cell.outputs.values())}-{max(cell.outputs.values())}"
    return grid, arrows, labels
