"""Sensors over Zenoh and recordings that survive signals: publish, subscribe, MCAP, SIGTERM.

Every Zenoh session here has explicit endpoints on 127.0.0.1 (a free port
per test) with scouting off, so the tests neither send multicast nor meet
another engineer's sessions; every loop has a deadline.
"""

import contextlib
import csv
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from toolrun import example, feltwise, no_traceback

zenoh = pytest.importorskip("zenoh")
from feltwise import payload  # noqa: E402
from feltwise.remote import subscribe  # noqa: E402
from feltwise.sample import Sample  # noqa: E402
from feltwise.writers import load_npz  # noqa: E402


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


@contextlib.contextmanager
def publisher(name, endpoint, params="mixed_pad", rate=1000, duration=60, extra=()):
    """`feltwise publish --simulate` in a child process, listening on endpoint; ends it with SIGTERM."""
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "feltwise",
            "publish",
            "--simulate",
            "--params",
            example(params),
            "--rate",
            str(rate),
            "--name",
            name,
            "--listen",
            endpoint,
            "--duration",
            str(duration),
            *extra,
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        ready, _, _ = select.select([process.stderr], [], [], 60)
        line = process.stderr.readline() if ready else ""
        assert line.startswith("publishing"), line + (process.stderr.read() if process.poll() is not None else "")
        yield process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()


def take(subscription, count, timeout=60):
    samples, deadline = [], time.monotonic() + timeout
    while len(samples) < count and time.monotonic() < deadline:
        sample = subscription.read(1.0)
        if sample is not None:
            samples.append(sample)
    return samples


# --- the payload ------------------------------------------------------------------


@pytest.mark.parametrize("raw, calibrated", [([1000.0, 2.5, 65535.0], [0.25, -1.0]), ([7.0] * 64, []), ([], [])])
def test_payload_round_trips_and_has_its_documented_layout(raw, calibrated):
    sample = Sample(raw, calibrated, seq=2**40 + 3, t_host_ns=1_765_000_000_123_456_789, dropped=2)
    data = payload.encode(sample)
    assert len(data) == 32 + 8 * (len(raw) + len(calibrated))
    assert data[:4] == b"FWS1"
    assert int.from_bytes(data[4:6], "little") == len(raw) and int.from_bytes(data[8:16], "little") == 2**40 + 3
    back = payload.decode(data)
    assert (back.seq, back.t_host_ns, back.dropped) == (sample.seq, sample.t_host_ns, 2)
    assert back.raw.dtype == np.float64 and list(back.raw) == raw and list(back.calibrated) == calibrated


@pytest.mark.parametrize(
    "data, words",
    [
        (b"FWS1", "shorter than the 32-byte header"),
        (b"FWS2" + bytes(28), "magic"),
        (payload.encode(Sample([1.0, 2.0], [], 0, 0))[:-1], "expected 48"),
    ],
)
def test_payload_refuses_what_is_not_a_sample(data, words):
    with pytest.raises(payload.PayloadError, match=words):
        payload.decode(data)


# --- publish and subscribe over loopback ---------------------------------------------


def test_a_subscriber_sees_every_seq_gets_info_late_and_zeroes_remotely():
    endpoint = free_endpoint()
    with publisher("pad", endpoint) as process:
        with subscribe("pad", connect=[endpoint]) as subscription:
            samples = take(subscription, 3000)
            assert len(samples) == 3000
            seqs = np.array([s.seq for s in samples])
            assert np.all(np.diff(seqs) == 1), "no seq gap at 1 kHz over loopback"
            assert sum(s.dropped for s in samples[1:]) == 0
            assert samples[-1].raw.shape == (10,) and samples[-1].calibrated.shape == (9,)
            latency_ms = (time.monotonic_ns() - samples[-1].t_host_ns) / 1e6
            assert 0 <= latency_ms < 5000
            subscription.zero()
            assert take(subscription, 10), "samples go on after a remote zero"
        # Late: the publisher has been streaming for seconds when this one starts.
        with subscribe("pad", connect=[endpoint]) as late:
            info = late.info(timeout=10)
            assert take(late, 5)
    _, err = process.communicate(timeout=30)
    assert info["protocol"] == 3 and info["raw_channels"] == 10 and info["calibrated_outputs"] == 9
    assert info["format"] == "FWS1" and info["parameters"]["file"] == "mixed_pad.msgpack"
    assert "7 records" in info["parameters"]["summary"]
    assert "zeroed 1 times on request" in err


def test_no_publisher_means_no_info_and_a_failed_zero_in_one_line():
    endpoint = free_endpoint()
    done = feltwise("stream", "zenoh:nobody", "--listen", endpoint, "--duration", "1")
    assert done.returncode == 1 and no_traceback(done)
    assert "no publisher answers for zenoh:nobody" in done.stderr


def test_stream_view_and_record_a_published_sensor(tmp_path):
    from mcap.reader import make_reader

    endpoint = free_endpoint()
    remote = ["zenoh:left", "--connect", endpoint]
    with publisher("left", endpoint):
        streamed = feltwise("stream", *remote, "--duration", "2", "--zero")
        png = tmp_path / "left.png"
        viewed = feltwise("view", *remote, "--after", "0.5", "--snapshot", png)
        recording = tmp_path / "left.mcap"
        recorded = feltwise("record", *remote, "--count", "2000", "-o", recording)
    assert streamed.returncode == 0, streamed.stderr
    assert "zenoh:left  protocol 3  calibrated  zeroed" in streamed.stdout
    assert "latency" in streamed.stdout and "dropped" not in streamed.stdout
    assert viewed.returncode == 0, viewed.stderr
    assert png.read_bytes().startswith(b"\x89PNG") and png.stat().st_size > 10000
    assert recorded.returncode == 0, recorded.stderr
    assert "wrote 2000 samples (9 calibrated, 10 raw values each" in recorded.stdout
    with open(recording, "rb") as file:
        reader = make_reader(file)
        summary = reader.get_summary()
        assert [c.topic for c in summary.channels.values()] == ["/feltwise/left"]
        assert [(s.name, s.encoding) for s in summary.schemas.values()] == [("feltwise.Sample", "jsonschema")]
        assert summary.statistics.message_count == 2000
        seqs = [message.sequence for _, _, message in reader.iter_messages()]
        assert np.all(np.diff(seqs) == 1), "no seq gap"
        metadata = {m.name: m.metadata for m in reader.iter_metadata()}
        assert "7 records" in metadata["feltwise.parameters"]["summary"]
        assert metadata["feltwise.host"]["hostname"] == socket.gethostname()
        attachments = list(reader.iter_attachments())
        assert attachments[0].data == open(example("mixed_pad"), "rb").read()


def test_record_mcap_from_a_local_sensor_reads_back():
    import json

    from mcap.reader import make_reader

    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"feltwise-{os.getpid()}.mcap")
    try:
        done = feltwise("record", "--simulate", "--params", example("taxel_pad_4x4"), "--count", "50", "-o", path)
        assert done.returncode == 0, done.stderr
        with open(path, "rb") as file:
            messages = [
                (channel.message_encoding, json.loads(message.data))
                for _, channel, message in make_reader(file).iter_messages()
            ]
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
    assert len(messages) == 50 and {encoding for encoding, _ in messages} == {"json"}
    seqs = [m["seq"] for _, m in messages]
    assert seqs == list(range(seqs[0], seqs[0] + 50)), "the library's seq: every frame, no gap"
    assert len(messages[0][1]["raw"]) == 16 and len(messages[0][1]["calibrated"]) == 16


# --- signals -------------------------------------------------------------------------------


def processes_running(word):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                if word.encode() in file.read():
                    found.append(int(pid))
    return found


def first_line_within(process, timeout=60):
    ready, _, _ = select.select([process.stderr], [], [], timeout)
    return process.stderr.readline() if ready else ""


@pytest.mark.parametrize("fmt", ["csv", "npz", "mcap"])
def test_sigterm_during_record_leaves_a_whole_file_and_no_process(tmp_path, fmt):
    from mcap.reader import make_reader

    params = tmp_path / "signal_pad.msgpack"  # a name to find the simulator's process by
    shutil.copy(example("taxel_pad_4x4"), params)
    output = tmp_path / f"touch.{fmt}"
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "feltwise",
            "record",
            "--simulate",
            "--params",
            params,
            "--duration",
            "30",
            "-o",
            output,
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not processes_running(str(params)):
            time.sleep(0.05)
        time.sleep(3.0)
        signalled_ns = time.time_ns()
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err  # as for Ctrl-C
    assert "wrote" in out and "Traceback" not in err
    if fmt == "csv":
        with open(output, newline="") as file:
            times = [float(row[0]) * 1e9 for row in list(csv.reader(file))[1:]]
    elif fmt == "npz":
        times = load_npz(output)["unix_time"] * 1e9
    else:
        with open(output, "rb") as file:
            times = [message.publish_time for _, _, message in make_reader(file).iter_messages()]
    assert len(times) > 50
    assert times[-1] >= signalled_ns - 1e9, "at most the last second lost"
    assert not processes_running(str(params)), "the simulated sensor ended with the recording"


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGHUP])
def test_signals_end_stream_as_ctrl_c_does(signal_number):
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "stream", "--simulate", "--protocol", "1", "--every", "0.2"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        ready, _, _ = select.select([process.stdout], [], [], 60)
        assert ready and process.stdout.readline()
        time.sleep(1.0)
        process.send_signal(signal_number)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err
    assert "streamed" in out and "Traceback" not in err
