"""The package's typing, as its users' type checkers see it:

    check_typing.py [--python-executable PYTHON]... FILE.md...

1. mypy --strict on the Python examples of the documentation files. A file's
   ```python blocks, in their order, make one module, as a reader runs them
   one after another: a block may use what an earlier one imported or
   defined. The module keeps every block on its line of the file (the prose
   between them blank), so mypy's line numbers are the documentation's.
   mypy finds feltwise and feltwise_comm_py where PYTHON (default: this
   interpreter) has them installed: through the package's py.typed and the
   stub-only package feltwise_comm_py-stubs, as a user's type checker does;
   it checks for PYTHON's version (as a user's would: numpy's stubs differ
   between versions), once for each PYTHON given.
2. Every function of the library's public modules (PUBLIC, in this checkout)
   annotated: mypy --disallow-untyped-defs --disallow-incomplete-defs, with
   the first PYTHON's numpy and msgpack.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
OUT = REPO / "build" / "doc-examples"
# The library's public modules; the command line's (cli, commands, ...) are its own.
PUBLIC = [
    "feltwise/__init__.py",
    "feltwise/errors.py",
    "feltwise/layout.py",
    "feltwise/payload.py",
    "feltwise/protocols.py",
    "feltwise/remote.py",
    "feltwise/sample.py",
    "feltwise/sensor.py",
    "feltwise/sensor_setup.py",
    "feltwise/sensor_types.py",
    "feltwise/sim/__init__.py",
    "feltwise/sim/child.py",
    "feltwise/sim/settings.py",
    "feltwise/sim/simulated_sensor.py",
    "feltwise/sim/simulator.py",
    "feltwise/version.py",
]


def examples(markdown: str) -> str:
    """The python blocks of a markdown text, every other line blank."""
    lines = []
    inside = False
    for line in markdown.splitlines():
        fence = re.match(r"^\s*```(\S*)", line)
        if fence and not inside:
            inside = fence.group(1) == "python"
            lines.append("")
        elif fence and inside:
            inside = False
            lines.append("")
        else:
            lines.append(line if inside else "")
    return "\n".join(lines) + "\n"


def mypy(*args: str, cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[str]:
    command = [sys.executable, "-m", "mypy", "--cache-dir", str(OUT / ".mypy_cache"), *args]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python-executable", action="append", dest="pythons")
    parser.add_argument("files", nargs="+", type=pathlib.Path)
    args = parser.parse_args()

    OUT.mkdir(parents=True, exist_ok=True)
    modules = {}
    for doc in args.files:
        text = examples(doc.read_text(encoding="utf-8"))
        if not text.strip():
            print(f"{doc}: no python examples", file=sys.stderr)
            return 1
        module = OUT / (re.sub(r"\W", "_", str(doc.with_suffix(""))) + ".py")
        module.write_text(text, encoding="utf-8")
        # mypy names a file as it was given: relative to here.
        modules[os.path.relpath(module)] = str(doc)

    pythons = [os.path.abspath(python) for python in args.pythons or [sys.executable]]
    failed = False
    for python in pythons:
        version = subprocess.run(
            [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], capture_output=True, text=True
        ).stdout.strip()
        checked = mypy("--strict", "--python-executable", python, "--python-version", version, *modules)
        output = checked.stdout + checked.stderr
        for module, doc in modules.items():
            output = output.replace(module, doc)
        print(f"the documentation's examples (mypy --strict, Python {version}):", output, end="")
        failed = failed or checked.returncode != 0

    annotated = mypy(
        "--disallow-untyped-defs",
        "--disallow-incomplete-defs",
        "--follow-imports=silent",
        "--python-executable",
        pythons[0],
        *PUBLIC,
        cwd=REPO / "python",
    )
    print("the public modules' annotations:", annotated.stdout + annotated.stderr, end="")
    return 1 if failed or annotated.returncode else 0


if __name__ == "__main__":
    sys.exit(main())
