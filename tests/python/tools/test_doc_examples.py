"""The README's and docs/'s examples run as pasted, on simulated sensors
(tools/doc_examples.py says how each block is tagged)."""

import dataclasses
import os
import selectors
import shutil
import signal
import subprocess
import sys

import pytest

from toolrun import COMMAND_TIMEOUT, REPO

sys.path.insert(0, str(REPO / "tools"))
import doc_examples  # noqa: E402

from feltwise.sim import SimulatedSensor  # noqa: E402

EXAMPLES = doc_examples.all_examples()
RUN = [example for example in EXAMPLES if example.tagged and example.skip is None]


def test_every_example_is_run_or_says_why_not():
    untagged = [example.source for example in EXAMPLES if not example.tagged]
    assert not untagged, "add <!-- example: ... --> above these blocks (tools/doc_examples.py): " + ", ".join(untagged)


def _command(example, directory):
    script = directory / ("example.py" if example.language == "python" else "example.sh")
    script.write_text(example.code)
    if example.language == "python":
        return [sys.executable, str(script)]
    return ["bash", "-euo", "pipefail", str(script)]


def _environment():
    environment = dict(os.environ, MPLBACKEND="Agg")
    # The `feltwise` command of the interpreter under test comes first.
    environment["PATH"] = os.path.dirname(sys.executable) + os.pathsep + environment.get("PATH", "")
    return environment


def _start(example, directory):
    sensors = []
    for sensor in example.sensors:
        params = None if sensor.params is None else str(directory / sensor.params)
        simulated = SimulatedSensor(params, version=sensor.protocol)
        sensors.append(simulated)
        simulated.start()
        example.code = example.code.replace(sensor.port, simulated.path)
    return sensors


def _until_stopped(process, seconds):
    """The example's first line, then `seconds` more: it must still run; Ctrl-C ends it."""
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    assert selector.select(timeout=COMMAND_TIMEOUT), "the example printed nothing"
    first = process.stdout.readline()
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=COMMAND_TIMEOUT)
        return first + out, err, True
    out, err = process.communicate()
    return first + out, err, False


def _run(example, directory):
    """None when the example ran as it should; otherwise what went wrong."""
    sensors = _start(example, directory)
    try:
        process = subprocess.Popen(
            _command(example, directory),
            cwd=directory,
            env=_environment(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            # A test run started in the background inherits SIGINT ignored; the
            # example is to see Ctrl-C as a user's terminal sends it.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
        try:
            if example.stop is None:
                try:
                    out, err = process.communicate(timeout=COMMAND_TIMEOUT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    out, err = process.communicate()
                    return f"still running after {COMMAND_TIMEOUT} s (a stream without end wants `stop`)\n{out}\n{err}"
                ok = process.returncode == 0 and "Traceback" not in out + err
            else:
                out, err, running = _until_stopped(process, example.stop)
                interrupted = "Traceback" not in err or err.rstrip().endswith("KeyboardInterrupt")
                ok = running and process.returncode in (0, -signal.SIGINT, 130) and interrupted
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
    finally:
        for sensor in sensors:
            sensor.stop()
    return None if ok else f"status {process.returncode}\n{out}\n{err}"


@pytest.mark.parametrize("example", RUN, ids=[example.source for example in RUN])
def test_the_example_runs_as_pasted(example, tmp_path):
    (tmp_path / "examples").symlink_to(REPO / "examples")
    for name, source in example.files.items():
        shutil.copyfile(REPO / source, tmp_path / name)
    # Up to three tries: zero() needs a sample at least every 50 ms, which a
    # loaded machine can keep from the simulated sensor now and then.
    failures = []
    for _ in range(3):
        failure = _run(dataclasses.replace(example), tmp_path)
        if failure is None:
            return
        failures.append(failure)
    pytest.fail(f"{example.source} failed three times; the last:\n{failures[-1]}")


def test_a_block_says_how_it_runs(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "<!-- example: sensor /dev/ttyUSB0 pad.msgpack; sensor /dev/ttyUSB1 protocol 4; file pad.msgpack=x; "
        "stop 2 -->\n```python\nprint(1)\n```\n"
        "<!-- example: skip needs a router; and two sensors -->\n```sh\nzenohd\n```\n"
        "```text\nnot code\n```\n```sh\nuntagged\n```\n"
    )
    first, second, third = doc_examples.examples(page)
    assert first.sensors == [
        doc_examples.Sensor("/dev/ttyUSB0", params="pad.msgpack"),
        doc_examples.Sensor("/dev/ttyUSB1", protocol=4),
    ]
    assert (first.files, first.stop, first.code, first.skip) == ({"pad.msgpack": "x"}, 2.0, "print(1)\n", None)
    assert (second.language, second.skip, second.tagged) == ("sh", "needs a router; and two sensors", True)
    assert (third.source, third.tagged) == ("page.md:12", False)
