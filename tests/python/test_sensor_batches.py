"""Sensor.read_batch and samples(batch=True): every queued sample at once, as arrays."""

import json
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import binary_frame, taxel_record, wait_until
from feltwise import Sensor
from feltwise.errors import DeviceLostError, SensorClosedError
from feltwise.sample import Batch
from paced_line import PacedLine


def frames(first, count):
    """Frames first..first+count-1, frame k carrying [k, 7, 9]."""
    return [binary_frame([k, 7, 9]) for k in range(first, first + count)]


def await_frame(sensor, last):
    """Reads newest samples until frame `last` was handed off; returns how many reads took one."""
    reads = 0
    for _ in range(200):
        sample = sensor.read(timeout=0.05)
        if sample is not None:
            reads += 1
            if sample.raw[0] == last:
                return reads
    raise AssertionError(f"frame {last} never arrived")


def take_rows(sensor, count, **kwargs):
    """Batches off `sensor` until `count` rows came; the batches."""
    batches = []
    while sum(len(b) for b in batches) < count:
        batch = sensor.read_batch(timeout=5.0, **kwargs)
        assert len(batch), "the stream ended early"
        batches.append(batch)
    return batches


@pytest.mark.parametrize("paced", [False, True], ids=["instant", "paced"])
@pytest.mark.parametrize("calibrated", [False, True], ids=["raw", "calibrated"])
def test_every_frame_arrives_in_order_as_arrays_with_its_stamp(sensor, param_file, paced, calibrated):
    count = 150
    params = param_file(1, [taxel_record(i, i, coefs=(0.0, 2.0)) for i in range(3)]) if calibrated else None
    with Sensor(sensor.path, params, queue=256) as device:
        line = PacedLine(sensor, frames(0, count), period=0.001) if paced else None
        if not paced:
            sensor.send(b"".join(frames(0, count)))
        batches = take_rows(device, count)
        if line:
            line.result()
        empty = device.read_batch(timeout=0)
    for batch in batches:
        assert isinstance(batch, Batch)
        assert batch.raw.dtype == np.float64 and batch.raw.shape == (len(batch), 3)
        assert batch.calibrated.shape == (len(batch), 3 if calibrated else 0)
        assert (batch.seq.dtype, batch.t_host_ns.dtype, batch.reconnects.dtype) == (np.uint64, np.int64, np.uint32)
        assert batch.dropped == 0
    raw = np.concatenate([b.raw for b in batches])
    assert raw[:, 0].tolist() == list(range(count)) and (raw[:, 1:] == [7, 9]).all()
    if calibrated:
        assert (np.concatenate([b.calibrated for b in batches]) == 2 * raw).all()
    assert np.concatenate([b.seq for b in batches]).tolist() == list(range(1, count + 1))
    stamps = np.concatenate([b.t_host_ns for b in batches])
    assert (np.diff(stamps) >= 0).all() and stamps[0] <= time.monotonic_ns()
    assert not np.concatenate([b.reconnects for b in batches]).any()
    # The row as a Sample is the sample read would have given.
    last = batches[-1].sample(len(batches[-1]) - 1)
    assert (last.seq, last.raw.tolist(), last.dropped) == (count, [count - 1, 7, 9], 0)
    # Nothing more: an empty batch that keeps the widths.
    assert len(empty) == 0 and empty.raw.shape == (0, 3) and empty.calibrated.shape == (0, 3 if calibrated else 0)


def test_a_full_queue_keeps_the_newest_and_counts_what_it_pushed_out(sensor):
    with Sensor(sensor.path, queue=8) as device:
        sensor.send(b"".join(frames(0, 40)))
        await_frame(device, 39)
        first = device.read_batch(max_samples=5)
        rest = device.read_batch()
    assert first.seq.tolist() == [33, 34, 35, 36, 37] and first.dropped == 32
    assert rest.seq.tolist() == [38, 39, 40] and rest.raw[:, 0].tolist() == [37, 38, 39]
    # Every frame was taken or counted.
    assert rest.seq[-1] == len(first) + len(rest) + rest.dropped


def test_without_a_queue_a_batch_is_the_newest_sample(sensor):
    with Sensor(sensor.path) as device:
        sensor.send(b"".join(frames(0, 10)))
        reads = await_frame(device, 9)
        sensor.send(frames(10, 1)[0])
        batch = device.read_batch(timeout=5.0)
    assert batch.raw.tolist() == [[10, 7, 9]] and batch.seq.tolist() == [11]
    assert batch.seq[0] == reads + 1 + batch.dropped


def test_min_samples_waits_for_that_many_and_a_time_out_gives_what_came(sensor):
    with Sensor(sensor.path, queue=64) as device:
        line = PacedLine(sensor, frames(0, 30), period=0.002)
        whole = device.read_batch(timeout=10.0, min_samples=30)
        line.result()
        sensor.send(b"".join(frames(30, 2)))
        partial = device.read_batch(timeout=0.3, min_samples=50)
        silent = device.read_batch(timeout=0.1)
        batches = list(device.samples(timeout=0.1, batch=True))
    assert whole.seq.tolist() == list(range(1, 31))
    assert partial.seq.tolist() == [31, 32]
    assert len(silent) == 0 and batches == []


def test_samples_yields_batches_until_the_time_out(sensor):
    with Sensor(sensor.path, queue=256) as device:
        line = PacedLine(sensor, frames(0, 100), period=0.001)
        batches = list(device.samples(timeout=1.0, batch=True, min_samples=10))
        line.result()
    assert all(isinstance(b, Batch) and len(b) for b in batches)
    assert np.concatenate([b.seq for b in batches]).tolist() == list(range(1, 101))


def test_close_ends_a_batch_wait_in_another_thread_and_every_call_after_it(sensor):
    device = Sensor(sensor.path, queue=16)
    raised = []

    def wait():
        try:
            device.read_batch(timeout=60.0)
        except SensorClosedError as error:
            raised.append(error)

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.1)
    device.close()
    waiter.join(timeout=10)
    assert not waiter.is_alive() and len(raised) == 1
    with pytest.raises(SensorClosedError):
        device.read_batch(timeout=0)


def test_an_unplugged_device_is_lost_after_its_queued_rows(sensor):
    with Sensor(sensor.path, queue=16) as device:
        sensor.send(b"".join(frames(0, 4)))
        await_frame(device, 3)
        sensor.unplug()
        rows = 0
        with pytest.raises(DeviceLostError):
            for _ in range(100):
                rows += len(device.read_batch(timeout=0.1))
    assert rows == 4


def test_rows_after_a_reconnect_carry_one_more(replug_port):
    with Sensor(replug_port.path, queue=64, reconnect=True) as device:
        replug_port.device.send(b"".join(frames(0, 5)))
        before = take_rows(device, 5)
        replug_port.unplug()
        assert wait_until(lambda: not device.is_connected())
        assert len(device.read_batch(timeout=0.3)) == 0  # waits, does not raise
        replug_port.replug()
        assert wait_until(device.is_connected, timeout=5.0)
        replug_port.device.send(b"".join(frames(5, 5)))
        after = take_rows(device, 5)
    rows = before + after
    assert np.concatenate([b.raw[:, 0] for b in rows]).tolist() == list(range(10))
    assert np.concatenate([b.reconnects for b in rows]).tolist() == [0] * 5 + [1] * 5
    assert np.concatenate([b.seq for b in rows]).tolist() == list(range(1, 11))


@pytest.mark.parametrize(
    "arguments", [{"max_samples": 0}, {"max_samples": 1.5}, {"min_samples": 0}, {"timeout": float("nan")}]
)
def test_arguments_that_cannot_work_are_refused(sensor, arguments):
    with Sensor(sensor.path, queue=4) as device, pytest.raises(ValueError):
        device.read_batch(**arguments)


# A sensor streams 2,000 frames/s into a queue that never overflows; the main
# thread iterates batches when SIGINT comes. Prints the (seq, dropped) of
# every row it was given, before and after the interrupt.
INTERRUPTED_BATCHES = """
import json, os, signal, struct, subprocess, sys, threading, time, tty
import feltwise

# A test run started in the background inherits SIGINT ignored; Ctrl-C is what this tests.
signal.signal(signal.SIGINT, signal.default_int_handler)

master, slave = os.openpty()
tty.setraw(master)
sensor = feltwise.Sensor(os.ttyname(slave), queue=8192)


def stream():
    k = 0
    while True:
        os.write(master, struct.pack("<HHH", 0xFFFF, 1, k % 65536))
        k += 1
        time.sleep(0.0005)


def rows(batch):
    return [(int(seq), batch.dropped) for seq in batch.seq]


threading.Thread(target=stream, daemon=True).start()
killer = subprocess.Popen([sys.executable, "-c",
    "import os, signal, sys, time; time.sleep(0.3); os.kill(int(sys.argv[1]), signal.SIGINT)", str(os.getpid())])
given = []
batch = None
try:
    for batch in sensor.samples(timeout=5.0, batch=True, min_samples=3):
        given.extend(rows(batch))
except KeyboardInterrupt:
    # Given to the loop, but interrupted before the loop's body recorded all of it.
    if batch is not None:
        given.extend(row for row in rows(batch) if not given or row[0] > given[-1][0])
killer.wait()
while len(given) < 400:
    given.extend(rows(sensor.read_batch(timeout=2.0)))
print(json.dumps(given))
"""


def test_ctrl_c_during_batches_takes_no_sample_off_the_queue():
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", INTERRUPTED_BATCHES], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        given = json.loads(done.stdout)
        # Each seq follows the one before, or the gap is counted in dropped.
        assert all(b[0] - a[0] - 1 == b[1] - a[1] for a, b in zip(given, given[1:]))
