#!/usr/bin/env python3
"""Writes the example sensor parameter files, or checks them (--check).

Each example is written twice into examples/params/: NAME.msgpack, the file
the library loads, and NAME.json, the same content for people to read (JSON
object keys are strings, so the integer keys of input_map and output_map
appear quoted there). --check regenerates both in memory, compares them with
the files in the repository, and checks that each .msgpack decodes to its
.json, so neither can drift from this script or from the other.

A file is [protocol version, group, group, ...]; a group is a list of record
maps; the library takes the records of all groups in order.
"""

import json
import pathlib
import sys

import msgpack

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "params"

TAXEL_POLYFIT = 1
TRIAXIAL_POLYFIT = 0
TAXEL_LOOKUP = 2


def base(sensor_type, input_map, output_map):
    return {"SensorParameters": {"sensor_type": sensor_type, "input_map": input_map, "output_map": output_map}}


def taxel_polyfit(channel, output, offset, gain):
    """A piezoresistive taxel: force in newtons from counts above its rest value."""
    record = base(TAXEL_POLYFIT, {channel: 0}, {0: output})
    record.update(lower=20.0, upper=4000.0, offset=offset, coefs=[0.0, gain, 1.7e-06, -2.9e-10])
    return record


def triaxial_polyfit(first_channel, first_output, offsets):
    """A four-element unit: shear x and y from the element differences, normal z from their sum."""
    record = base(
        TRIAXIAL_POLYFIT,
        {first_channel + slot: slot for slot in range(4)},
        {axis: first_output + axis for axis in range(3)},
    )
    record.update(
        lower=[8.0, 8.0, 8.0, 8.0],
        upper=[60000.0, 60000.0, 60000.0, 60000.0],
        offset=offsets,
        coefs_x=[0.0, 0.0021],
        coefs_y=[0.0, 0.0021],
        coefs_z=[0.0, 0.0009, 1.1e-08],
    )
    return record


# Force in newtons at 0, 300, ..., 3000 counts above rest.
LOOKUP_TABLE = [0.0, 0.05, 0.14, 0.3, 0.55, 0.9, 1.4, 2.05, 2.9, 4.0, 5.4]


def taxel_lookup(channel, output, offset):
    record = base(TAXEL_LOOKUP, {channel: 0}, {0: output})
    record.update(lower=0.0, upper=3000.0, offset=offset, lut=LOOKUP_TABLE)
    return record


def taxel_pad_4x4():
    """Protocol 1; one group per row of four taxels; raw channel i gives output i."""
    rows = []
    for row in range(4):
        rows.append(
            [
                taxel_polyfit(4 * row + col, 4 * row + col, 812.0 + 3.0 * (4 * row + col), 0.0123 + 0.0001 * col)
                for col in range(4)
            ]
        )
    return [1, *rows]


def triaxial_pad_2x2():
    """Protocol 4; unit u reads raw channels 4u..4u+3 and gives x, y, z at outputs 3u..3u+2."""
    units = [triaxial_polyfit(4 * u, 3 * u, [1010.0 + u, 1022.0 + u, 998.0 + u, 1005.0 + u]) for u in range(4)]
    return [4, units]


def lookup_pad_3x3():
    """Protocol 1; nine lookup-table taxels; raw channel i gives output i."""
    return [1, [taxel_lookup(i, i, 900.0 + 5.0 * i) for i in range(9)]]


def mixed_pad():
    """Protocol 3; four polynomial taxels, one triaxial unit, two lookup-table taxels."""
    return [
        3,
        [taxel_polyfit(i, i, 830.0 + i, 0.0125) for i in range(4)],
        [triaxial_polyfit(4, 4, [1012.0, 1019.0, 1003.0, 1008.0])],
        [taxel_lookup(8, 7, 905.0), taxel_lookup(9, 8, 915.0)],
    ]


FILES = {
    "taxel_pad_4x4": taxel_pad_4x4,
    "triaxial_pad_2x2": triaxial_pad_2x2,
    "lookup_pad_3x3": lookup_pad_3x3,
    "mixed_pad": mixed_pad,
}


def is_flat(value):
    values = value.values() if isinstance(value, dict) else value
    return all(not isinstance(v, (dict, list)) for v in values)


def readable(value, indent=0):
    """JSON with one line per field: lists of numbers and the small integer
    maps stay on one line, which keeps a record on one screen."""
    if not isinstance(value, (dict, list)) or not value or is_flat(value):
        return json.dumps(value, separators=(", ", ": "))
    inner = " " * (indent + 2)
    if isinstance(value, dict):
        items = [f"{inner}{json.dumps(str(k))}: {readable(v, indent + 2)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + " " * indent + "}"
    items = [inner + readable(v, indent + 2) for v in value]
    return "[\n" + ",\n".join(items) + "\n" + " " * indent + "]"


def as_json(content):
    return readable(content) + "\n"


def as_msgpack(content):
    return msgpack.packb(content, use_bin_type=True)


def with_integer_keys(value):
    """The JSON content as msgpack holds it: integer map keys back to integers."""
    if isinstance(value, dict):
        return {
            (int(k) if isinstance(k, str) and k.lstrip("-").isdigit() else k): with_integer_keys(v)
            for k, v in value.items()
        }
    if isinstance(value, list):
        return [with_integer_keys(v) for v in value]
    return value


def write():
    EXAMPLES.mkdir(parents=True, exist_ok=True)
    for name, make in FILES.items():
        content = make()
        (EXAMPLES / f"{name}.json").write_text(as_json(content))
        (EXAMPLES / f"{name}.msgpack").write_bytes(as_msgpack(content))
        print(f"wrote {name}.json and {name}.msgpack")


def check():
    problems = []
    for name, make in FILES.items():
        content = make()
        json_path = EXAMPLES / f"{name}.json"
        msgpack_path = EXAMPLES / f"{name}.msgpack"
        if not json_path.exists() or json_path.read_text() != as_json(content):
            problems.append(f"{json_path.name} differs from what this script writes")
        if not msgpack_path.exists() or msgpack_path.read_bytes() != as_msgpack(content):
            problems.append(f"{msgpack_path.name} differs from what this script writes")
        if json_path.exists() and msgpack_path.exists():
            decoded = msgpack.unpackb(msgpack_path.read_bytes(), strict_map_key=False)
            if decoded != with_integer_keys(json.loads(json_path.read_text())):
                problems.append(f"{msgpack_path.name} does not hold what {json_path.name} says")
    for problem in problems:
        print(f"examples/params: {problem} (run tools/make_example_params.py)", file=sys.stderr)
    if not problems:
        print(f"examples/params: {len(FILES)} examples match")
    return 1 if problems else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--check"]:
        sys.exit(check())
    if sys.argv[1:]:
        sys.exit("usage: make_example_params.py [--check]")
    write()
