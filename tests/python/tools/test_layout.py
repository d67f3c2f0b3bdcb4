"""Where the units sit on the skin and what their values are in: --layout, --unit and the side file."""

import csv
import json

import numpy as np
import pytest

from feltwise.layout import LayoutError, grid_values, read_placement, with_placement
from feltwise.paramfile import load_layout
from toolrun import example, feltwise, no_traceback

# triaxial_pad_2x2: four units, outputs 0-2, 3-5, 6-8, 9-11 (x, y, z each).
TRIAXIAL_MAP = {
    "unit": "N",
    # outputs 3-5 take their axes from the parameter file
    "outputs": {
        "0": [1, 2, "x"],
        "1": [1, 2, "y"],
        "2": [1, 2, "z"],
        "11": [0, 0],
        "3": [0, 1],
        "4": [0, 1],
        "5": [0, 1],
    },
}


def write_json(path, content):
    path.write_text(json.dumps(content))
    return str(path)


@pytest.mark.parametrize(
    "name, given, shape, placed",
    [
        # rows x columns: the 16 taxels in the order of their outputs, row by row
        ("taxel_pad_4x4", "2x8", (2, 8), {(0, 7): 7, (1, 0): 8}),
        ("taxel_pad_4x4", {"rows": 8, "columns": 2, "unit": "kPa"}, (8, 2), {(0, 1): 1, (7, 1): 15}),
        # a map: output -> row, column (and axis)
        ("taxel_pad_4x4", {"outputs": {"3": [0, 0], "0": [2, 1]}}, (3, 2), {(0, 0): 3, (2, 1): 0}),
        ("triaxial_pad_2x2", TRIAXIAL_MAP, (2, 3), {(1, 2): 2, (0, 0): 11, (0, 1): 5}),
    ],
)
def test_a_layout_places_the_cells(tmp_path, name, given, shape, placed):
    layout = load_layout(example(name))
    given = given if isinstance(given, str) else write_json(tmp_path / "layout.json", given)
    placed_layout = with_placement(layout, read_placement(given), unit=None)
    values = np.arange(layout.output_count, dtype=float) + 100.0
    grid, arrows, labels = grid_values(placed_layout, values, False)
    assert grid.shape == shape
    for position, out in placed.items():
        assert grid[position] == 100.0 + out and str(out) in labels[position]
    assert np.isfinite(grid).sum() == len(placed_layout.output_places()) - 2 * len(arrows)
    if name == "triaxial_pad_2x2" and not isinstance(given, str):
        assert sorted(arrows) == [(0, 1, 103.0, 104.0), (1, 2, 100.0, 101.0)]
    # the layout's own description reads back as the same placement
    again = with_placement(layout, read_placement(write_json(tmp_path / "again.json", placed_layout.describe())))
    assert np.array_equal(grid_values(again, values, False)[0], grid, equal_nan=True)


def test_without_a_layout_the_grid_is_the_default_one():
    layout = load_layout(example("triaxial_pad_2x2"))
    grid, arrows, labels = grid_values(layout, np.arange(12.0), False)
    assert grid.tolist() == [[2.0, 5.0], [8.0, 11.0]]
    assert arrows[0] == (0, 0, 0.0, 1.0) and labels[(1, 1)] == "out 9-11"
    raw_grid = grid_values(with_placement(layout, read_placement("2x3")), np.arange(8.0), True)[0]
    assert raw_grid.shape == (3, 3) and raw_grid[2, 1] == 7.0  # raw channels fill the columns, rows grow


@pytest.mark.parametrize(
    "content, words",
    [
        ("{not json", "not JSON"),
        ([1, 2], "not a JSON object"),
        ({"rows": 2}, "give rows and columns, or outputs"),
        ({"rows": 0, "columns": 3}, "rows must be an integer from 1"),
        ({"rows": 2, "columns": 2, "colour": "red"}, "unknown key 'colour'"),
        ({"outputs": {"a": [0, 0]}}, "'a' is not an output number"),
        ({"outputs": {"0": [0]}}, "give [row, column] or [row, column, axis]"),
        ({"outputs": {"0": [0, -1]}}, "column must be an integer from 0"),
        ({"outputs": {"0": [0, 0, "w"]}}, "axis must be x, y or z"),
        ({"outputs": {"0": [0, 0], "1": [0, 0]}}, "outputs 0 and 1 both sit at row 0, column 0"),
        ({"rows": 1, "columns": 1, "outputs": {"0": [1, 0]}}, "outside 1x1"),
        ({"outputs": {"16": [0, 0]}}, "places output 16, but the sensor has outputs 0 to 15"),
        ({"rows": 3, "columns": 5}, "3x5 has 15 cells, the sensor 16 units"),
        ({"unit": 5, "rows": 4, "columns": 4}, "unit must be a text"),
    ],
)
def test_a_bad_layout_is_refused_with_the_reason(tmp_path, content, words):
    path = tmp_path / "bad.json"
    path.write_text(content if isinstance(content, str) else json.dumps(content))
    with pytest.raises(LayoutError, match="layout .*bad.json") as error:
        with_placement(load_layout(example("taxel_pad_4x4")), read_placement(str(path)))
    assert words in str(error.value)


def copy_params(tmp_path, name="taxel_pad_4x4"):
    params = tmp_path / "skin.msgpack"
    params.write_bytes(open(example(name), "rb").read())
    return params


@pytest.mark.parametrize("given", ["option", "side file"])
def test_record_carries_the_layout_and_unit(tmp_path, given):
    params = copy_params(tmp_path)
    layout = {"unit": "kPa", "rows": 2, "columns": 8}
    options = []
    if given == "option":
        options = ["--layout", write_json(tmp_path / "mine.json", layout)]
    else:
        write_json(tmp_path / "skin.layout.json", layout)
    outputs = {fmt: tmp_path / f"x.{fmt}" for fmt in ("csv", "npz", "mcap")}
    for path in outputs.values():
        done = feltwise("record", "--simulate", "--params", params, *options, "--count", "5", "-o", path)
        assert done.returncode == 0, done.stderr
    first = outputs["csv"].read_text().splitlines()[0]
    assert first.startswith("# feltwise ")
    note = json.loads(first[len("# feltwise ") :])
    assert note["unit"] == "kPa" and note["layout"]["rows"] == 2 and note["layout"]["outputs"]["9"] == [1, 1, "z"]
    rows = list(csv.DictReader(outputs["csv"].read_text().splitlines()[1:]))
    assert len(rows) == 5 and "cal_15" in rows[0]
    with np.load(outputs["npz"]) as npz:
        assert str(npz["unit"]) == "kPa" and json.loads(str(npz["layout"])) == note["layout"]
    from mcap.reader import make_reader

    with open(outputs["mcap"], "rb") as file:
        metadata = {m.name: m.metadata for m in make_reader(file).iter_metadata()}
    assert metadata["feltwise.layout"]["unit"] == "kPa"
    assert json.loads(metadata["feltwise.layout"]["layout"]) == note["layout"]


def test_a_csv_without_a_layout_keeps_its_header_first(tmp_path):
    done = feltwise(
        "record", "--simulate", "--params", example("taxel_pad_4x4"), "--count", "3", "-o", tmp_path / "x.csv"
    )
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "x.csv").read_text().startswith("unix_time,elapsed_s,seq,dropped,cal_0")


@pytest.mark.parametrize(
    "options, words",
    [
        (["--layout", "3x3"], "layout 3x3: 3x3 has 9 cells, the sensor 16 units"),
        (["--layout", "missing.json"], "layout missing.json: No such file or directory"),
        (["side"], "layout {side}: not JSON"),
    ],
)
def test_a_bad_layout_ends_the_command_in_one_line(tmp_path, options, words):
    params = copy_params(tmp_path)
    side = tmp_path / "skin.layout.json"
    if options == ["side"]:
        side.write_text("rows: 2")
        options = []
    done = feltwise("view", "--simulate", "--params", params, *options, "--snapshot", tmp_path / "x.png", cwd=tmp_path)
    assert done.returncode != 0 and no_traceback(done)
    assert words.format(side=side) in done.stderr and len(done.stderr.strip().splitlines()) == 1


def test_view_labels_its_colour_bar_with_the_unit(tmp_path, monkeypatch):
    import matplotlib

    matplotlib.use("Agg")
    from feltwise.cli.commands.view import Heatmap

    class Source:
        layout = with_placement(load_layout(example("triaxial_pad_2x2")), read_placement("1x4"), unit="mN")
        describe, version = "test", 1

    heatmap = Heatmap(Source(), raw=False)
    heatmap.draw(list(np.arange(12.0)))
    assert heatmap.colorbar.ax.get_ylabel() == "calibrated value (mN)"
    assert heatmap.image.get_array().shape == (1, 4)


@pytest.mark.parametrize(
    "given, lines",
    [
        (None, [" 11.00/  14.00/", " 17.00/  20.00/"]),  # the default grid, as stream has always drawn it
        ("1x4", [" 11.00/  14.00/  17.00/  20.00/"]),
        ("examples/layouts/triaxial_row.json", [" 20.00/  17.00/  14.00/  11.00/"]),
    ],
)
def test_stream_draws_its_grid_by_the_layout(given, lines):
    from feltwise.cli.commands.stream import ASCII_ARROWS, grid_lines
    from toolrun import REPO

    layout = load_layout(example("triaxial_pad_2x2"))
    if given is not None:
        layout = with_placement(layout, read_placement(str(REPO / given) if given.endswith(".json") else given))
    assert grid_lines(layout, list(np.arange(12.0) + 9.0), False, ASCII_ARROWS) == lines
