"""The Foxglove view: a WebSocket client speaking Foxglove's protocol to `view --foxglove`, and the
MCAP of `record` read back with the mcap reader, both in the schemas of feltwise.foxglove."""

import base64
import json
import re
import select
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from feltwise.layout import grid_values, read_placement, with_placement
from feltwise.paramfile import load_layout
from toolrun import COMMAND_TIMEOUT, example, feltwise

pytest.importorskip("mcap")
TRIAXIAL_LAYOUT = {"unit": "N", "rows": 1, "columns": 4}
JS_EXACT = 2**53


def numbers_in(value):
    if isinstance(value, dict):
        for item in value.values():
            yield from numbers_in(item)
    elif isinstance(value, list):
        for item in value:
            yield from numbers_in(item)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        yield value


def check_sample(message, layout, seq=None):
    """A feltwise.Sample message: exact stamps, named values equal to the calibrated ones."""
    stamp = message["timestamp"]
    assert set(stamp) == {"sec", "nsec"} and 0 <= stamp["nsec"] < 10**9 and stamp["sec"] > 1.7e9
    assert all(abs(n) < JS_EXACT for n in numbers_in(message)), "no number a JavaScript reader rounds"
    names = [f"r0c{column}_{axis}" for column in range(4) for axis in "xyz"]
    assert list(message["values"]) == names and list(message["values"].values()) == message["calibrated"]
    return stamp["sec"] * 10**9 + stamp["nsec"]


def check_image(image, layout, calibrated):
    assert (image["width"], image["height"], image["encoding"], image["step"]) == (4, 1, "32FC1", 16)
    pixels = np.frombuffer(base64.b64decode(image["data"]), dtype="<f4").reshape(1, 4)
    expected = grid_values(layout, np.array(calibrated, dtype=float), False)[0]
    assert np.allclose(pixels, expected.astype(np.float32), equal_nan=True)


@pytest.fixture
def placed(tmp_path):
    path = tmp_path / "row.json"
    path.write_text(json.dumps(TRIAXIAL_LAYOUT))
    layout = with_placement(load_layout(example("triaxial_pad_2x2")), read_placement(str(path)))
    return str(path), layout


def serving_port(process, timeout=COMMAND_TIMEOUT):
    deadline = time.monotonic() + timeout
    lines = []
    while time.monotonic() < deadline:
        if not select.select([process.stderr], [], [], 1.0)[0]:
            continue
        line = process.stderr.readline()
        if not line:
            break
        lines.append(line)
        found = re.search(r"on ws://127\.0\.0\.1:(\d+)", line)
        if found:
            return int(found.group(1))
    raise AssertionError(f"no serving line: {lines}")


def test_a_foxglove_client_gets_the_live_samples(placed):
    websockets = pytest.importorskip("websockets.sync.client")
    pytest.importorskip("foxglove")
    path, layout = placed
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "view", "--simulate", "--params", example("triaxial_pad_2x2")]
        + ["--layout", path, "--foxglove", "127.0.0.1:0"],  # 0: a free port, said in the serving line
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        port = serving_port(process)
        samples, images = [], {}
        with websockets.connect(
            f"ws://127.0.0.1:{port}", subprotocols=["foxglove.sdk.v1"], open_timeout=60, max_size=None
        ) as client:
            assert client.subprotocol == "foxglove.sdk.v1"
            channels = {}
            while len(channels) < 2:
                message = client.recv(timeout=60)
                if isinstance(message, str) and json.loads(message)["op"] == "advertise":
                    channels.update({c["topic"]: c for c in json.loads(message)["channels"]})
            assert {(c["schemaName"], c["encoding"], c["schemaEncoding"]) for c in channels.values()} == {
                ("feltwise.Sample", "json", "jsonschema"),
                ("foxglove.RawImage", "json", "jsonschema"),
            }
            ids = {c["schemaName"]: c["id"] for c in channels.values()}
            subscriptions = [
                {"id": 1, "channelId": ids["feltwise.Sample"]},
                {"id": 2, "channelId": ids["foxglove.RawImage"]},
            ]
            client.send(json.dumps({"op": "subscribe", "subscriptions": subscriptions}))
            while len(samples) < 300:  # three seconds of a 100 Hz sensor
                message = client.recv(timeout=60)
                if isinstance(message, str):
                    continue
                opcode, subscription, log_time = struct.unpack_from("<BIQ", message)
                assert opcode == 1
                body = json.loads(message[13:])
                if subscription == 1:
                    samples.append((log_time, body))
                else:
                    images[(body["timestamp"]["sec"], body["timestamp"]["nsec"])] = body
    finally:
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=COMMAND_TIMEOUT)
    assert process.returncode == 0 and "Traceback" not in err, err
    seqs = [body["seq"] for _, body in samples]
    assert seqs == sorted(set(seqs)), "in order, each once"
    assert len(seqs) >= 0.95 * (seqs[-1] - seqs[0] + 1), "at least 95% of the samples of a 100 Hz sensor"
    stamps = [check_sample(body, layout) for _, body in samples]
    assert [log_time for log_time, _ in samples] == stamps and stamps == sorted(stamps)
    matched = 0
    for _, body in samples:
        image = images.get((body["timestamp"]["sec"], body["timestamp"]["nsec"]))
        if image is not None:
            check_image(image, layout, body["calibrated"])
            matched += 1
    assert matched >= 0.9 * len(samples)


@pytest.mark.parametrize("given", ["none", "layout"])
def test_record_mcap_in_foxglove_schemas_reads_back_exactly(tmp_path, placed, given):
    from mcap.reader import make_reader

    path, layout = placed
    recording = tmp_path / "x.mcap"
    options = ["--layout", path] if given == "layout" else []
    params = example("triaxial_pad_2x2")
    done = feltwise("record", "--simulate", "--params", params, *options, "--count", "100", "-o", recording)
    assert done.returncode == 0, done.stderr
    with open(recording, "rb") as file:
        reader = make_reader(file)
        summary = reader.get_summary()
        schemas = {s.name: json.loads(s.data) for s in summary.schemas.values()}
        assert {s.encoding for s in summary.schemas.values()} == {"jsonschema"}
        assert set(schemas) == {"feltwise.Sample", "foxglove.RawImage"}
        assert "t_host_ns" not in schemas["feltwise.Sample"]["properties"]
        by_topic = {}
        for schema, _, message in reader.iter_messages():
            by_topic.setdefault(schema.name, []).append((message, json.loads(message.data)))
    samples, images = by_topic["feltwise.Sample"], by_topic["foxglove.RawImage"]
    assert len(samples) == len(images) == 100
    shown = layout if given == "layout" else load_layout(params)
    for (message, body), (_, image) in zip(samples, images):
        if given == "layout":
            assert check_sample(body, layout) == message.publish_time, "the stamp exact to the nanosecond"
        assert body["timestamp"] == image["timestamp"] and message.sequence == body["seq"] & 0xFFFFFFFF
        assert all(abs(n) < JS_EXACT for n in numbers_in(image))
        pixels = np.frombuffer(base64.b64decode(image["data"]), dtype="<f4")
        expected = grid_values(shown, np.array(body["calibrated"], dtype=float), False)[0]
        assert pixels.tolist() == expected.astype(np.float32).ravel().tolist()
    assert [body["seq"] for _, body in samples] == list(range(samples[0][1]["seq"], samples[0][1]["seq"] + 100))
    if given == "none":
        assert list(samples[0][1]["values"])[:3] == ["r0c0_x", "r0c0_y", "r0c0_z"]  # the default 2x2 grid


@pytest.mark.parametrize(
    "value, words",
    [("127.0.0.1:http", "not a port: 'http'"), ("127.0.0.1:70000", "port 70000 is outside 0 to 65535")],
)
def test_a_bad_foxglove_address_is_refused(value, words):
    done = feltwise("view", "--simulate", "--foxglove", value)
    assert done.returncode == 2 and words in done.stderr


def test_a_port_in_use_is_said_in_one_line():
    import socket

    pytest.importorskip("foxglove")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = feltwise("view", "--simulate", "--foxglove", f"127.0.0.1:{port}")
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert f"cannot serve Foxglove on 127.0.0.1:{port}" in done.stderr


def test_sigterm_as_soon_as_it_serves_ends_it_cleanly():
    """A signal as the first sample was handed over ended the process with
    SIGABRT (the extension module's first array under a pending signal): the
    view says it serves once a sample is through."""
    pytest.importorskip("foxglove")
    for _ in range(5):
        process = subprocess.Popen(
            [sys.executable, "-m", "feltwise", "view", "--simulate", "--foxglove", "127.0.0.1:0"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            serving_port(process)
        finally:
            process.send_signal(signal.SIGTERM)
            _, err = process.communicate(timeout=COMMAND_TIMEOUT)
        assert process.returncode == 0 and "Traceback" not in err, (process.returncode, err)
