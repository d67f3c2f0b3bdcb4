"""`feltwise ros2` for real: the node in its own process, an rclpy subscriber here, Fast DDS between them."""

import math
import subprocess
import sys

import msgpack
import pytest

from ros2_harness import CountingDevice, Subscriber, require, stamp_ns
from toolrun import Lines, wait_for

rclpy = require("rclpy")

from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus  # noqa: E402
from rclpy.qos import QoSProfile, ReliabilityPolicy, qos_profile_sensor_data  # noqa: E402
from sensor_msgs.msg import Image, JointState  # noqa: E402
from std_srvs.srv import Trigger  # noqa: E402

from conftest import taxel_record  # noqa: E402


@pytest.fixture
def subscriber():
    sub = Subscriber(rclpy)
    yield sub
    sub.close()


def start_node(*args):
    node = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "ros2", *map(str, args)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    return node, Lines(node.stderr)


def stop(node):
    node.terminate()
    try:
        node.wait(timeout=60)
    except subprocess.TimeoutExpired:
        node.kill()
        node.wait()


def diagnostics(subscriber, name):
    return [
        status
        for array in subscriber.messages("/diagnostics")
        for status in array.status
        if status.name == f"feltwise_{name}: sensor"
    ]


def values_of(status):
    return {pair.key: pair.value for pair in status.values}


def test_every_sample_of_a_1khz_sensor_of_64_values_arrives_in_order_with_reliable_qos(replug_port, subscriber):
    sent, width = 3000, 64
    reliable = QoSProfile(depth=1000, reliability=ReliabilityPolicy.RELIABLE)
    topic = "/feltwise/rate/values"
    subscriber.subscribe(JointState, topic, reliable)
    subscriber.subscribe(Image, "/feltwise/rate/map", qos_profile_sensor_data)
    device = CountingDevice(replug_port, width)
    node, said = start_node(replug_port.path, "--protocol", 1, "--name", "rate", "--reliable")
    try:
        said.wait_for("publishing")
        # Until the node has found the subscriber, what it publishes goes nowhere (volatile durability).
        assert wait_for(lambda: device.send(10, rate=1000) or subscriber.messages(topic), timeout=60, step=0.1)
        warm_up = device.counter
        device.send(sent, rate=1000)
        wait_for(lambda: int(subscriber.messages(topic)[-1].position[0]) >= warm_up + sent, timeout=60)
    finally:
        stop(node)
    received = [m for m in subscriber.messages(topic) if int(m.position[0]) > warm_up]
    counters = [int(message.position[0]) for message in received]
    stamps = [stamp_ns(message.header) for message in received]
    assert len(received) >= 0.999 * sent, f"{len(received)} of {sent}; node: {said.seen}"
    assert counters == sorted(set(counters)) and counters[-1] == warm_up + sent, "in order, none twice, the last"
    assert all(b > a for a, b in zip(stamps, stamps[1:])), "stamps increase"
    first = received[0]
    assert len(first.position) == width and first.name[:2] == ["ch_0", "ch_1"] and first.header.frame_id == "feltwise"
    assert list(first.position[1:]) == list(range(1000, 1000 + width - 1))
    image = subscriber.messages("/feltwise/rate/map")[-1]
    assert (image.encoding, image.height, image.width, image.step) == ("32FC1", 8, 8, 32), "raw channels on 8 x 8"
    assert node.returncode == 0, said.seen


def test_the_zero_service_zeroes_the_sensor_and_diagnostics_report_it(replug_port, subscriber, tmp_path):
    params = tmp_path / "pad.msgpack"
    params.write_bytes(msgpack.packb([1, [taxel_record(i, i, coefs=(0.0, 1.0)) for i in range(4)]]))
    subscriber.subscribe(JointState, "/feltwise/pad/values", qos_profile_sensor_data)
    subscriber.subscribe(DiagnosticArray, "/diagnostics", 10)
    device = CountingDevice(replug_port, 4)
    device.stream(rate=200)
    node, said = start_node(replug_port.path, "--params", params, "--name", "pad", "--frame-id", "left_palm")
    try:
        assert wait_for(lambda: subscriber.messages("/feltwise/pad/values"), timeout=60)
        before = subscriber.messages("/feltwise/pad/values")[-1]
        answer = subscriber.call(Trigger, "/feltwise/pad/zero")
        count = len(subscriber.messages("/feltwise/pad/values"))
        assert wait_for(lambda: len(subscriber.messages("/feltwise/pad/values")) > count + 5, timeout=30)
        after = subscriber.messages("/feltwise/pad/values")[-1]
        assert wait_for(lambda: any(values_of(s)["zeroed"] == "1" for s in diagnostics(subscriber, "pad")), 30)
    finally:
        device.pause()
        stop(node)
    assert answer.success and answer.message == "zeroed"
    assert list(before.name) == ["out_0", "out_1", "out_2", "out_3"] and before.header.frame_id == "left_palm"
    assert list(before.position[1:]) == [1000.0, 1001.0, 1002.0] and list(after.position[1:]) == [0.0, 0.0, 0.0]
    status = diagnostics(subscriber, "pad")[-1]
    shown = values_of(status)
    assert status.hardware_id == replug_port.path and shown["connected"] == "true"
    assert shown["dropped"] == "0" and shown["sequence gaps"] == "0" and math.isfinite(float(shown["rate"]))
    assert node.returncode == 0, said.seen


def test_an_unplug_with_reconnect_costs_a_gap_and_a_diagnostic_status_not_the_node(replug_port, subscriber):
    subscriber.subscribe(JointState, "/feltwise/plug/values", qos_profile_sensor_data)
    subscriber.subscribe(DiagnosticArray, "/diagnostics", 10)
    device = CountingDevice(replug_port, 4)
    device.stream(rate=200)
    node, said = start_node(replug_port.path, "--protocol", 1, "--name", "plug", "--reconnect")
    levels = lambda: [(s.level, values_of(s)["connected"]) for s in diagnostics(subscriber, "plug")]  # noqa: E731
    try:
        assert wait_for(lambda: (DiagnosticStatus.OK, "true") in levels(), timeout=60)
        device.pause()
        replug_port.unplug()
        said.wait_for("lost the sensor on")
        assert wait_for(lambda: (DiagnosticStatus.ERROR, "false") in levels(), timeout=30)
        before = len(subscriber.messages("/feltwise/plug/values"))
        replug_port.replug()
        device.stream(rate=200)
        said.wait_for("is back")
        assert wait_for(lambda: len(subscriber.messages("/feltwise/plug/values")) > before + 50, timeout=60)
        assert wait_for(lambda: levels()[-1] == (DiagnosticStatus.OK, "true"), timeout=30)
    finally:
        device.pause()
        stop(node)
    statuses = diagnostics(subscriber, "plug")
    assert any("after an unplug" in s.message for s in statuses) and values_of(statuses[-1])["reconnects"] == "1"
    counters = [int(m.position[0]) for m in subscriber.messages("/feltwise/plug/values")]
    assert counters == sorted(counters) and counters[-1] > before, "samples after the return, in order"
    assert node.returncode == 0, said.seen


@pytest.mark.parametrize(
    "args, says",
    [
        (["--simulate", "--name", "bad-name"], "is not a ROS name"),
        (["--simulate", "--name", "x", "--ros-args", "-p", "reliable:=maybe"], "the ROS 2 node did not start"),
        (["--simulate", "--name", "x", "--ros-args", "-p", "depth:=-3"], "depth must be a number 0 or more"),
        (["--simulate", "--name", "x", "--ros-args", "-p", "protocol:=99"], "protocol 99 is not one of"),
    ],
)
def test_refusals_are_one_line(args, says):
    done = subprocess.run(
        [sys.executable, "-m", "feltwise", "ros2", *args], capture_output=True, text=True, timeout=120
    )
    assert done.returncode != 0 and says in done.stderr and "Traceback" not in done.stderr
