"""Every example of docs/foxglove.md, run as a reader would: in a folder of their own, beside the examples."""

import json
import os
import re
import select
import signal
import subprocess
import sys
import textwrap

import pytest

from feltwise.layout import read_placement, with_placement
from feltwise.paramfile import load_layout
from toolrun import COMMAND_TIMEOUT, REPO, example

DOC = (REPO / "docs" / "foxglove.md").read_text()


def blocks(kind):
    # A block inside a list item is indented with it.
    return [textwrap.dedent(block) for block in re.findall(rf"```{kind}\n(.*?)```", DOC, re.S)]


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "examples").symlink_to(REPO / "examples")
    return tmp_path


def shell(command, folder, **kwargs):
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"], MPLBACKEND="Agg")
    env.pop("DISPLAY", None)
    return subprocess.Popen(
        ["bash", "-c", f"exec {command}"],
        cwd=folder,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def test_the_doc_has_its_examples():
    assert len(blocks("sh")) == 3 and len(blocks("python")) == 1 and len(blocks("json")) == 1


def test_the_live_view_example_serves_until_ended(folder):
    pytest.importorskip("foxglove")
    command = blocks("sh")[0].strip()
    assert command.endswith("--foxglove")
    # The default port may be taken on a shared machine: the same command on a free one.
    process = shell(command + " 127.0.0.1:0", folder)
    try:
        ready = select.select([process.stderr], [], [], COMMAND_TIMEOUT)[0]
        line = process.stderr.readline() if ready else ""
    finally:
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=COMMAND_TIMEOUT)
    assert re.search(r"serving /dev/\S+ to Foxglove on ws://127\.0\.0\.1:\d+ \(topics /feltwise/\S+, ", line), line
    assert process.returncode == 0 and "Traceback" not in err, err


def test_the_recording_examples_run_and_read_back(folder):
    pytest.importorskip("mcap")
    record, snapshot = blocks("sh")[1:]
    for command in (record, snapshot):
        process = shell(command.strip(), folder)
        out, err = process.communicate(timeout=COMMAND_TIMEOUT)
        assert process.returncode == 0, err
    assert (folder / "pad.png").read_bytes().startswith(b"\x89PNG")
    done = subprocess.run([sys.executable, "-c", blocks("python")[0]], cwd=folder, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert re.fullmatch(r"200 samples in N from \d{19} -?\d+\.\d+(e-?\d+)?\n", done.stdout), done.stdout


def test_the_layout_file_examples_place_the_triaxial_pad(tmp_path):
    layout = load_layout(example("triaxial_pad_2x2"))
    for name, content in [
        ("doc.json", blocks("json")[0]),
        ("row.json", (REPO / "examples/layouts/triaxial_row.json").read_text()),
    ]:
        (tmp_path / name).write_text(content)
        placed = with_placement(layout, read_placement(str(tmp_path / name)))
        assert placed.unit == "N" and placed.output_places()[9][:2] == (0, 0)
        assert json.loads(content)["unit"] == "N"
