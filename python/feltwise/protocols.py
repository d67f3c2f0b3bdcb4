"""The protocol versions, as the library's own table lists them.

`feltwise._native.protocols()` gives one row per protocol the core builds
(version, class name, is_text, has_registers). Everything on the Python
side that depends on the versions — Sensor's check, the --protocol choices
and texts, the registers command, the tests — reads them here, so a
protocol added to the core's table is known to the tools at once. The
simulated sensor keeps how it speaks each version in sim/wire.py
(DIALECTS, which must work without the extension); it is checked against
this table wherever the extension is there.

The table is read on first use: the extension module loads only when a
version is asked about, not when `feltwise --help` or the package loads.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable
from typing import NamedTuple


class Protocol(NamedTuple):
    version: int
    name: str
    is_text: bool
    has_registers: bool


@functools.cache
def table() -> tuple[Protocol, ...]:
    from . import _native

    return tuple(Protocol(*row) for row in _native.protocols())


def versions() -> tuple[int, ...]:
    return tuple(p.version for p in table())


def text_versions() -> tuple[int, ...]:
    return tuple(p.version for p in table() if p.is_text)


def binary_versions() -> tuple[int, ...]:
    return tuple(p.version for p in table() if not p.is_text)


def register_versions() -> tuple[int, ...]:
    return tuple(p.version for p in table() if p.has_registers)


def span() -> str:
    """The versions as a text for messages: "0 to 4"."""
    known = versions()
    return f"{min(known)} to {max(known)}"


def listed(values: Iterable[object], last: str = "and") -> str:
    """(3, 4) as "3 and 4", (2, 3, 4) as "2, 3 and 4"; last="or": "3 or 4"."""
    words = [str(v) for v in values]
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + f" {last} " + words[-1]
