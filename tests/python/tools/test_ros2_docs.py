"""docs/ros2.md, example by example: the commands run, the Python runs, the launch file's command runs."""

import ast
import os
import re
import shlex
import subprocess
import sys

import pytest

from feltwise import SimulatedSensor
from ros2_harness import require
from toolrun import REPO, Lines, example

require("rclpy")
require("rosbags")

DOC = (REPO / "docs" / "ros2.md").read_text()


def blocks(language):
    return [block for fence, block in re.findall(r"```(\w*)\n(.*?)```", DOC, re.S) if fence == language]


def command(line, *extra):
    words = shlex.split(line)
    assert words[0] == "feltwise"
    return [sys.executable, "-m", "feltwise", *words[1:], *extra]


@pytest.fixture
def workdir(tmp_path):
    """A directory as the examples expect one: examples/ within reach, the bag written here."""
    (tmp_path / "examples").symlink_to(REPO / "examples")
    return tmp_path


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True, timeout=180)


def test_the_install_line_names_the_extra_the_package_has():
    (install,) = [b for b in blocks("sh") if "pip install" in b]
    assert "'feltwise-comm[ros2]'" in install
    import tomllib  # Python 3.11, as the ROS 2 wheels

    extras = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    assert any(r.startswith("ros-rclpy") for r in extras["ros2"])


def test_the_simulated_node_reaches_the_subscriber_example(workdir):
    (node_line,) = [b.strip() for b in blocks("sh") if b.startswith("feltwise ros2 --simulate")]
    node = subprocess.Popen(command(node_line), cwd=workdir, stderr=subprocess.PIPE, text=True)
    try:
        Lines(node.stderr).wait_for("publishing")
        done = run_python(blocks("python")[0], workdir)
    finally:
        node.wait(timeout=120)
    assert done.returncode == 0, done.stderr
    assert "'out_0':" in done.stdout and "sec=" in done.stdout
    assert node.returncode == 0


def test_the_hardware_line_runs_on_a_port(workdir):
    (line,) = [b.strip() for b in blocks("sh") if b.startswith("feltwise ros2 /dev/ttyUSB0")]
    params = example("taxel_pad_4x4")
    with SimulatedSensor(params) as sensor:
        line = line.replace("/dev/ttyUSB0", sensor.path).replace("left_palm.msgpack", params)
        done = subprocess.run(
            command(line, "--duration", "3"), cwd=workdir, capture_output=True, text=True, timeout=180
        )
    assert done.returncode == 0, done.stderr
    assert "as node feltwise_left_palm on /feltwise/left_palm/" in done.stderr


def test_the_launch_file_starts_the_node_with_the_parameter_file(workdir):
    (parameters,) = blocks("yaml")
    (workdir / "feltwise.yaml").write_text(parameters)
    launch = next(b for b in blocks("python") if "from launch import" in b)
    call = next(
        node
        for node in ast.walk(ast.parse(launch))
        if isinstance(node, ast.Call) and getattr(node.func, "id", "") == "ExecuteProcess"
    )
    cmd = ast.literal_eval(next(k.value for k in call.keywords if k.arg == "cmd"))
    done = subprocess.run(command(shlex.join(cmd)), cwd=workdir, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    assert "as node feltwise_left_palm" in done.stderr and "(reliable QoS)" in done.stderr


def test_the_bag_recorded_reads_back_with_the_rosbags_example(workdir):
    (line,) = [b.strip() for b in blocks("sh") if b.startswith("feltwise record")]
    done = subprocess.run(command(line), cwd=workdir, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(workdir / "touch_bag")) == ["metadata.yaml", "touch_bag.mcap"]
    read = run_python(blocks("python")[-1], workdir)
    assert read.returncode == 0, read.stderr
    rows = read.stdout.splitlines()
    assert len(rows) > 100 and all(re.fullmatch(r"\d+ \[.*\]", row) for row in rows)
