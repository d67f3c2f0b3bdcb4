"""Where a sensor's units sit: the raw channels it sends and a grid for showing them.

A `Layout` comes from a parameter file's records, whichever reader gave
them: the library's own (`paramfile.ParameterFile`, what the tools read a
local file with) or the msgpack reader (`paramfile.read_msgpack`, for the
simulator and for a file that came over Zenoh). A record is a map with its
"SensorParameters" (sensor_type, input_map raw channel -> input slot,
output_map slot -> calibrated output) and the fields of its model.

By default the units sit on a near-square grid in the order of their
outputs. A `Placement` (`read_placement`: "ROWSxCOLUMNS", or a JSON file)
puts them where they sit on the skin instead, and a layout carries the unit
its calibrated values are in (`with_placement`). The JSON form:

    {"unit": "N", "rows": 2, "columns": 3,
     "outputs": {"0": [0, 0], "1": [0, 2], "4": [1, 1, "x"], "5": [1, 1, "y"], "6": [1, 1, "z"]}}

maps each calibrated output to its row, column and axis: z (the default for
a taxel) colours the cell, x and y are a unit's shear (an arrow). A unit of
several axes takes its outputs' axes from the parameter file where the map
names none. rows and columns default to what the map needs; without
"outputs" the units fill a rows x columns grid in the order of their outputs.
Outputs the map leaves out are not shown.
"""

from __future__ import annotations

import json
import math
import os
import re
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

AXES = ("x", "y", "z")


class LayoutError(ValueError):
    """A layout (rows x columns, or a layout file) that cannot be used; the
    message names it and says why."""


@dataclass(frozen=True)
class Placement:
    """Where the units sit: a rows x columns grid and, where `outputs` is
    given, each calibrated output's (row, column, axis or None); without it,
    the units fill the grid in the order of their outputs, row by row."""

    rows: int
    columns: int
    outputs: Optional[dict[int, tuple[int, int, Optional[str]]]] = None
    unit: str = ""
    source: str = ""


@dataclass
class Layout:
    """Where a sensor's units sit: which raw channels it sends and how its
    units are arranged on a grid for display (in order of their outputs)."""

    version: int
    channel_count: int
    output_count: int
    cells: list[Cell] = field(default_factory=list)
    placement: Optional[Placement] = None
    unit: str = ""  # what the calibrated values are in ("": not said)
    # What grid_values needs of the layout, worked out once (_GridPlan).
    _plan: Any = field(default=None, init=False, repr=False, compare=False)

    @property
    def columns(self) -> int:
        if self.placement is not None:
            return self.placement.columns
        return max(1, math.ceil(math.sqrt(len(self.cells))))

    @property
    def rows(self) -> int:
        if self.placement is not None:
            return self.placement.rows
        return max(1, math.ceil(len(self.cells) / self.columns))

    def position(self, index: int) -> tuple[int, int]:
        """The (row, column) of the cell at `index` in the grid's own order
        (where a placement's map puts each output instead: `output_places`)."""
        return divmod(index, self.columns)

    def output_places(self) -> dict[int, tuple[int, int, str]]:
        """Every shown calibrated output's (row, column, axis)."""
        mapped = self.placement.outputs if self.placement is not None else None
        axes = self._axes()
        if mapped is not None:
            return {out: (row, column, axis or axes.get(out, "z")) for out, (row, column, axis) in mapped.items()}
        places = {}
        for index, cell in enumerate(self.cells):
            row, column = self.position(index)
            for out in _outputs_of(cell):
                places[out] = (row, column, axes.get(out, "z"))
        return places

    def grid_plan(self) -> _GridPlan:
        key = (len(self.cells), self.output_count, self.placement)
        if self._plan is None or self._plan.key != key:
            self._plan = _GridPlan(key, self.rows, self.columns, self.output_places())
        return self._plan

    def _axes(self) -> dict[int, str]:
        return {out: AXES[axis] for cell in self.triaxials for axis, out in cell.outputs.items() if 0 <= axis < 3}

    def describe(self) -> dict[str, Any]:
        """The layout in the layout file's own form (a recording carries it;
        `--layout` reads it back)."""
        return {
            "unit": self.unit,
            "rows": self.rows,
            "columns": self.columns,
            "outputs": {str(out): list(place) for out, place in sorted(self.output_places().items())},
        }

    @property
    def taxels(self) -> list[Taxel]:
        return [cell for cell in self.cells if isinstance(cell, Taxel)]

    @property
    def triaxials(self) -> list[Triaxial]:
        return [cell for cell in self.cells if isinstance(cell, Triaxial)]


class _GridPlan:
    """Where grid_values puts each output: flat cell indices of the z
    outputs, the shear outputs of each cell with an arrow, the labels."""

    def __init__(self, key: Any, rows: int, columns: int, places: dict[int, tuple[int, int, str]]):
        import numpy as np

        self.key, self.rows, self.columns = key, rows, columns
        z = sorted((out, row * columns + column) for out, (row, column, axis) in places.items() if axis == "z")
        self.z_outputs = np.array([out for out, _ in z], dtype=np.intp)
        self.z_cells = np.array([cell for _, cell in z], dtype=np.intp)
        shear: dict[tuple[int, int], list[Optional[int]]] = {}
        outputs: dict[tuple[int, int], list[int]] = {}
        for out, (row, column, axis) in sorted(places.items()):
            outputs.setdefault((row, column), []).append(out)
            if axis != "z":
                shear.setdefault((row, column), [None, None])[axis == "y"] = out
        self.shear = [(row, column, x, y) for (row, column), (x, y) in shear.items()]
        self.labels = {
            position: f"out {min(outs)}" if len(outs) == 1 else f"out {min(outs)}-{max(outs)}"
            for position, outs in outputs.items()
        }


def bare_layout(version: int, channel_count: int = 16, rest: float = 1000.0) -> Layout:
    """A sensor known only by its protocol version: channel_count taxels, no outputs."""
    return Layout(version, channel_count, 0, [Taxel(c, None, rest) for c in range(channel_count)])


def _outputs_of(cell: Cell) -> list[int]:
    if isinstance(cell, Taxel):
        return [] if cell.output is None else [cell.output]
    return sorted(cell.outputs.values())


_GRID = re.compile(r"^\s*(\d+)\s*[xX]\s*(\d+)\s*$")
# Far beyond any skin; keeps a typo from asking for a grid of a billion cells.
MAX_SIDE = 4096


def _side(value: Any, what: str, source: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_SIDE:
        raise LayoutError(f"layout {source}: {what} must be an integer from 1 to {MAX_SIDE}, not {value!r}")
    return value


def read_placement(given: str) -> Placement:
    """A placement from "ROWSxCOLUMNS" or a layout file (JSON, see above)."""
    grid = _GRID.match(given)
    if grid and not os.path.exists(given):
        rows, columns = (_side(int(n), what, given) for n, what in zip(grid.groups(), ("rows", "columns")))
        return Placement(rows, columns, source=given)
    try:
        with open(given, "rb") as file:
            data = file.read(1 << 20)
    except OSError as error:
        raise LayoutError(f"layout {given}: {error.strerror or error} (give ROWSxCOLUMNS or a JSON file)") from None
    try:
        content = json.loads(data)
    except (ValueError, UnicodeDecodeError) as error:
        raise LayoutError(f"layout {given}: not JSON ({error})") from None
    return placement_from_json(content, given)


def placement_from_json(content: Any, source: str) -> Placement:
    if not isinstance(content, dict):
        raise LayoutError(f"layout {source}: not a JSON object")
    unknown = sorted(set(content) - {"unit", "rows", "columns", "outputs"})
    if unknown:
        raise LayoutError(f"layout {source}: unknown key {unknown[0]!r} (keys: unit, rows, columns, outputs)")
    unit = content.get("unit", "")
    if not isinstance(unit, str):
        raise LayoutError(f"layout {source}: unit must be a text, not {unit!r}")
    outputs = None
    if "outputs" in content:
        outputs = _output_map(content["outputs"], source)
    rows, columns = content.get("rows"), content.get("columns")
    if outputs is None and (rows is None or columns is None):
        raise LayoutError(f"layout {source}: give rows and columns, or outputs")
    places = list((outputs or {}).values())  # given where a side is not
    rows = _side(rows, "rows", source) if rows is not None else 1 + max(r for r, _, _ in places)
    columns = _side(columns, "columns", source) if columns is not None else 1 + max(c for _, c, _ in places)
    for out, (row, column, _) in (outputs or {}).items():
        if row >= rows or column >= columns:
            raise LayoutError(
                f"layout {source}: output {out} at row {row}, column {column} is outside {rows}x{columns}"
            )
    return Placement(rows, columns, outputs, unit, source)


def _index(value: Any, what: str, out: int, source: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < MAX_SIDE:
        raise LayoutError(
            f"layout {source}: output {out}: {what} must be an integer from 0 to {MAX_SIDE - 1}, not {value!r}"
        )
    return value


def _output_map(value: Any, source: str) -> dict[int, tuple[int, int, Optional[str]]]:
    if not isinstance(value, dict) or not value:
        raise LayoutError(f"layout {source}: outputs must be a non-empty map of output -> [row, column(, axis)]")
    places: dict[int, tuple[int, int, Optional[str]]] = {}
    for key, place in value.items():
        try:
            out = int(key)
        except ValueError:
            out = -1
        if out < 0:
            raise LayoutError(f"layout {source}: {key!r} is not an output number")
        if isinstance(place, dict):
            place = [place.get("row"), place.get("column")] + ([place["axis"]] if "axis" in place else [])
        if not isinstance(place, list) or len(place) not in (2, 3):
            raise LayoutError(f"layout {source}: output {out}: give [row, column] or [row, column, axis]")
        row, column = (_index(n, what, out, source) for n, what in zip(place, ("row", "column")))
        axis = place[2] if len(place) == 3 else None
        if axis is not None and axis not in AXES:
            raise LayoutError(f"layout {source}: output {out}: axis must be x, y or z, not {axis!r}")
        places[out] = (row, column, axis)
    return places


def with_placement(layout: Layout, placement: Optional[Placement], unit: Optional[str] = None) -> Layout:
    """The layout with its units placed (None: the default grid) and its
    unit (`unit`, else the placement's). Refuses a placement that does not
    fit: too few cells, or outputs the sensor does not have."""
    from dataclasses import replace

    if placement is not None:
        where = f"layout {placement.source}"
        if placement.outputs is not None:
            beyond = [out for out in placement.outputs if out >= layout.output_count]
            if beyond:
                have = (
                    f"has outputs 0 to {layout.output_count - 1}"
                    if layout.output_count
                    else "has no calibrated outputs (no parameter file)"
                )
                raise LayoutError(f"{where} places output {min(beyond)}, but the sensor {have}")
        elif layout.output_count and placement.rows * placement.columns < len(layout.cells):
            raise LayoutError(
                f"{where}: {placement.rows}x{placement.columns} has {placement.rows * placement.columns} cells, "
                f"the sensor {len(layout.cells)} units"
            )
    chosen = unit if unit is not None else (placement.unit if placement is not None else layout.unit)
    placed = replace(layout, placement=placement, unit=chosen)
    if placement is not None and placement.outputs is not None:
        # Outputs that name no axis take their unit's (z for a taxel): two may meet only here.
        taken: dict[tuple[int, int, str], int] = {}
        for out, spot in sorted(placed.output_places().items()):
            if spot in taken:
                raise LayoutError(
                    f"layout {placement.source}: outputs {taken[spot]} and {out} both sit at "
                    f"row {spot[0]}, column {spot[1]}, axis {spot[2]}"
                )
            taken[spot] = out
    return placed


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
        placement = layout.placement
        if placement is not None and placement.outputs is None:
            columns = placement.columns  # rows grow with a sensor that sends more channels than the grid holds
            rows = max(placement.rows, math.ceil(len(sample) / columns))
        else:
            columns = max(1, math.ceil(math.sqrt(max(1, len(sample)))))
            rows = max(1, math.ceil(len(sample) / columns))
        grid = np.full((rows, columns), np.nan)
        labels = {}
        for index, value in enumerate(sample):
            grid[divmod(index, columns)] = value
            labels[divmod(index, columns)] = f"ch {index}"
        return grid, [], labels
    plan = layout.grid_plan()
    values = np.asarray(sample, dtype=float).ravel()
    cells = np.full(plan.rows * plan.columns, np.nan)
    present = plan.z_outputs < len(values)
    cells[plan.z_cells[present]] = values[plan.z_outputs[present]]

    def shear(index: Optional[int]) -> float:
        value = float(values[index]) if index is not None and index < len(values) else 0.0
        return 0.0 if math.isnan(value) else value

    arrows = [(row, column, shear(x), shear(y)) for row, column, x, y in plan.shear]
    return cells.reshape(plan.rows, plan.columns), arrows, dict(plan.labels)
