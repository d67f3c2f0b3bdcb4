"""Type-checks the Python examples of documentation files with mypy --strict.

    check_doc_examples.py [--python-executable PYTHON] FILE.md...

A file's ```python blocks, in their order, make one module, as a reader
runs them one after another: a block may use what an earlier one imported or
defined. The module keeps every block on its line of the file (the prose
between them blank), so mypy's line numbers are the documentation's.
mypy finds feltwise and feltwise_comm_py where PYTHON (default: this
interpreter) has them installed: through the package's py.typed and the
stub-only package feltwise_comm_py-stubs, as a user's type checker does.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
OUT = REPO / "build" / "doc-examples"


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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python-executable", default=sys.executable)
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
        modules[str(module)] = str(doc)

    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--python-executable",
            args.python_executable,
            "--cache-dir",
            str(OUT / ".mypy_cache"),
            *modules,
        ],
        capture_output=True,
        text=True,
    )
    output = done.stdout + done.stderr
    for module, doc in modules.items():
        output = output.replace(module, doc)
    print(output, end="")
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
