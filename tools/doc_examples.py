"""The shell and Python examples of the documentation, with how each is run.

Every ```python and ```sh block of README.md and docs/*.md says on the line
right above it, in an HTML comment (not shown on the rendered page), how a
test runs it as pasted (tests/python/tools/test_doc_examples.py):

    <!-- example: CLAUSE; CLAUSE ... -->

with the clauses
    sensor PORT [PARAMS | protocol N]   a simulated sensor playing PARAMS (a
                                        parameter file, relative to the
                                        repository) or protocol N; its port
                                        takes the place of the text PORT in
                                        the block
    file NAME=SOURCE                    the repository's file SOURCE is at
                                        NAME when the example runs
    stop SECONDS                        the example runs until stopped: it
                                        is still running after SECONDS, and
                                        Ctrl-C then ends it
    skip REASON                         not run, and why (hardware, a Zenoh
                                        router, the whole CI, an install);
                                        the comment's only clause

`<!-- example -->` alone runs the block as it is. A block without the
comment is an error: every example is either run or said why not. Each runs
alone, in a directory of its own where `examples/` is the repository's, so
an example is whole: what it uses, it imports or defines itself.
"""

from __future__ import annotations

import dataclasses
import pathlib
import re
import shlex
from typing import Optional

REPO = pathlib.Path(__file__).resolve().parents[1]
LANGUAGES = ("python", "sh")
_FENCE = re.compile(r"^\s*```(\S*)")
_TAG = re.compile(r"^\s*<!--\s*example(?::(.*?))?\s*-->\s*$")


@dataclasses.dataclass(frozen=True)
class Sensor:
    port: str  # the text in the block that names the port
    params: Optional[str] = None
    protocol: Optional[int] = None


@dataclasses.dataclass
class Example:
    source: str  # FILE:LINE of the opening fence
    language: str
    code: str
    tagged: bool = False
    sensors: list[Sensor] = dataclasses.field(default_factory=list)
    files: dict[str, str] = dataclasses.field(default_factory=dict)
    stop: Optional[float] = None
    skip: Optional[str] = None


def documentation() -> list[pathlib.Path]:
    return [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]


def _apply(example: Example, clause: str) -> None:
    words = shlex.split(clause)
    if not words:
        return
    kind, rest = words[0], words[1:]
    if kind == "sensor" and len(rest) == 1:
        example.sensors.append(Sensor(rest[0]))
    elif kind == "sensor" and len(rest) == 2:
        example.sensors.append(Sensor(rest[0], params=rest[1]))
    elif kind == "sensor" and len(rest) == 3 and rest[1] == "protocol":
        example.sensors.append(Sensor(rest[0], protocol=int(rest[2])))
    elif kind == "file" and len(rest) == 1 and "=" in rest[0]:
        name, source = rest[0].split("=", 1)
        example.files[name] = source
    elif kind == "stop" and len(rest) == 1:
        example.stop = float(rest[0])
    else:
        raise ValueError(f"{example.source}: cannot read the example clause {clause!r}")


def examples(path: pathlib.Path) -> list[Example]:
    """The python and sh blocks of one markdown file, in order."""
    found: list[Example] = []
    lines = path.read_text(encoding="utf-8").splitlines()
    name = path.relative_to(REPO).as_posix() if path.is_relative_to(REPO) else path.name
    inside: Optional[Example] = None
    body: list[str] = []
    for number, line in enumerate(lines, 1):
        fence = _FENCE.match(line)
        if inside is None and fence:
            inside = Example(f"{name}:{number}", fence.group(1), "")
            tag = _TAG.match(lines[number - 2]) if number >= 2 else None
            if tag:
                inside.tagged = True
                clauses = (tag.group(1) or "").strip()
                if clauses.startswith("skip "):
                    inside.skip = clauses[len("skip ") :].strip()
                else:
                    for clause in clauses.split(";"):
                        _apply(inside, clause)
            body = []
        elif inside is not None and fence:
            inside.code = "\n".join(body) + "\n"
            if inside.language in LANGUAGES:
                found.append(inside)
            inside = None
        elif inside is not None:
            body.append(line)
    return found


def all_examples() -> list[Example]:
    return [example for path in documentation() for example in examples(path)]
