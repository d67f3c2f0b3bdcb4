"""record takes the sensor's samples in batches: the files hold what a sample at a time wrote."""

import signal
import subprocess
import sys

import numpy as np
import pytest
from test_tools_cli import recorded

from feltwise import SimulatedSensor, writers
from feltwise.layout import Layout, Taxel
from feltwise.sample import Batch
from toolrun import Lines, example, feltwise

FORMATS = ["csv", "npz", "mcap"]


def stream(calibrated_width, rows=300):
    """A batch with NaN and infinity, two gaps in seq (5 frames lost in all) and a reconnect."""
    rng = np.random.default_rng(7)
    raw = rng.normal(size=(rows, 6)) * 1e3
    raw[7, 1] = np.inf
    calibrated = rng.normal(size=(rows, calibrated_width))
    if calibrated_width:
        calibrated[5, 2] = np.nan
    seq = np.arange(1, rows + 1, dtype=np.uint64)
    seq[100:] += 3
    seq[200:] += 2
    t_host = (np.arange(rows) * 1_000_000 + 10**12).astype(np.int64)
    reconnects = np.zeros(rows, np.uint32)
    reconnects[150:] = 1
    return Batch(raw, calibrated, seq, t_host, 5, reconnects)


def part(batch, start, stop, dropped):
    return Batch(*(column[start:stop] for column in (batch.raw, batch.calibrated, batch.seq, batch.t_host_ns)),
                 int(dropped[stop - 1]), batch.reconnects[start:stop])  # fmt: skip


def written(fmt, path, calibrated_width, feed):
    layout = Layout(0, 6, calibrated_width, [Taxel(i, i, 0.0) for i in range(calibrated_width)])
    if fmt == "csv":
        writer = writers.CsvWriter(path, 6, calibrated_width, {}, reconnect=True, layout=layout)
    elif fmt == "npz":
        writer = writers.NpzWriter(path, 6, calibrated_width, {"port": "p"}, layout=layout)
    elif fmt == "rosbag2":
        from feltwise.rosbag_writer import BagFolder, Rosbag2Writer

        writer = Rosbag2Writer(BagFolder(str(path)), "s", layout, {"port": "p"})
    else:
        writer = writers.McapWriter(path, 6, calibrated_width, {"port": "p"}, layout=layout)
    writer.clock._offset = 1_700_000_000 * 10**9  # both files on one clock
    feed(writer)
    writer.close()
    if fmt == "csv":
        return path.read_bytes()
    if fmt == "npz":
        return {name: values.tobytes() for name, values in writers.load_npz(path).items()}
    if fmt == "rosbag2":
        from rosbags.rosbag2 import Reader

        with Reader(path) as reader:
            return [(c.topic, stamp, data) for c, stamp, data in reader.messages()]
    from mcap.reader import make_reader

    with open(path, "rb") as file:
        return [
            (c.topic, m.log_time, m.publish_time, m.sequence, m.data) for _, c, m in make_reader(file).iter_messages()
        ]


@pytest.mark.parametrize("calibrated_width", [4, 0], ids=["calibrated", "raw-only"])
@pytest.mark.parametrize("fmt", FORMATS + ["rosbag2"])
def test_a_batch_is_written_as_its_samples_one_at_a_time(tmp_path, fmt, calibrated_width):
    if fmt == "rosbag2":
        pytest.importorskip("rosbags")
    batch = stream(calibrated_width)
    dropped = writers.row_dropped(batch)
    assert dropped[[0, 99, 100, 199, 200, 299]].tolist() == [0, 0, 3, 3, 5, 5]

    def one_at_a_time(writer):
        for i in range(len(batch)):
            writer.write(batch.sample(i)._replace(dropped=int(dropped[i])), 42)

    def batches_and_a_sample(writer):
        writer.write_batch(part(batch, 0, 120, dropped), 42)
        writer.write(batch.sample(120)._replace(dropped=int(dropped[120])), 42)
        writer.write_batch(part(batch, 121, 300, dropped), 42)

    expected = written(fmt, tmp_path / f"rows.{fmt}", calibrated_width, one_at_a_time)
    assert len(expected) > 0
    assert written(fmt, tmp_path / f"batches.{fmt}", calibrated_width, batches_and_a_sample) == expected


def assert_every_frame_once(output, fmt, count=None):
    samples = recorded(output, fmt)
    if count is not None:
        assert len(samples) == count
    # Each frame once, in order; one the recorder fell behind on is counted
    # where it is missing (a loaded machine may make it fall behind).
    first_seq, first_dropped = samples[0][:2]
    assert [seq - first_seq - (dropped - first_dropped) for seq, dropped, *_ in samples] == list(range(len(samples)))


@pytest.mark.parametrize("fmt", FORMATS)
def test_record_count_at_1khz_is_exact(tmp_path, fmt):
    output = tmp_path / f"touch.{fmt}"
    with SimulatedSensor(params=example("taxel_pad_4x4"), rate=1000) as sensor:
        done = feltwise("record", sensor.path, "--params", example("taxel_pad_4x4"), "--count", "1234", "-o", output)
    assert done.returncode == 0, done.stderr
    assert "wrote 1234 samples (16 calibrated, 16 raw values each" in done.stdout
    assert_every_frame_once(output, fmt, 1234)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_record_ended_by_a_signal_mid_batch_keeps_a_whole_file(tmp_path, fmt, sig):
    output = tmp_path / f"touch.{fmt}"
    with SimulatedSensor(params=example("taxel_pad_4x4"), rate=1000) as sensor:
        record = subprocess.Popen(
            [sys.executable, "-m", "feltwise", "record", sensor.path, "--params", example("taxel_pad_4x4")]
            + ["--duration", "24", "-o", output],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            # Ctrl-C reaches the recorder even when the tests run in a shell that ignores it.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
        try:
            Lines(record.stderr).wait_for("25%")  # 6 s of samples, taken a batch at a time
            record.send_signal(sig)
            out, _ = record.communicate(timeout=120)
        finally:
            if record.poll() is None:
                record.kill()
    assert record.returncode == 0
    count = int(out.split("wrote ")[1].split()[0])
    assert count > 1000
    assert_every_frame_once(output, fmt, count)
