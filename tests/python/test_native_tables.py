"""feltwise._native's view of the library's tables and parameter loader."""

import json
import pathlib

import msgpack
import pytest

import feltwise._native as native
from feltwise.errors import ParameterFileError, SensorError

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "params"


def test_protocols_run_from_zero_with_one_class_each():
    rows = native.protocols()
    assert [row[0] for row in rows] == list(range(len(rows)))
    assert len({row[1] for row in rows}) == len(rows)
    for _, name, is_text, has_registers in rows:
        assert name.startswith("Protocol") and isinstance(is_text, bool) and isinstance(has_registers, bool)


KINDS = {"integer", "number", "numbers", "integer map"}


def test_sensor_types_run_from_zero_and_declare_their_fields():
    rows = native.sensor_types()
    assert [row[0] for row in rows] == list(range(len(rows)))
    assert len({row[1] for row in rows}) == len({row[2] for row in rows}) == len(rows)
    for _, model, description, fields in rows:
        assert model.endswith("Model") and description
        names = [field[0] for field in fields]
        assert names and len(set(names)) == len(names) and "SensorParameters" not in names
        for _, kind, required, non_empty in fields:
            assert kind in KINDS
            assert required or not non_empty  # a non-empty field is required
            assert kind == "numbers" or not non_empty


def _int_keys(value):
    if isinstance(value, dict):
        return {(int(k) if k.lstrip("-").isdigit() else k): _int_keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_int_keys(v) for v in value]
    return value


@pytest.mark.parametrize("name", sorted(p.stem for p in EXAMPLES.glob("*.msgpack")))
def test_read_parameters_gives_the_files_records_as_dicts(name):
    content = _int_keys(json.loads((EXAMPLES / f"{name}.json").read_text()))
    version, records = native.read_parameters(str(EXAMPLES / f"{name}.msgpack"))
    assert version == content[0]
    expected = [record for group in content[1:] for record in group]
    assert len(records) == len(expected)
    fields = {row[0]: [field[0] for field in row[3]] for row in native.sensor_types()}
    for got, want in zip(records, expected):
        for key, value in want.items():
            assert got[key] == value, key
        # A record lists the fields its type declares, in the declared order.
        assert list(got) == ["SensorParameters", *fields[got["SensorParameters"]["sensor_type"]]]


TAXEL = {"SensorParameters": {"sensor_type": 1, "input_map": {0: 0}, "output_map": {0: 0}}, "coefs": [0.0, 1.0]}


@pytest.mark.parametrize(
    "data, reason, record, field",
    [
        (None, "Cannot find sensor parameter file", None, None),
        (msgpack.packb({"not": "an array"}), "Invalid sensor parameter data format (1)", None, None),
        (
            msgpack.packb([1, [{"SensorParameters": {"sensor_type": 9}}]]),
            "Invalid sensor parameter data format (4) ",
            0,
            None,
        ),  # noqa: E501
        (msgpack.packb([1, [{"SensorParameters": {"sensor_type": 1}, "coefs": "text"}]]), "bad cast", 0, "coefs"),
        (msgpack.packb([1, [TAXEL], [TAXEL, dict(TAXEL, offset=[1])]]), "bad cast", 2, "offset"),
        (msgpack.packb([9, [TAXEL]]), "Invalid protocol version in sensor parameters", None, None),
    ],
)
def test_read_parameters_raises_the_loaders_message(tmp_path, data, reason, record, field):
    path = tmp_path / "params.msgpack"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(ParameterFileError) as caught:
        native.read_parameters(str(path))
    assert isinstance(caught.value, SensorError)
    assert caught.value.reason == reason
    assert caught.value.path == str(path)
    assert (caught.value.record, caught.value.field) == (record, field)
