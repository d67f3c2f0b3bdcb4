"""feltwise._native's view of the library's tables and parameter loader."""

import json
import pathlib

import msgpack
import pytest

import feltwise._native as native
from feltwise.errors import ParameterFileError, SensorError

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "params"


def test_protocols_list_the_table_in_version_order():
    assert native.protocols() == [
        (0, "ProtocolString", True, False),
        (1, "ProtocolBinary", False, False),
        (2, "ProtocolBinaryEncrypt", False, False),
        (3, "ProtocolStringConfigurable", True, True),
        (4, "ProtocolBinaryConfigurable", False, True),
    ]


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
    for got, want in zip(records, expected):
        for key, value in want.items():
            assert got[key] == value, key


@pytest.mark.parametrize(
    "data, reason",
    [
        (None, "Cannot find sensor parameter file"),
        (msgpack.packb({"not": "an array"}), "Invalid sensor parameter data format (1)"),
        (msgpack.packb([1, [{"SensorParameters": {"sensor_type": 9}}]]), "Invalid sensor parameter data format (4) "),
        (msgpack.packb([1, [{"SensorParameters": {"sensor_type": 1}, "coefs": "text"}]]), "bad cast"),
    ],
)
def test_read_parameters_raises_the_loaders_message(tmp_path, data, reason):
    path = tmp_path / "params.msgpack"
    if data is not None:
        path.write_bytes(data)
    with pytest.raises(ParameterFileError) as caught:
        native.read_parameters(str(path))
    assert isinstance(caught.value, SensorError)
    assert caught.value.reason == reason
    assert caught.value.path == str(path)
