"""Sensor parameter files as the tools see them: msgpack in, readable JSON out.

A file is one msgpack array: [protocol version, group, group, ...], each group
a list of record maps. The library is the judge of whether a file is valid
(`feltwise params check` asks it); this module only reads the shape far enough
to lay the sensor out on a grid and to convert between msgpack and JSON.
"""

from __future__ import annotations

import json
import math
import os
import stat
from dataclasses import dataclass, field

import msgpack

from .errors import UserError

# The library reads parameter files up to this size, and only regular files:
# /dev/zero, a FIFO or a tty would otherwise fill the memory or never end.
MAX_FILE_SIZE = 64 << 20

TRIAXIAL_POLYFIT = 0
TAXEL_POLYFIT = 1
TAXEL_LOOKUP = 2
SENSOR_TYPE_NAMES = {
    TRIAXIAL_POLYFIT: "triaxial polynomial",
    TAXEL_POLYFIT: "taxel polynomial",
    TAXEL_LOOKUP: "lookup table",
}


def read_msgpack(path):
    """The file's first msgpack object, as the library reads it (trailing bytes ignored)."""
    return unpack(read_file(path), path)


def unpack(data, path):
    unpacker = msgpack.Unpacker(strict_map_key=False, raw=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    try:
        return next(unpacker)
    except StopIteration:
        raise UserError(f"{path}: empty or truncated msgpack data") from None
    except msgpack.StackError:
        raise UserError(f"{path}: not a parameter file (nested too deeply)") from None
    except (ValueError, msgpack.UnpackException) as error:
        raise UserError(f"{path}: not a msgpack file ({error})") from None
    except TypeError:
        # Python maps cannot take an array or a map as a key; no parameter file has one.
        raise UserError(f"{path}: not a parameter file (a map has an array or a map as a key)") from None


def read_parameter_file(path):
    """A parameter file's content: refuses msgpack that is not [protocol version, group, ...].

    Text begins with a byte that msgpack reads as a small number ('[' is
    91), so a JSON file given where msgpack belongs would otherwise show as
    one number."""
    content = read_msgpack(path)
    if not isinstance(content, list) or not content or isinstance(content[0], bool) or not isinstance(content[0], int):
        head = read_file(path)[:64].lstrip()
        hint = (
            " (it looks like JSON: `feltwise params build` turns JSON into msgpack)" if head[:1] in (b"[", b"{") else ""
        )
        raise UserError(f"{path} is not a parameter file: not a msgpack array [protocol version, group, ...]{hint}")
    return content


def read_file(path, limit=MAX_FILE_SIZE):
    """The bytes of a regular file of at most `limit` bytes, the library's rule
    for parameter files; anything else is a UserError naming the file."""
    try:
        # O_NONBLOCK: a FIFO opens without waiting for a writer, and is refused below.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0))
    except OSError as error:
        raise UserError(f"cannot read {path}: {error.strerror}") from None
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            kind = "Is a directory" if stat.S_ISDIR(status.st_mode) else "not a regular file"
            raise UserError(f"cannot read {path}: {kind}")
        if status.st_size > limit:
            raise UserError(f"cannot read {path}: larger than {limit >> 20} MiB")
        with open(fd, "rb", closefd=False) as file:
            data = file.read(limit + 1)  # a file may grow while it is read
    except OSError as error:
        raise UserError(f"cannot read {path}: {error.strerror}") from None
    finally:
        os.close(fd)
    if len(data) > limit:
        raise UserError(f"cannot read {path}: larger than {limit >> 20} MiB")
    return data


def _is_flat(value):
    values = value.values() if isinstance(value, dict) else value
    return all(not isinstance(v, (dict, list)) for v in values)


def readable_json(value, indent=0):
    """JSON with one line per field; lists of numbers and the small integer
    maps stay on one line, so a record fits on one screen. The same layout as
    the .json files beside the examples, so `params show` reproduces them."""
    if not isinstance(value, (dict, list)) or not value or _is_flat(value):
        return json.dumps(value, separators=(", ", ": "))
    inner = " " * (indent + 2)
    if isinstance(value, dict):
        items = [f"{inner}{json.dumps(str(k))}: {readable_json(v, indent + 2)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + " " * indent + "}"
    items = [inner + readable_json(v, indent + 2) for v in value]
    return "[\n" + ",\n".join(items) + "\n" + " " * indent + "]"


def to_json_text(content, source="file"):
    try:
        _refuse_binary(content, source)
        return readable_json(content) + "\n"
    except RecursionError:
        # The library refuses files nested deeper than 32 levels.
        raise UserError(f"{source} is nested too deeply to show") from None


def _refuse_binary(value, source):
    # JSON has no byte strings, extension types or keys other than text;
    # showing them as text would not build back.
    if isinstance(value, (bytes, bytearray)):
        raise UserError(f"{source} holds binary (bin) data, which JSON cannot show")
    if isinstance(value, msgpack.ExtType):
        raise UserError(f"{source} holds a msgpack extension value (type {value.code}), which JSON cannot show")
    if isinstance(value, msgpack.Timestamp):
        raise UserError(f"{source} holds a msgpack time stamp, which JSON cannot show")
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(key, bool) or not isinstance(key, (str, int, bytes, bytearray)):
                raise UserError(f"{source} has a map key {key!r:.40}, which JSON cannot show (only text and integers)")
            _refuse_binary(key, source)
            _refuse_binary(item, source)
    elif isinstance(value, list):
        for item in value:
            _refuse_binary(item, source)


def with_integer_keys(value):
    """JSON object keys are always strings; msgpack's integer map keys come back
    from their decimal spelling. String keys that are not integers stay strings."""
    if isinstance(value, dict):
        return {(_as_int(k) if isinstance(k, str) else k): with_integer_keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [with_integer_keys(v) for v in value]
    return value


def _as_int(key):
    text = key[1:] if key.startswith("-") else key
    return int(key) if text.isdigit() and text.isascii() else key


def read_json(path):
    try:
        return with_integer_keys(json.loads(read_file(path)))
    except (ValueError, UnicodeDecodeError) as error:
        raise UserError(f"{path}: not valid JSON ({error})") from None


def to_msgpack(content):
    return msgpack.packb(content, use_bin_type=True)


@dataclass
class Taxel:
    """One single-channel unit: raw channel in, one calibrated output out."""

    channel: int
    output: int | None
    rest: float
    sensor_type: int = TAXEL_POLYFIT


@dataclass
class Triaxial:
    """A four-channel unit: channels[slot] is the raw channel of input slot 0..3;
    outputs maps axis 0, 1, 2 (x, y, z) to calibrated outputs."""

    channels: list
    outputs: dict
    rest: list
    dead_band: list


@dataclass
class Layout:
    """Where a sensor's units sit: which raw channels it sends and how its
    units are arranged on a grid for display (in order of their outputs)."""

    version: int
    channel_count: int
    output_count: int
    cells: list = field(default_factory=list)

    @property
    def columns(self):
        return max(1, math.ceil(math.sqrt(len(self.cells))))

    @property
    def rows(self):
        return max(1, math.ceil(len(self.cells) / self.columns))

    def position(self, index):
        return divmod(index, self.columns)

    @property
    def taxels(self):
        return [cell for cell in self.cells if isinstance(cell, Taxel)]

    @property
    def triaxials(self):
        return [cell for cell in self.cells if isinstance(cell, Triaxial)]


def bare_layout(version, channel_count=16, rest=1000.0):
    """A sensor known only by its protocol version: channel_count taxels, no outputs."""
    return Layout(version, channel_count, 0, [Taxel(c, None, rest) for c in range(channel_count)])


def _int_map(value, what):
    if not isinstance(value, dict) or not value:
        raise UserError(f"a record's {what} is not a non-empty map")
    try:
        return {int(k): int(v) for k, v in sorted(value.items())}
    except (TypeError, ValueError):
        raise UserError(f"a record's {what} does not map integers to integers") from None


def _number(value, default=0.0):
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else default


def _numbers(value, length, default=0.0):
    values = [_number(v, default) for v in value] if isinstance(value, list) else []
    return (values + [default] * length)[:length]


def layout_from_content(content, source="parameter file"):
    if not isinstance(content, list) or not content or isinstance(content[0], bool) or not isinstance(content[0], int):
        raise UserError(f"{source} is not [protocol version, group, ...]")
    cells = []
    for group in content[1:]:
        if not isinstance(group, list):
            raise UserError(f"{source}: a group is not a list of records")
        for record in group:
            base = record.get("SensorParameters") if isinstance(record, dict) else None
            if not isinstance(base, dict):
                raise UserError(f"{source}: a record has no SensorParameters map")
            sensor_type = base.get("sensor_type")
            inputs = _int_map(base.get("input_map"), "input_map")
            outputs = _int_map(base.get("output_map"), "output_map")
            if sensor_type == TRIAXIAL_POLYFIT:
                channels = [None] * 4
                for channel, slot in inputs.items():
                    if 0 <= slot < 4:
                        channels[slot] = channel
                cells.append(
                    Triaxial(channels, outputs, _numbers(record.get("offset"), 4), _numbers(record.get("lower"), 4))
                )
            elif sensor_type in (TAXEL_POLYFIT, TAXEL_LOOKUP):
                cells.append(
                    Taxel(next(iter(inputs)), next(iter(outputs.values())), _number(record.get("offset")), sensor_type)
                )
            else:
                raise UserError(f"{source}: a record has sensor_type {sensor_type!r}, not 0, 1 or 2")
    channels = [c.channel for c in cells if isinstance(c, Taxel)]
    channels += [ch for c in cells if isinstance(c, Triaxial) for ch in c.channels if ch is not None]
    outputs = [c.output for c in cells if isinstance(c, Taxel)]
    outputs += [o for c in cells if isinstance(c, Triaxial) for o in c.outputs.values()]
    cells.sort(key=lambda c: c.output if isinstance(c, Taxel) else min(c.outputs.values()))
    return Layout(content[0], 1 + max(channels, default=-1), 1 + max(outputs, default=-1), cells)


# What each sensor type's model reads besides SensorParameters: fields
# that hold numbers or lists of numbers, as the example files have them.
REQUIRED_FIELDS = {
    TRIAXIAL_POLYFIT: ("lower", "upper", "offset", "coefs_x", "coefs_y", "coefs_z"),
    TAXEL_POLYFIT: ("lower", "upper", "offset", "coefs"),
    TAXEL_LOOKUP: ("lower", "upper", "offset", "lut"),
}
NON_EMPTY_LISTS = ("coefs", "coefs_x", "coefs_y", "coefs_z", "lut")


def _is_numbers(value):
    number = (int, float)
    if isinstance(value, bool):
        return False
    if isinstance(value, number):
        return True
    return isinstance(value, list) and all(isinstance(v, number) and not isinstance(v, bool) for v in value)


def missing_fields(content):
    """One line per record that lacks a field its model needs, or holds something
    that is not numbers there: [] for a file whose every record is complete."""
    problems = []
    if not isinstance(content, list):
        return problems
    for group_index, group in enumerate(content[1:], 1):
        if not isinstance(group, list):
            continue
        for record_index, record in enumerate(group):
            base = record.get("SensorParameters") if isinstance(record, dict) else None
            sensor_type = base.get("sensor_type") if isinstance(base, dict) else None
            if isinstance(sensor_type, bool) or not isinstance(sensor_type, int):
                continue  # the library names what is wrong with it
            where = f"group {group_index}, record {record_index}"
            for name in REQUIRED_FIELDS.get(sensor_type, ()):
                if name not in record:
                    problems.append(f"{where} ({SENSOR_TYPE_NAMES[sensor_type]}): no {name}")
                elif not _is_numbers(record[name]):
                    problems.append(f"{where} ({SENSOR_TYPE_NAMES[sensor_type]}): {name} is not numbers")
                elif name in NON_EMPTY_LISTS and (not isinstance(record[name], list) or not record[name]):
                    problems.append(f"{where} ({SENSOR_TYPE_NAMES[sensor_type]}): {name} is empty or not a list")
    return problems


def load_layout(path):
    return layout_from_content(read_msgpack(path), str(path))


def describe(content):
    """One line: protocol version and what the records are (UserError for
    content that is not laid out as a parameter file)."""
    layout = layout_from_content(content)
    counts = {}
    for group in content[1:]:
        for record in group:
            kind = SENSOR_TYPE_NAMES[record["SensorParameters"]["sensor_type"]]
            counts[kind] = counts.get(kind, 0) + 1
    kinds = ", ".join(f"{n} {kind}" for kind, n in counts.items()) or "no records"
    return (
        f"protocol {content[0]}; {sum(counts.values())} records ({kinds}); "
        f"{layout.channel_count} raw channels, {layout.output_count} calibrated outputs"
    )
