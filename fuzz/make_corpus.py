#!/usr/bin/env python3
"""Writes the seed corpus of the decode_parameters fuzzer into corpus/parameters/.

The seeds are the example parameter files and small files shaped to reach the
loader's refusals and the models' edges: headers promising more than the file
holds, deep nesting, bin keys, repeated keys, float 32, integers at the 32-bit
bounds, unknown sensor types, and records that load but that a model refuses.
"""

import pathlib
import shutil
import struct

import msgpack

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus" / "parameters"
EXAMPLES = ROOT / "examples" / "params"


def base(sensor_type, input_map, output_map):
    return {"SensorParameters": {"sensor_type": sensor_type, "input_map": input_map, "output_map": output_map}}


def taxel(channel=0, output=0, **fields):
    record = base(1, {channel: 0}, {0: output})
    record.update(lower=20.0, upper=4000.0, offset=800.0, coefs=[0.0, 0.01, 1e-6])
    record.update(fields)
    return record


def lookup(channel=0, output=0, **fields):
    record = base(2, {channel: 0}, {0: output})
    record.update(lower=0.0, upper=3000.0, offset=900.0, lut=[0.0, 1.0, 4.0])
    record.update(fields)
    return record


def triaxial(first=0, out=0, **fields):
    record = base(0, {first + s: s for s in range(4)}, {a: out + a for a in range(3)})
    record.update(lower=[8.0] * 4, upper=[6e4] * 4, offset=[1000.0] * 4, coefs_x=[0.0, 0.002],
                  coefs_y=[0.0, 0.002], coefs_z=[0.0, 0.001])
    record.update(fields)
    return record


def packed(value):
    return msgpack.packb(value, use_bin_type=True)


def seeds():
    yield "version_only", packed([2])
    yield "empty_group", packed([2, []])
    yield "one_of_each", packed([1, [taxel(0, 0), lookup(1, 1), triaxial(2, 2)]])
    yield "taxel_edges", packed([1, [taxel(0, 0, lower=0.0, coefs=[]), taxel(99, 1), taxel(0, -1),
                                     taxel(0, 2147483647), taxel(-5, 0)]])
    yield "lookup_edges", packed([1, [lookup(lower=0.0, upper=5e-324), lookup(lut=[1.0]),
                                      lookup(lower=10.0, upper=10.0), lookup(upper=2e100),
                                      lookup(lower=0.0, upper=1.1, lut=[float(i) for i in range(34)])]])
    yield "triaxial_edges", packed([1, [triaxial(60), triaxial(0, offset=[1.0]), triaxial(0, coefs_z=[])]])
    yield "unknown_types", packed([1, [base(3, {}, {}), base(-1, {}, {}), base(2147483647, {}, {})]])
    yield "not_an_array", packed({"version": 1})
    yield "empty_array", packed([])
    yield "group_not_array", packed([1, taxel()])
    yield "record_not_map", packed([1, [[1, 2]]])
    yield "text", b"protocol = 1\n"
    # Keys as bin, and repeated keys.
    yield "bin_keys", b"\x92\x01\x91\x81\xc4\x10SensorParameters\x81\xc4\x0bsensor_type\x01"
    yield "repeated_keys", (b"\x92\x01\x91\x83\xb0SensorParameters\x81\xabsensor_type\x01"
                            b"\xa5lower\x05\xa5lower\x07")
    yield "float32_offset", (b"\x92\x01\x91\x82\xb0SensorParameters\x81\xabsensor_type\x01"
                             b"\xa6offset\xca" + struct.pack(">f", 812.5))
    yield "int32_bounds", packed([-2147483648, [base(1, {2147483647: 0, -2147483648: 1}, {0: 0})]])
    yield "beyond_int32", packed([2147483648])
    # Headers that promise more than follows.
    yield "huge_array", b"\xdd\xff\xff\xff\xff"
    yield "huge_map", b"\xdf\xff\xff\xff\xff"
    yield "huge_str", b"\x92\x01\xdb\xff\xff\xff\xff"
    yield "huge_group", b"\x92\x01\xdd\xff\xff\xff\xff\x80"
    yield "nested_huge_arrays", b"\xdd\xff\xff\xff\xff" * 40
    yield "reserved_byte", b"\x92\x01\xc1"
    yield "nested_deep", b"\x91" * 100 + b"\x01"
    yield "nested_maps", b"\x81\x00" * 40 + b"\x00"
    yield "trailing_bytes", packed([1]) + b"\xc1\xdd\xff"
    yield "truncated_example", (EXAMPLES / "mixed_pad.msgpack").read_bytes()[:500]


def main():
    if CORPUS.exists():
        shutil.rmtree(CORPUS)
    CORPUS.mkdir(parents=True)
    for example in sorted(EXAMPLES.glob("*.msgpack")):
        shutil.copy(example, CORPUS / f"example_{example.stem}")
    for name, data in seeds():
        (CORPUS / name).write_bytes(data)
    print(f"wrote {len(list(CORPUS.iterdir()))} seeds to {CORPUS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
