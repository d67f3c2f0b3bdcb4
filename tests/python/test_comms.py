"""FeltwiseComms end to end: a sensor on a pseudo-terminal, the module in Python."""

import fcntl
import os
import subprocess
import sys
import time

import pytest

import feltwise._native as native
from conftest import (
    STREAM_FRAMES,
    PtySensor,
    SensorProcess,
    binary_frame,
    lookup_record,
    taxel_record,
    triaxial_record,
    wait_until,
)
from feltwise_comm_py import FeltwiseComms

# The first version the library's protocol table has no row for.
PAST_THE_LAST_VERSION = len(native.protocols())


@pytest.fixture
def comms():
    return FeltwiseComms()


def connected(comms, sensor, init_text=""):
    comms.init(init_text)
    comms.connect(sensor.path)
    return comms


# --- init ------------------------------------------------------------------


@pytest.mark.parametrize("text", [str(PAST_THE_LAST_VERSION), "-1", "99999999999", "missing.bin"])
def test_texts_that_are_no_version_are_file_names(comms, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError, match="^Cannot find sensor parameter file$"):
        comms.init(text)


def test_a_file_with_a_version_past_the_table_is_refused(comms, param_file):
    with pytest.raises(RuntimeError, match="^Invalid protocol version in sensor parameters$"):
        comms.init(param_file(PAST_THE_LAST_VERSION, [taxel_record(0, 0)]))


@pytest.mark.parametrize(
    "records, message",
    [
        ([{"SensorParameters": {"sensor_type": 1}, "coefs": "text"}], "bad cast"),
        ([{"SensorParameters": {}}], "Invalid sensor parameter data format (3)"),
    ],
)
def test_a_refused_file_is_a_plain_runtime_error_with_the_loaders_text(comms, param_file, records, message):
    # The library's typed errors reach feltwise_comm_py through the standard translation.
    with pytest.raises(RuntimeError) as refused:
        comms.init(param_file(1, records))
    assert (type(refused.value), str(refused.value)) == (RuntimeError, message)


def test_a_record_of_unknown_sensor_type_is_refused(comms, param_file):
    record = taxel_record(0, 0)
    record["SensorParameters"]["sensor_type"] = len(native.sensor_types())
    with pytest.raises(RuntimeError) as refused:
        comms.init(param_file(1, [record]))
    assert str(refused.value) == "Invalid sensor parameter data format (4) "


def test_empty_init_gives_raw_samples_and_empty_calibrated_ones(comms, sensor):
    connected(comms, sensor)
    assert comms.read(0) == []
    sensor.send(binary_frame([4660, 22136]))
    assert comms.read_raw(1000) == [4660.0, 22136.0]


def test_a_second_file_replaces_the_records_of_the_first(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.init(param_file(1, [taxel_record(1, 1, coefs=(0.0, 2.0))]))
    comms.connect(sensor.path)
    sensor.send(binary_frame([10, 20]))
    assert comms.read(1000) == [0.0, 40.0]


def test_the_same_file_thrice_gives_the_same_values(comms, sensor, param_file):
    path = param_file(1, [taxel_record(0, 0, coefs=(0.0, 3.0))])
    for _ in range(3):
        comms.init(path)
    comms.connect(sensor.path)
    sensor.send(binary_frame([10]))
    assert comms.read(1000) == [30.0]


# The refused files declare the text protocol (0): a refusal that still
# switched it would turn the binary frames into garbage.
@pytest.mark.parametrize(
    "refused",
    [
        lambda write, tmp: str(tmp / "missing.bin"),
        lambda write, tmp: write(PAST_THE_LAST_VERSION, [taxel_record(0, 0)]),
        lambda write, tmp: write(0, [taxel_record(0, 0), taxel_record(1, 2**31 - 1)]),
        lambda write, tmp: write(0, [taxel_record(0, 0), dict(taxel_record(1, 1), coefs="no list")]),
    ],
    ids=["missing-file", "version-past-the-table", "output-index-cap", "bad-cast"],
)
def test_a_refused_init_changes_nothing(comms, sensor, param_file, tmp_path, refused):
    comms.init(param_file(1, [taxel_record(0, 0, coefs=(0.0, 3.0))]))
    comms.connect(sensor.path)
    sensor.send(binary_frame([10]))
    assert comms.read(1000) == [30.0]
    with pytest.raises(RuntimeError):
        comms.init(refused(param_file, tmp_path))
    assert comms.read(0) == [30.0]
    sensor.send(binary_frame([20]))
    assert comms.read(1000) == [60.0]
    comms.init(param_file(1, [taxel_record(0, 0, coefs=(0.0, 5.0))]))
    sensor.send(binary_frame([20]))
    assert comms.read(1000) == [100.0]


def test_outputs_no_record_names_stay_zero(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0), taxel_record(1, 1)], [taxel_record(2, 7)]))
    assert comms.read(0) == [0.0] * 8
    comms.connect(sensor.path)
    sensor.send(binary_frame([1, 2, 3]))
    assert comms.read(1000) == [1.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 3.0]


# --- calibration through the whole path --------------------------------------


@pytest.mark.parametrize(
    "records, raw, expected",
    [
        ([taxel_record(0, 0, lower=100.0)], [150], [150.0]),
        ([taxel_record(0, 0, lower=100.0)], [50], [50.0]),
        ([lookup_record(0, 0, [0.0, 10.0, 40.0], 0.0, 100.0)], [25], [5.0]),
        ([lookup_record(0, 0, [0.0, 10.0, 40.0], 0.0, 100.0)], [75], [25.0]),
        ([triaxial_record(1, [0, 1, 2])], [99, 1, 2, 3, 4], [4.0, 2.0, 10.0]),
        # two taxels on one output add up; a triaxial unit later assigns over them
        ([taxel_record(0, 0), taxel_record(1, 0)], [3, 4], [7.0]),
        ([taxel_record(0, 0), triaxial_record(1, [0])], [5, 1, 2, 3, 4], [4.0]),
    ],
    ids=["taxel-poly", "taxel-line", "lut-25", "lut-75", "triaxial", "taxels-add", "triaxial-assigns"],
)
def test_calibrated_values(comms, sensor, param_file, records, raw, expected):
    comms.init(param_file(1, records))
    comms.connect(sensor.path)
    sensor.send(binary_frame(raw))
    assert comms.read(1000) == pytest.approx(expected, abs=1e-12)


# --- the hand-off ------------------------------------------------------------


def test_timeouts_below_one_answer_at_once(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    start = time.monotonic()
    assert comms.read(0) == [0.0]
    assert comms.read(-5) == [0.0]
    assert comms.read_raw(0) == []
    assert time.monotonic() - start < 0.05


def test_a_silent_sensor_gives_an_empty_result_after_the_timeout(comms, sensor):
    connected(comms, sensor)
    start = time.monotonic()
    assert comms.read_raw(300) == []
    assert 0.28 <= time.monotonic() - start < 2.0


def test_read_and_read_raw_share_one_pending_sample(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    sensor.send(binary_frame([7]))
    assert comms.read(1000) == [7.0]
    assert comms.read_raw(150) == []
    assert comms.read(0) == [7.0]  # still there for a caller that does not wait


def test_the_newest_sample_wins(comms, sensor):
    connected(comms, sensor)
    sensor.send(binary_frame([1]))
    sensor.send(binary_frame([2]))
    time.sleep(0.2)
    assert comms.read_raw(1000) == [2.0]


def test_a_frame_without_values_empties_raw_but_keeps_calibrated(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    sensor.send(binary_frame([9]))
    assert comms.read(1000) == [9.0]
    sensor.send(binary_frame([]))
    assert wait_until(lambda: comms.read_raw(0) == [])
    assert comms.read(0) == [9.0]
    assert comms.read(150) == []  # nothing new was handed off


@pytest.mark.parametrize("empty", [binary_frame([]), b"\xff\xff\x00\x04"], ids=["count-0", "count-1024"])
def test_a_frame_without_values_keeps_the_pending_sample(comms, sensor, empty):
    connected(comms, sensor)
    sensor.send(binary_frame([9, 8]) + empty)
    time.sleep(0.2)
    assert comms.read_raw(1000) == [9.0, 8.0]


def test_connecting_to_another_port_hands_out_nothing_of_the_first(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    sensor.send(binary_frame([50]))
    time.sleep(0.2)
    second = PtySensor()
    try:
        comms.connect(second.path)
        assert comms.read_raw(0) == []
        assert comms.read(0) == [0.0]
        assert comms.read(200) == []
        second.send(binary_frame([60]))
        assert comms.read(1000) == [60.0]
    finally:
        second.close()


def test_a_wait_ends_at_once_when_the_port_is_lost(comms, sensor):
    connected(comms, sensor)
    sensor.unplug()
    start = time.monotonic()
    assert comms.read_raw(4000) == []
    assert time.monotonic() - start < 1.0


# A process whose standard output is a pipe that nobody reads: its device
# sends error lines between samples, then a marker sample (99999).
STALLED_CONSOLE = r'''
import os, subprocess, sys, tty
from feltwise_comm_py import FeltwiseComms

DEVICE = r"""
import os, sys, time
fd = int(sys.argv[1])
for k in range(5000):
    os.write(fd, b"E" + b"!" * 40 + b"\x1b[2J\n" + str(k).encode() + b",1\n")
while True:
    os.write(fd, b"99999,1\n")
    time.sleep(0.005)
"""

master, slave = os.openpty()
tty.setraw(master)
device = subprocess.Popen([sys.executable, "-c", DEVICE, str(master)], pass_fds=[master], stdout=subprocess.DEVNULL)
comms = FeltwiseComms()
comms.init("3")
comms.connect(os.ttyname(slave))
for taken in range(100000):
    sample = comms.read_raw(2000)
    if not sample:
        sys.stderr.write(f"samples stopped after {taken}")
        sys.exit(1)
    if sample[0] == 99999.0:
        break
del comms
device.kill()
device.wait()
sys.stderr.write("ok")
'''


def test_a_console_nobody_reads_stops_neither_samples_nor_destruction_nor_exit():
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    try:
        process = subprocess.Popen([sys.executable, "-c", STALLED_CONSOLE], stdout=write_end, stderr=subprocess.PIPE)
        os.close(write_end)
        try:
            _, errors = process.communicate(timeout=60)
        finally:
            process.kill()
    finally:
        os.close(read_end)
    assert errors.decode() == "ok"
    assert process.returncode == 0


# --- zeroing -----------------------------------------------------------------


def test_zero_re_estimates_the_offset_from_fresh_samples(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    streamer = SensorProcess(sensor, STREAM_FRAMES, [binary_frame([10]), binary_frame([12])])
    try:
        comms.zero([])
    finally:
        streamer.stop()
    time.sleep(0.05)
    comms.read_raw(0)
    sensor.send(binary_frame([111]))
    assert comms.read(1000) == pytest.approx([100.0], abs=1.0)


def test_zero_with_samples_from_the_caller_picks_models_by_output(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 5), taxel_record(1, 6)]))
    comms.zero([[4.0, 8.0]] * 20, [6])
    comms.zero([[1.0, 1.0]] * 20, [99])  # no record names output 99: nothing moves
    with pytest.raises(RuntimeError, match="^Sensor not reading, data size is 0.$"):
        comms.zero([[]], [5])
    comms.connect(sensor.path)
    sensor.send(binary_frame([104, 108]))
    assert comms.read(1000)[5:] == [104.0, 100.0]


def test_zero_on_a_silent_sensor_fails_after_about_550_ms(comms, sensor, param_file):
    comms.init(param_file(1, [taxel_record(0, 0)]))
    comms.connect(sensor.path)
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="^Could not zero the sensor$"):
        comms.zero([])
    assert 0.5 <= time.monotonic() - start < 2.0


# --- registers and the port --------------------------------------------------


def test_registers_need_an_open_port(comms):
    comms.init()
    with pytest.raises(RuntimeError, match="^Serial port is not open$"):
        comms.read_register(1, 2)


def test_version_1_refuses_register_access(comms, sensor):
    connected(comms, sensor)
    with pytest.raises(RuntimeError, match="^Register read operation is not supported$"):
        comms.read_register(1, 2)
    with pytest.raises(RuntimeError, match="^Register write operation is not supported$"):
        comms.write_register(1, 2, b"\x00")


def test_connect_before_init_is_refused(comms, sensor):
    with pytest.raises(RuntimeError, match="init"):
        comms.connect(sensor.path)
    assert not comms.is_connected()


@pytest.mark.parametrize("port", ["/dev/feltwise-missing", "relative-missing"])
def test_a_port_that_cannot_be_opened(comms, port):
    comms.init()
    with pytest.raises(RuntimeError, match=f"^Cannot open serial port: {port}$"):
        comms.connect(port)
    assert not comms.is_connected()


def test_a_port_in_use_cannot_be_opened_twice(comms, sensor):
    connected(comms, sensor)
    other = FeltwiseComms()
    other.init()
    with pytest.raises(RuntimeError, match="^Cannot open serial port: "):
        other.connect(sensor.path)


def test_an_empty_port_name_connects_nothing(comms):
    comms.init()
    comms.connect("")
    assert not comms.is_connected()
    assert comms.read_raw(0) == []


def test_unplug_drops_the_port_and_a_new_connect_works(comms, sensor):
    connected(comms, sensor)
    assert comms.is_connected()
    sensor.unplug()
    assert wait_until(lambda: not comms.is_connected(), timeout=1.0)
    assert comms.read_raw(150) == []
    with pytest.raises(RuntimeError, match="^Serial port is not open$") as lost:
        comms.read_register(1, 2)
    assert type(lost.value) is RuntimeError

    replacement = PtySensor()
    try:
        comms.connect(replacement.path)
        assert comms.is_connected()
        replacement.send(binary_frame([5]))
        assert comms.read_raw(1000) == [5.0]
    finally:
        replacement.close()


def test_connecting_again_reopens_the_same_port(comms, sensor):
    connected(comms, sensor)
    comms.connect(sensor.path)
    assert comms.is_connected()
    sensor.send(binary_frame([3]))
    assert comms.read_raw(1000) == [3.0]


def test_destroying_a_connected_object_releases_the_port(sensor):
    comms = connected(FeltwiseComms(), sensor)
    del comms
    again = connected(FeltwiseComms(), sensor)
    assert again.is_connected()


def test_an_output_index_beyond_any_skin_is_refused_not_allocated(comms, param_file):
    comms.init(param_file(1, [taxel_record(0, 3)]))
    with pytest.raises(RuntimeError, match="^Output index 2147483647 in parameters is beyond the largest supported"):
        comms.init(param_file(1, [taxel_record(1, 2**31 - 1)]))
    assert comms.read(0) == [0.0] * 4  # the models of the first file stay in charge
