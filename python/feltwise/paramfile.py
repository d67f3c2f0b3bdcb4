"""Sensor parameter files as the tools see them.

A file is one msgpack array: [protocol version, group, group, ...], each group
a list of record maps. The library is the judge of whether a file is valid:
`open_parameter_file` reads a local file with the library's own loader
(`feltwise._native.read_parameters`), which gives the records as the
library sees them, and says what is wrong with one it refuses. The msgpack
reader here (`read_msgpack`, `unpack`) serves what must work without the
library or on the file's own bytes: `params show` and `build` (msgpack to
readable JSON and back), `params check`'s look for fields a model needs
(the library fills a missing one with a default), the simulated sensor,
and a parameter file that came over Zenoh.

Every refusal is a `ParameterFileError` naming the file and the cause.
"""

from __future__ import annotations

import hashlib
import json
import os
import stat
from dataclasses import dataclass

import msgpack

from .errors import ParameterFileError
from .layout import Layout, layout_from_records

# The library reads parameter files up to this size, and only regular files:
# /dev/zero, a FIFO or a tty would otherwise fill the memory or never end.
MAX_FILE_SIZE = 64 << 20


def read_msgpack(path):
    """The file's first msgpack object, as the library reads it (trailing bytes ignored)."""
    return unpack(read_file(path), path)


def unpack(data, path):
    unpacker = msgpack.Unpacker(strict_map_key=False, raw=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    try:
        return next(unpacker)
    except StopIteration:
        raise ParameterFileError("empty or truncated msgpack data", path) from None
    except msgpack.StackError:
        raise ParameterFileError("not a parameter file (nested too deeply)", path) from None
    except (ValueError, msgpack.UnpackException) as error:
        raise ParameterFileError(f"not a msgpack file ({error})", path) from None
    except TypeError:
        # Python maps cannot take an array or a map as a key; no parameter file has one.
        raise ParameterFileError("not a parameter file (a map has an array or a map as a key)", path) from None


def read_parameter_file(path):
    """A parameter file's content: refuses msgpack that is not [protocol version, group, ...].

    Text begins with a byte that msgpack reads as a small number ('[' is
    91), so a JSON file given where msgpack belongs would otherwise show as
    one number."""
    data = read_file(path)
    content = unpack(data, path)
    if not _is_versioned(content):
        head = data[:64].lstrip()
        hint = (
            " (it looks like JSON: `feltwise params build` turns JSON into msgpack)" if head[:1] in (b"[", b"{") else ""
        )
        reason = f"not a msgpack array [protocol version, group, ...]{hint}"
        raise ParameterFileError(reason, path, f"{path} is not a parameter file: {reason}")
    return content


def _is_versioned(content):
    return isinstance(content, list) and bool(content) and type(content[0]) is int


def read_file(path, limit=MAX_FILE_SIZE):
    """The bytes of a regular file of at most `limit` bytes, the library's rule
    for parameter files; anything else is refused naming the file and why."""
    try:
        # O_NONBLOCK: a FIFO opens without waiting for a writer, and is refused below.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0))
    except OSError as error:
        raise _unreadable(path, error.strerror) from None
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            kind = "Is a directory" if stat.S_ISDIR(status.st_mode) else "not a regular file"
            raise _unreadable(path, kind)
        if status.st_size > limit:
            raise _unreadable(path, f"larger than {limit >> 20} MiB")
        with open(fd, "rb", closefd=False) as file:
            data = file.read(limit + 1)  # a file may grow while it is read
    except OSError as error:
        raise _unreadable(path, error.strerror) from None
    finally:
        os.close(fd)
    if len(data) > limit:
        raise _unreadable(path, f"larger than {limit >> 20} MiB")
    return data


def _unreadable(path, why):
    return ParameterFileError(why, str(path), f"cannot read {path}: {why}")


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
        raise _unshowable(source, "is nested too deeply to show") from None


def _unshowable(source, reason):
    return ParameterFileError(reason, source, f"{source} {reason}")


def _refuse_binary(value, source):
    # JSON has no byte strings, extension types or keys other than text;
    # showing them as text would not build back.
    if isinstance(value, (bytes, bytearray)):
        raise _unshowable(source, "holds binary (bin) data, which JSON cannot show")
    if isinstance(value, msgpack.ExtType):
        raise _unshowable(source, f"holds a msgpack extension value (type {value.code}), which JSON cannot show")
    if isinstance(value, msgpack.Timestamp):
        raise _unshowable(source, "holds a msgpack time stamp, which JSON cannot show")
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(key, bool) or not isinstance(key, (str, int, bytes, bytearray)):
                reason = f"has a map key {key!r:.40}, which JSON cannot show (only text and integers)"
                raise _unshowable(source, reason)
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
        raise ParameterFileError(f"not valid JSON ({error})", path) from None


def to_msgpack(content):
    return msgpack.packb(content, use_bin_type=True)


def _is_numbers(value):
    number = (int, float)
    if isinstance(value, bool):
        return False
    if isinstance(value, number):
        return True
    return isinstance(value, list) and all(isinstance(v, number) and not isinstance(v, bool) for v in value)


def records_of(content, source="parameter file"):
    """The records of a file's content, group after group, in file order."""
    if not _is_versioned(content):
        reason = "is not [protocol version, group, ...]"
        raise ParameterFileError(reason, source, f"{source} {reason}")
    records = []
    for group in content[1:]:
        if not isinstance(group, list):
            raise ParameterFileError("a group is not a list of records", source)
        records += group
    return records


def layout_from_content(content, source="parameter file", known_types=None):
    """The layout of a file's content as the msgpack reader gives it."""
    records = records_of(content, source)
    return layout_from_records(content[0], records, source, known_types)


def load_layout(path):
    """The layout of a local file, read without the library (the simulated
    sensor's way); records of a sensor type the library does not know are
    refused where the extension module is there to say which it knows."""
    from . import sensor_types

    return layout_from_content(read_msgpack(path), str(path), sensor_types.known_codes())


def missing_fields(content):
    """One line per record that lacks a field its model needs, or holds something
    that is not numbers there: [] for a file whose every record is complete.
    The fields each type needs are the library's table's (sensor_types)."""
    from . import sensor_types

    types = sensor_types.by_code()
    problems = []
    if not isinstance(content, list):
        return problems
    for group_index, group in enumerate(content[1:], 1):
        if not isinstance(group, list):
            continue
        for record_index, record in enumerate(group):
            base = record.get("SensorParameters") if isinstance(record, dict) else None
            sensor_type = types.get(base.get("sensor_type")) if isinstance(base, dict) else None
            if sensor_type is None:
                continue  # the library names what is wrong with it
            where = f"group {group_index}, record {record_index} ({sensor_type.description})"
            for field in sensor_type.fields:
                name = field.name
                if not field.required:
                    continue
                if name not in record:
                    problems.append(f"{where}: no {name}")
                elif not _is_numbers(record[name]):
                    problems.append(f"{where}: {name} is not numbers")
                elif field.non_empty and (not isinstance(record[name], list) or not record[name]):
                    problems.append(f"{where}: {name} is empty or not a list")
    return problems


def summary(version, records, layout):
    """One line: protocol version and what the records are."""
    from . import sensor_types

    names = {t.code: t.description for t in sensor_types.table()}
    counts = {}
    for record in records:
        kind = names[record["SensorParameters"]["sensor_type"]]
        counts[kind] = counts.get(kind, 0) + 1
    kinds = ", ".join(f"{n} {kind}" for kind, n in counts.items()) or "no records"
    return (
        f"protocol {version}; {sum(counts.values())} records ({kinds}); "
        f"{layout.channel_count} raw channels, {layout.output_count} calibrated outputs"
    )


@dataclass
class ParameterFile:
    """A local parameter file as the library reads it: its bytes, protocol
    version, records (dicts, as the library has them after its defaults)
    and what the tools make of them."""

    path: str
    data: bytes
    version: int
    records: list
    layout: Layout

    @property
    def summary(self) -> str:
        return summary(self.version, self.records, self.layout)

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.data).hexdigest()


def open_parameter_file(path: str) -> ParameterFile:
    """The file at `path`, read by the library's own loader, which judges it.

    A file it refuses raises ParameterFileError: "cannot read PATH: CAUSE"
    for one that is not a regular file of at most 64 MiB (said here, where
    the cause is known), the msgpack reader's finding where it names a
    fault in the file's shape that the library's words leave vague ("bad
    cast"), and the library's own words otherwise."""
    from . import _native, sensor_types

    data = read_file(path)
    try:
        version, records = _native.read_parameters(path)
    except ParameterFileError as refused:
        layout_from_content(unpack(data, path), path, sensor_types.codes())
        raise refused
    return ParameterFile(path, data, version, records, layout_from_records(version, records, path))
