"""The sensor types, as the library's own table lists them.

Each type is a calibration model with the record fields it reads besides
"SensorParameters". The tools name the types in their summaries and check
that a record has the fields its model needs (the library fills a missing
one with a default, so a file it accepts may still not calibrate) from this
table, so a type added to the library is known to the tools at once.

Read on first use; it needs the extension module (`known_codes()` does
without: the simulated sensor reads parameter files where there is none).
"""

from __future__ import annotations

import functools
from typing import NamedTuple, Optional


class Field(NamedTuple):
    name: str
    kind: str  # "integer", "number", "numbers" or "integer map"
    required: bool
    non_empty: bool


class SensorType(NamedTuple):
    code: int  # the sensor_type of a record
    model: str
    description: str  # "taxel polynomial"
    fields: tuple[Field, ...]


@functools.cache
def table() -> tuple[SensorType, ...]:
    from . import _native

    return tuple(
        SensorType(code, model, text, tuple(Field(*f) for f in fields))
        for code, model, text, fields in _native.sensor_types()
    )


def codes() -> tuple[int, ...]:
    return tuple(t.code for t in table())


def by_code() -> dict[int, SensorType]:
    return {t.code: t for t in table()}


def known_codes() -> Optional[tuple[int, ...]]:
    """codes(), or None where the extension module is not there to say them."""
    try:
        return codes()
    except ImportError:
        return None
