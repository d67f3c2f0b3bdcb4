"""feltwise.Sensor end to end: a sensor on a pseudo-terminal, played by another process."""

import asyncio
import json
import os
import subprocess
import sys
import threading
import time

import msgpack
import numpy as np
import pytest

import feltwise
from conftest import SensorProcess, binary_frame, taxel_record, wait_until
from feltwise import Sample, Sensor

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "params")

# Sends arg[0] frames at arg[1] frames/s on an absolute schedule; value 0 of
# frame k is k. Every arg[2] frames it prints the time (monotonic ns) at which
# it wrote a frame, so the test can hold the frame's stamp against it.
PACED_COUNTER = """
count, rate = arg
start = time.monotonic()
for k in range(count):
    delay = start + k / rate - time.monotonic()
    if delay > 0:
        time.sleep(delay)
    os.write(fd, struct.pack("<HHHH", 0xFFFF, 2, k, 7))
print(count)
"""


def counter_stream(sensor, count, rate):
    return SensorProcess(sensor, PACED_COUNTER, (count, rate))


@pytest.fixture
def figures():
    """Figures a test measured, printed at the end of its run (pytest -s shows them)."""
    found = {}
    yield found
    if found:
        print("\nFIGURES", " ".join(f"{key}={value}" for key, value in found.items()))


def test_a_read_on_a_silent_sensor_lets_other_threads_run(sensor, figures):
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.wait(0.01):
            ticks += 1

    ticker = threading.Thread(target=tick)
    with Sensor(sensor.path) as silent:
        ticker.start()
        started = time.monotonic()
        assert silent.read(timeout=2.0) is None
        waited = time.monotonic() - started
        stop.set()
        ticker.join()
    figures.update(ticks_during_2s_read=ticks, read_returned_after_s=round(waited, 3))
    assert waited >= 2.0
    # Ideally 200 (one per 10 ms); the interpreter lock held for the read would give 0 or 1.
    assert ticks >= 50


def test_the_queue_delivers_every_frame_to_a_consumer_that_pauses(sensor, figures):
    # A queue that holds the whole stream: on a loaded machine the consumer may fall
    # behind by any number of frames, and none of them may go missing.
    with Sensor(sensor.path, queue=4096) as streaming:
        sender = counter_stream(sensor, 2000, 1000.0)
        seqs, counters, dropped = [], [], []
        for sample in streaming.samples(timeout=30.0):
            seqs.append(sample.seq)
            counters.append(int(sample.raw[0]))
            dropped.append(sample.dropped)
            if len(seqs) % 100 == 0:
                time.sleep(0.005)
            if len(seqs) == 2000:
                break
        sender.result(timeout=30)
    figures.update(frames=len(seqs), last_seq=seqs[-1], dropped=dropped[-1])
    assert seqs == list(range(1, 2001))
    assert counters == list(range(2000))
    assert dropped[-1] == 0


def test_dropped_counts_what_a_newest_sample_reader_missed(sensor):
    with Sensor(sensor.path, queue=4) as streaming:
        sender = counter_stream(sensor, 600, 1000.0)
        taken = []
        while True:
            sample = streaming.read(timeout=1.0)
            if sample is None:
                break
            taken.append(sample)
            time.sleep(0.02)
        sender.result(timeout=30)
        # The small queue overflowed all along, and says so.
        queued = list(streaming.samples(timeout=0.2))
    assert len(taken) < 600
    for before, after in zip(taken, taken[1:]):
        assert after.dropped - before.dropped == after.seq - before.seq - 1
        assert after.raw[0] == after.seq - 1  # raw values of that very frame
    assert taken[-1].seq == 600
    assert taken[-1].seq == len(taken) + taken[-1].dropped
    assert [s.seq for s in queued] == [597, 598, 599, 600]
    assert queued[-1].dropped == 596


def test_time_stamps_are_monotonic_and_taken_when_the_frame_arrives(sensor, figures):
    offsets = []
    with Sensor(sensor.path) as streaming:
        stamps = []
        for k in range(20):
            before = time.monotonic_ns()
            sensor.send(binary_frame([k, 1]))
            sample = streaming.read(timeout=2.0)
            after = time.monotonic_ns()
            assert sample is not None and sample.raw[0] == k
            assert before <= sample.t_host_ns <= after
            offsets.append(sample.t_host_ns - before)
            stamps.append(sample.t_host_ns)
            time.sleep(0.005)
    assert stamps == sorted(stamps)
    figures.update(
        stamp_after_write_us_median=int(np.median(offsets)) // 1000, stamp_after_write_us_max=max(offsets) // 1000
    )


def test_samples_carry_raw_and_calibrated_values_of_one_frame(sensor, param_file):
    params = param_file(1, [taxel_record(0, 0, coefs=(1.0, 2.0)), taxel_record(1, 2)])
    with Sensor(sensor.path, params) as calibrated:
        for k in range(1, 30):
            sensor.send(binary_frame([k, 100 + k]))
        samples = list(calibrated.samples(timeout=0.5))  # queue=0: the newest each time
    assert samples
    for sample in samples:
        assert isinstance(sample, Sample)
        assert sample.raw.dtype == np.float64 and sample.calibrated.dtype == np.float64
        k = sample.raw[0]
        np.testing.assert_array_equal(sample.raw, [k, 100 + k])
        np.testing.assert_array_equal(sample.calibrated, [1 + 2 * k, 0, 100 + k])


def test_several_sensors_read_in_threads_and_through_asyncio(figures):
    with (
        feltwise.SimulatedSensor(version=1, channels=4, rate=200) as first,
        feltwise.SimulatedSensor(version=0, channels=3, rate=200) as second,
    ):
        with Sensor(first.path) as a, Sensor(second.path, protocol=0) as b:
            results = {}

            def collect(name, sensor):
                results[name] = [sensor.read(timeout=2.0) for _ in range(20)]

            threads = [threading.Thread(target=collect, args=item) for item in (("a", a), ("b", b))]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert all(s is not None and len(s.raw) == 4 for s in results["a"])
            assert all(s is not None and len(s.raw) == 3 for s in results["b"])

            async def both():
                return await asyncio.gather(asyncio.to_thread(a.read, 2.0), asyncio.to_thread(b.read, 2.0))

            from_a, from_b = asyncio.run(both())
            assert len(from_a.raw) == 4 and len(from_b.raw) == 3


# --- errors -----------------------------------------------------------------------


def test_a_busy_port_raises_the_port_error_naming_the_cause(sensor):
    with Sensor(sensor.path):
        with pytest.raises(feltwise.PortError) as refused:
            Sensor(sensor.path)
    error = refused.value
    assert isinstance(error, RuntimeError)
    assert error.cause == "busy" and error.port == sensor.path
    assert str(error).startswith(f"Cannot open serial port: {sensor.path}: busy")
    assert error.strerror and "busy" in error.detail


def test_a_missing_port_raises_the_port_error_with_errno(tmp_path):
    with pytest.raises(feltwise.PortError) as refused:
        Sensor(str(tmp_path / "ttyUSB9"))
    assert refused.value.cause == "missing"
    assert refused.value.errno == 2 and "No such file" in refused.value.strerror


@pytest.mark.parametrize("kind", ["/dev/null", "directory", "file"])
def test_what_is_no_serial_port_says_so_and_names_no_source_file(tmp_path, kind):
    from feltwise_comm_py import FeltwiseComms

    path = {"/dev/null": "/dev/null", "directory": str(tmp_path), "file": str(tmp_path / "notes.txt")}[kind]
    (tmp_path / "notes.txt").write_text("not a port")
    with pytest.raises(feltwise.PortError) as refused:
        Sensor(path)
    error = refused.value
    assert error.cause == "not a serial port"
    assert str(error).startswith(f"Cannot open serial port: {path}: not a serial port")
    assert ".cpp" not in str(error) + error.detail and "line" not in error.detail
    comms = FeltwiseComms()
    comms.init()
    with pytest.raises(RuntimeError, match=f"^Cannot open serial port: {path}$"):
        comms.connect(path)


def test_feltwise_comms_keeps_its_plain_message_for_the_same_port(sensor):
    from feltwise_comm_py import FeltwiseComms

    with Sensor(sensor.path):
        comms = FeltwiseComms()
        comms.init()
        with pytest.raises(RuntimeError) as refused:
            comms.connect(sensor.path)
    assert type(refused.value) is RuntimeError
    assert str(refused.value) == f"Cannot open serial port: {sensor.path}"


@pytest.mark.parametrize("name", ["missing.msgpack", "3_missing.msgpack"])
def test_a_parameter_file_that_does_not_load_raises_parameter_file_error(sensor, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(feltwise.ParameterFileError, match="Cannot find sensor parameter file") as refused:
        Sensor(sensor.path, name)
    assert refused.value.path == name


def test_a_refused_record_is_named_with_its_place_and_field(sensor, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    record = {"SensorParameters": {"sensor_type": 1, "input_map": {0: 0}, "output_map": {0: 0}}, "coefs": [1.0]}
    (tmp_path / "pad.msgpack").write_bytes(msgpack.packb([1, [record, dict(record, coefs="1, 2")]]))
    with pytest.raises(feltwise.ParameterFileError) as refused:
        Sensor(sensor.path, "pad.msgpack")
    assert str(refused.value) == "pad.msgpack: bad cast"
    assert (refused.value.path, refused.value.record, refused.value.field) == ("pad.msgpack", 1, "coefs")


def test_register_errors_carry_their_status_and_time_outs_their_own_class(sensor):
    with feltwise.SimulatedSensor(version=4, channels=4) as simulated:
        with Sensor(simulated.path, protocol=4) as device:
            assert device.read_register(0x0002, 0) == bytes([4])
            device.write_register(0x0100, 0, b"\x01\x02")
            assert device.read_register(0x0100, 0) == b"\x01\x02"
            with pytest.raises(feltwise.RegisterError) as refused:
                device.read_register(0x7777, 0)
            assert refused.value.status == 2
            with pytest.raises(feltwise.RegisterError) as refused:
                device.write_register(0x0000, 0, b"x")
            assert refused.value.status == 3
    with Sensor(sensor.path, protocol=4) as silent:
        with pytest.raises(feltwise.RegisterTimeoutError, match="^Register read timeout$"):
            silent.read_register(1, 0, timeout=0.1)


def test_an_unplugged_sensor_raises_device_lost_after_its_last_sample(sensor):
    with Sensor(sensor.path) as streaming:
        sensor.send(binary_frame([5, 6]))
        time.sleep(0.2)
        sensor.unplug()
        assert streaming.read(timeout=2.0).raw[0] == 5
        with pytest.raises(feltwise.DeviceLostError):
            streaming.read(timeout=5.0)
        with pytest.raises(feltwise.DeviceLostError, match="^Serial port is not open$"):
            streaming.read_register(1, 0)
        assert not streaming.is_connected()
        assert "lost" in repr(streaming)


# --- what zero() and the library tell ------------------------------------------------

# Streams frames at arg frames/s until killed.
STREAM_AT = """
while True:
    os.write(fd, struct.pack("<HHHH", 0xFFFF, 2, 1, 2))
    time.sleep(1.0 / arg)
"""


# Streams runs of arg[0] frames at 100 frames/s with a pause of arg[1] s between
# them, until killed: a fast sensor as a process that is not always scheduled
# (a loaded machine) sees it.
STREAM_WITH_STALLS = """
run, pause = arg
while True:
    for _ in range(run):
        os.write(fd, struct.pack("<HHHH", 0xFFFF, 2, 1, 2))
        time.sleep(0.01)
    time.sleep(pause)
"""


def test_zero_takes_a_stall_between_two_samples_of_a_fast_sensor(sensor):
    # 20 samples need two runs of 15, with a pause of 100 ms (twice the 50 ms of the
    # old rule) between them; some 60 samples/s on average.
    stalling = SensorProcess(sensor, STREAM_WITH_STALLS, (15, 0.1))
    try:
        with Sensor(sensor.path) as streaming:
            streaming.zero()
            assert streaming.read(timeout=5.0) is not None
    finally:
        stalling.stop()


def test_zero_says_why_it_failed(sensor, replug_port):
    with Sensor(sensor.path) as silent:
        with pytest.raises(feltwise.SensorError, match="no sample arrived") as failed:
            silent.zero()
        assert str(failed.value).startswith("Could not zero the sensor: ")
    slow_stream = SensorProcess(sensor, STREAM_AT, 12)
    try:
        with Sensor(sensor.path) as slow:
            with pytest.raises(
                feltwise.SensorError,
                match=r"^Could not zero the sensor: \d+ of 20 samples arrived in time; the sensor streams ",
            ):
                slow.zero()
    finally:
        slow_stream.stop()
    with Sensor(replug_port.path) as lost:
        replug_port.unplug()
        assert wait_until(lambda: not lost.is_connected())
        with pytest.raises(feltwise.DeviceLostError, match="^Could not zero the sensor: the port failed"):
            lost.zero()
    replug_port.replug()
    with Sensor(replug_port.path, reconnect=True) as away:
        replug_port.unplug()
        assert wait_until(lambda: not away.is_connected())
        with pytest.raises(feltwise.SensorError, match="the device is unplugged") as failed:
            away.zero()
        assert not isinstance(failed.value, feltwise.DeviceLostError)


# The library's notices, through Sensor: a unit whose channel the sensor does
# not send, and a protocol-3 device's error line. Python's logging shows them
# on stderr; nothing reaches the process's standard output (fd 1).
NOTICES = r"""
import logging, os, sys, time, tty
import feltwise

logging.basicConfig(level=logging.WARNING, format="%(name)s %(levelname)s %(message)s")
master, slave = os.openpty()
tty.setraw(master)
port = os.ttyname(slave)
with feltwise.Sensor(port, sys.argv[1]) as sensor:
    for _ in range(3):
        os.write(master, b"E03 over\x1b[2Jheat\n1.5,2.5\n")
        assert sensor.read(timeout=2.0) is not None
    time.sleep(0.1)
"""


def test_the_librarys_notices_go_to_logging_naming_the_port_and_unit(param_file):
    # Unit 1 reads channel 5; the device sends 2 values a line.
    params = param_file(3, [taxel_record(0, 0), taxel_record(5, 1)])
    done = subprocess.run([sys.executable, "-c", NOTICES, params], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    unplugged = [line for line in lines if "not plugged in" in line]
    assert len(unplugged) == 1
    assert unplugged[0].startswith("feltwise WARNING /dev/")
    assert unplugged[0].endswith(
        ": unit 1 (TaxelPolyfitModel, output 1) is configured but not plugged in: "
        "it reads raw channel 5, the sensor sends 2 values"
    )
    device_lines = [line for line in lines if "device error line" in line]
    assert len(device_lines) == 3
    assert device_lines[0].endswith(": device error line: E03 over\\x1b[2Jheat")


# --- reconnect --------------------------------------------------------------------


def stream_at_rest(device, stop):
    """Frames [100, 0] every 2 ms until `stop` is set: the sensor at rest."""
    while not stop.is_set():
        device.send(binary_frame([100, 0]))
        time.sleep(0.002)


def take_until(samples, last_counter):
    """Samples off the iterator up to the one whose raw[1] is `last_counter`."""
    taken = []
    for sample in samples:
        taken.append(sample)
        if sample.raw[1] == last_counter:
            return taken
    raise AssertionError(f"the stream ended before counter {last_counter}: {[s.raw[1] for s in taken]}")


def test_an_unplug_and_replug_behind_a_moved_symlink_costs_a_gap_and_nothing_else(replug_port, param_file, figures):
    params = param_file(1, [taxel_record(0, 0, coefs=(0.0, 1.0))])
    with Sensor(replug_port.path, params, queue=256, reconnect=True) as device:
        stop = threading.Event()
        rest = threading.Thread(target=stream_at_rest, args=(replug_port.device, stop))
        rest.start()
        try:
            device.zero()  # the offset becomes 100
        finally:
            stop.set()
            rest.join()
        samples = device.samples(timeout=2.0)
        # What the rest stream left in the queue.
        before = list(device.samples(timeout=0.3))

        for k in range(1, 51):
            replug_port.device.send(binary_frame([100 + k, k]))
        first = take_until(samples, 50)

        replug_port.unplug()
        assert wait_until(lambda: not device.is_connected())
        assert list(device.samples(timeout=0.3)) == []  # waits, does not raise
        assert "reconnecting" in repr(device)
        unplugged = time.monotonic()
        replug_port.replug()
        assert wait_until(device.is_connected, timeout=5.0)
        figures.update(replug_to_connected_s=round(time.monotonic() - unplugged, 3))

        for k in range(51, 101):
            replug_port.device.send(binary_frame([100 + k, k]))
        second = take_until(samples, 100)
        assert device.reconnects == 1

    taken = first + second
    assert [s.raw[1] for s in taken] == list(range(1, 101))
    # seq counts on across the gap; nothing was dropped or lost.
    start = taken[0].seq
    assert [s.seq for s in taken] == list(range(start, start + 100))
    assert before == [] or before[-1].seq == start - 1
    assert all(s.dropped == 0 for s in taken)
    assert [s.reconnects for s in first] == [0] * 50 and [s.reconnects for s in second] == [1] * 50
    # The zero offset survived the reconnect: the same models go on.
    assert [s.calibrated[0] for s in taken] == [float(k) for k in range(1, 101)]
    assert second[0].t_host_ns - first[-1].t_host_ns >= 0.3e9  # the gap shows in the stamps


def test_close_stops_a_sensor_waiting_for_its_device(replug_port):
    device = Sensor(replug_port.path, reconnect=True)
    replug_port.unplug()
    assert wait_until(lambda: not device.is_connected())
    ended = []

    def follow():
        try:
            for _ in device.samples(timeout=None):
                pass
        except feltwise.SensorError as error:
            ended.append(error)

    follower = threading.Thread(target=follow)
    follower.start()
    time.sleep(0.6)  # a few retries of a port that stays away
    assert follower.is_alive() and device.reconnects == 0
    started = time.monotonic()
    device.close()
    follower.join(timeout=5.0)
    assert time.monotonic() - started < 2.0
    assert not follower.is_alive() and isinstance(ended[0], feltwise.SensorClosedError)
    # A device that comes back after close finds nobody reopening it.
    replug_port.replug()
    time.sleep(0.4)
    assert not device.is_connected() and device.reconnects == 0


def test_close_from_another_thread_ends_a_waiting_read(sensor):
    silent = Sensor(sensor.path, queue=8)
    threading.Timer(0.3, silent.close).start()
    started = time.monotonic()
    with pytest.raises(feltwise.SensorClosedError):
        list(silent.samples(timeout=None))
    assert time.monotonic() - started < 5.0
    assert silent.closed and not silent.is_connected()
    closers = [threading.Thread(target=silent.close) for _ in range(4)]
    for closer in closers:
        closer.start()
    for closer in closers:
        closer.join()
    with pytest.raises(feltwise.SensorClosedError):
        silent.read(timeout=0)
    assert "closed" in repr(silent)


@pytest.mark.parametrize(
    "protocol, call",
    [
        (4, lambda device: device.read_register(1, 0, timeout=8.0)),
        (3, lambda device: device.write_register(1, 0, b"\x01", timeout=8.0)),
        (1, lambda device: device.zero()),
    ],
    ids=["read_register", "write_register", "zero"],
)
def test_close_ends_a_request_waiting_in_another_thread_with_sensor_closed(sensor, figures, protocol, call):
    device = Sensor(sensor.path, protocol=protocol)
    ended = []

    def request():
        started = time.monotonic()
        try:
            call(device)
        except Exception as error:  # noqa: BLE001 - the test looks at what it was
            ended.append((error, time.monotonic() - started))

    waiting = threading.Thread(target=request)
    waiting.start()
    time.sleep(0.3)
    started = time.monotonic()
    device.close()
    closing = time.monotonic() - started
    waiting.join(timeout=10.0)
    error, waited = ended[0]
    figures.update(close_s=round(closing, 3), request_ended_after_s=round(waited, 3))
    assert isinstance(error, feltwise.SensorClosedError), repr(error)
    # A time-out would have come after 8 s (zero: 0.55 s, as a failure to zero).
    assert waited < 4.0


# A sensor streams 2,000 frames/s into a queue that never overflows; the main
# thread iterates samples() when SIGINT comes. Prints the (seq, dropped) of
# every sample it was given, before and after the interrupt.
INTERRUPTED_SAMPLES = """
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


threading.Thread(target=stream, daemon=True).start()
killer = subprocess.Popen([sys.executable, "-c",
    "import os, signal, sys, time; time.sleep(0.3); os.kill(int(sys.argv[1]), signal.SIGINT)", str(os.getpid())])
given = []
sample = None
try:
    for sample in sensor.samples(timeout=5.0):
        given.append((sample.seq, sample.dropped))
except KeyboardInterrupt:
    # Given to the loop, but interrupted before the loop's body recorded it.
    if sample is not None and (not given or given[-1][0] != sample.seq):
        given.append((sample.seq, sample.dropped))
killer.wait()
given += [(s.seq, s.dropped) for _, s in zip(range(50), sensor.samples(timeout=2.0))]
print(json.dumps(given))
"""


def test_ctrl_c_during_samples_takes_no_sample_off_the_queue(figures):
    lost_runs = 0
    for _ in range(20):
        done = subprocess.run([sys.executable, "-c", INTERRUPTED_SAMPLES], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        given = json.loads(done.stdout)
        assert len(given) > 100
        # Each seq follows the one before, or the gap is counted in dropped.
        if any(b[0] - a[0] - 1 != b[1] - a[1] for a, b in zip(given, given[1:])):
            lost_runs += 1
    figures.update(runs=20, runs_that_lost_a_sample=lost_runs)
    assert lost_runs == 0


# The parent opens a streaming sensor and forks. The child finds it closed,
# and exits normally (its exit hook runs); the parent still streams, still
# holds the port's lock, and once it closes the sensor can open the port
# again while the child still lives.
FORKED = """
import os, struct, sys, threading, time, tty
import feltwise

master, slave = os.openpty()
tty.setraw(master)
port = os.ttyname(slave)


def stream():
    while True:
        os.write(master, struct.pack("<HHHH", 0xFFFF, 2, 1, 2))
        time.sleep(0.001)


threading.Thread(target=stream, daemon=True).start()
sensor = feltwise.Sensor(port, queue=64)
assert sensor.read(timeout=2.0) is not None
read_end, write_end = os.pipe()
child = os.fork()
if child == 0:
    assert not sensor.is_connected() and sensor.closed
    for call in (lambda: sensor.read(timeout=0.1), lambda: next(sensor.samples()), sensor.zero):
        try:
            call()
            raise SystemExit("a call on the closed sensor returned")
        except feltwise.SensorClosedError:
            pass
    sensor.close()
    assert "closed" in repr(sensor)
    os.write(write_end, b"checked")
    time.sleep(1.0)  # lives on while the parent reopens the port
    sys.exit(7)
assert os.read(read_end, 16) == b"checked"
assert sensor.is_connected() and sensor.read(timeout=2.0) is not None
try:
    feltwise.Sensor(port)
    raise SystemExit("the port lock was released")
except feltwise.PortError as error:
    assert error.cause == "busy"
sensor.close()
with feltwise.Sensor(port) as again:
    assert again.read(timeout=2.0) is not None
_, status = os.waitpid(child, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_after_fork_the_childs_sensor_is_closed_and_the_parents_undisturbed():
    done = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["7"], done.stdout + done.stderr


@pytest.mark.parametrize(
    "arguments, error",
    [
        (dict(params="a.msgpack", protocol=1), ValueError),
        (dict(protocol=5), ValueError),
        (dict(queue=-1), ValueError),
    ],
)
def test_arguments_that_cannot_work_are_refused_before_opening(sensor, arguments, error):
    with pytest.raises(error):
        Sensor(sensor.path, **arguments)


def test_repr_names_port_source_and_queue(sensor):
    with Sensor(sensor.path, protocol=3, queue=16) as device:
        assert repr(device) == f"<feltwise.Sensor port={sensor.path!r} protocol=3 queue=16 connected>"


# --- Ctrl-C --------------------------------------------------------------------------

# Waits in a call that would take seconds; a child process sends SIGINT 0.3 s
# after it is ready and reports when. Prints the seconds from the signal to
# KeyboardInterrupt.
INTERRUPTED_WAIT = """
import os, signal, subprocess, sys, time
# A test run started in the background inherits SIGINT ignored; Ctrl-C is what this tests.
signal.signal(signal.SIGINT, signal.default_int_handler)
{setup}
killer = subprocess.Popen([sys.executable, "-c",
    "import os, signal, time; print(flush=True); time.sleep(0.3); print(time.monotonic_ns(), flush=True); "
    "os.kill(%d, signal.SIGINT)" % os.getpid()], stdout=subprocess.PIPE)
killer.stdout.readline()
try:
    {call}
    print("no interrupt")
except KeyboardInterrupt:
    caught = time.monotonic_ns()
    sent = int(killer.stdout.readline())
    print((caught - sent) / 1e9)
"""


@pytest.mark.parametrize(
    "setup, call",
    [
        (
            "from feltwise_comm_py import FeltwiseComms\ncomms = FeltwiseComms()\ncomms.init()\n"
            "comms.connect(sys.argv[1])",
            "comms.read_raw(5000)",
        ),
        # zero() first waits up to 500 ms for a sample to discard.
        (
            "from feltwise_comm_py import FeltwiseComms\ncomms = FeltwiseComms()\ncomms.init()\n"
            "comms.connect(sys.argv[1])",
            "comms.zero([])",
        ),
        (
            "from feltwise_comm_py import FeltwiseComms\ncomms = FeltwiseComms()\ncomms.init('4')\n"
            "comms.connect(sys.argv[1])",
            "comms.read_register(1, 0, 5000)",
        ),
        ("import feltwise\nsensor = feltwise.Sensor(sys.argv[1])", "sensor.read(timeout=5.0)"),
        ("import feltwise\nsensor = feltwise.Sensor(sys.argv[1], protocol=4)", "sensor.read_register(1, 0, 5.0)"),
    ],
    ids=[
        "FeltwiseComms.read_raw",
        "FeltwiseComms.zero",
        "FeltwiseComms.read_register",
        "Sensor.read",
        "Sensor.read_register",
    ],
)
def test_ctrl_c_ends_a_wait_at_once(sensor, figures, setup, call):
    script = INTERRUPTED_WAIT.format(setup=setup, call=call)
    done = subprocess.run([sys.executable, "-c", script, sensor.path], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    latency = float(done.stdout.strip().splitlines()[-1])
    figures.update(sigint_to_keyboard_interrupt_s=round(latency, 4))
    # Slices of 50 ms give about 50 ms; the bound is generous for a loaded machine,
    # and far below the seconds that the wait itself would have gone on.
    assert 0 <= latency < 0.5
