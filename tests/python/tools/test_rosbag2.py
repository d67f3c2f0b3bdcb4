"""`record --format rosbag2`, read back with rosbags and with the mcap reader plus mcap-ros2-support."""

import pathlib
import subprocess
import sys

import msgpack
import numpy as np
import pytest

from conftest import taxel_record
from ros2_harness import CountingDevice, require
from toolrun import Lines

require("rosbags")
require("mcap_ros2")

from mcap.reader import NonSeekingReader, make_reader  # noqa: E402
from mcap_ros2.decoder import DecoderFactory  # noqa: E402
from rosbags.highlevel import AnyReader  # noqa: E402


def record(port, output, *args):
    return subprocess.Popen(
        [sys.executable, "-m", "feltwise", "record", port, "-o", output, "--format", "rosbag2", *map(str, args)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def bag_messages(bag):
    """{topic: [(log time, message)]}, by rosbags."""
    found = {}
    with AnyReader([pathlib.Path(bag)]) as reader:
        for connection, timestamp, data in reader.messages():
            found.setdefault(connection.topic, []).append((timestamp, reader.deserialize(data, connection.msgtype)))
    return found


def mcap_messages(bag):
    """{topic: [(log time, message)]}, by the mcap reader and mcap-ros2-support."""
    found = {}
    (file,) = pathlib.Path(bag).glob("*.mcap")
    with open(file, "rb") as stream:
        for _, channel, message, decoded in make_reader(
            stream, decoder_factories=[DecoderFactory()]
        ).iter_decoded_messages():
            found.setdefault(channel.topic, []).append((message.log_time, decoded))
    return found


def stamp(header):
    return header.stamp.sec * 1_000_000_000 + header.stamp.nanosec


@pytest.mark.parametrize("calibrated", [False, True], ids=["raw", "calibrated"])
def test_a_bag_holds_every_sample_sent_and_reads_back_the_same_with_rosbags_and_mcap(replug_port, tmp_path, calibrated):
    count, width = 600, 4
    bag = tmp_path / "touch"
    if calibrated:
        params = tmp_path / "pad.msgpack"
        params.write_bytes(msgpack.packb([1, [taxel_record(i, i, coefs=(0.0, 2.0)) for i in range(width)]]))
        source = ["--params", params]
    else:
        source = ["--protocol", 1]
    device = CountingDevice(replug_port, width)
    recorder = record(replug_port.path, bag, *source, "--count", count)
    said = Lines(recorder.stderr)
    try:
        device.stream(rate=500)
        recorder.wait(timeout=120)
    finally:
        device.pause()
        if recorder.poll() is None:
            recorder.kill()
    assert recorder.returncode == 0, said.seen
    assert {path.name for path in bag.iterdir()} == {"metadata.yaml", "touch.mcap"}
    by_rosbags, by_mcap = bag_messages(bag), mcap_messages(bag)
    topic = "/feltwise/feltwise_by_id"
    assert set(by_rosbags) == set(by_mcap) == {f"{topic}/values", f"{topic}/raw", f"{topic}/map"}
    for found in (by_rosbags, by_mcap):
        raw = [message for _, message in found[f"{topic}/raw"]]
        values = [message for _, message in found[f"{topic}/values"]]
        assert len(raw) == len(values) == count
        counters = [int(message.position[0]) for message in raw]
        assert counters == list(range(counters[0], counters[0] + count)), "every frame, in order"
        assert all(list(m.position[1:]) == [1000.0, 1001.0, 1002.0] for m in raw)
        expected = np.array([[c, 1000, 1001, 1002] for c in counters]) * (2.0 if calibrated else 1.0)
        assert np.array_equal([list(m.position) for m in values], expected)
        assert list(values[0].name) == (
            [f"out_{i}" for i in range(width)] if calibrated else [f"ch_{i}" for i in range(width)]
        )
        stamps = [stamp(m.header) for m in values]
        assert all(b > a for a, b in zip(stamps, stamps[1:])), "stamps increase"
        assert [t for t, _ in found[f"{topic}/values"]] == stamps, "the bag's times are the stamps"
        image = found[f"{topic}/map"][-1][1]
        assert (image.encoding, image.height, image.width) == ("32FC1", 2, 2)
    assert [stamp(m.header) for _, m in by_rosbags[f"{topic}/values"]] == [
        stamp(m.header) for _, m in by_mcap[f"{topic}/values"]
    ]


def test_a_bag_is_readable_while_it_is_written_and_an_existing_one_is_kept(replug_port, tmp_path):
    bag = tmp_path / "live"
    device = CountingDevice(replug_port, 2)
    recorder = record(replug_port.path, bag, "--protocol", 1, "--duration", 8)
    said = Lines(recorder.stderr)
    try:
        device.stream(rate=200)
        said.wait_for("25%", timeout=120)  # 2 s in
        (file,) = bag.glob("*.mcap")
        with open(file, "rb") as stream:
            reader = NonSeekingReader(stream, decoder_factories=[DecoderFactory()])
            seen = 0
            try:
                for _ in reader.iter_decoded_messages(log_time_order=False):
                    seen += 1
            except Exception:  # the file ends where the writer is: no footer yet
                pass
        assert seen > 0, "a second's messages are on disk"
    finally:
        device.pause()
        recorder.terminate()
        recorder.wait(timeout=60)
    assert recorder.returncode == 0, said.seen
    again = subprocess.run(
        [sys.executable, "-m", "feltwise", "record", "--simulate", "--protocol", "1", "-o", bag, "--format", "rosbag2"]
        + ["--count", "10"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert again.returncode == 1 and "exists: give --overwrite to replace it" in again.stderr
    assert bag_messages(bag), "the first recording is kept"
