"""The simulated sensor end to end: its own process, a real pty, the library reading it."""

import itertools
import struct
import time

import pytest

from conftest import smoke_case
from feltwise import Faults, Sensor, SimulatedSensor, protocols
from feltwise.paramfile import load_layout
from feltwise.sim import wire
from feltwise_comm_py import FeltwiseComms
from toolrun import EXAMPLE_NAMES, example, fresh_raw, wait_for

SEED = 7


def comms_for(sensor, init_text):
    comms = FeltwiseComms()
    comms.init(init_text)
    comms.connect(sensor.path)
    return comms


@pytest.mark.parametrize("version", protocols.versions())
@pytest.mark.parametrize("name", smoke_case("taxel_pad_4x4", ["taxel_pad_4x4", "lookup_pad_3x3"]))
def test_every_protocol_streams_the_layout_at_rest(version, name):
    layout = load_layout(example(name))
    with SimulatedSensor(example(name), version=version, seed=SEED, touch=False) as sensor:
        comms = comms_for(sensor, str(version))
        samples = [fresh_raw(comms) for _ in range(5)]
    channels = layout.channel_count
    for raw in samples:
        if wire.dialect(version).encode is wire.enciphered_frame:
            count = wire.enciphered_count(channels)
            assert len(raw) == min(count, 8 * (count // 16 + 1))
            assert raw[channels:] == [0.0] * (len(raw) - channels)
        else:
            assert len(raw) == channels
        # At rest every channel sits within its drift and noise of the file's offset.
        for taxel in layout.taxels:
            assert abs(raw[taxel.channel] - taxel.rest) < 100, (taxel, raw)
    assert samples[0] != samples[-1], "noise: no two samples alike"


@pytest.mark.smoke
@pytest.mark.parametrize("version", protocols.versions())
def test_sensor_queues_every_frame_of_every_protocol(version):
    with SimulatedSensor(example("taxel_pad_4x4"), version=version, seed=SEED, touch=False) as simulated:
        with Sensor(simulated.path, protocol=version, queue=64) as sensor:
            samples = list(itertools.islice(sensor.samples(timeout=5.0), 20))
    assert len(samples) == 20
    seqs = [sample.seq for sample in samples]
    assert seqs == list(range(seqs[0], seqs[0] + 20)), "the queue hands out every frame in order"
    assert [sample.dropped for sample in samples] == [0] * 20
    # 16 channels: a count that version 2 enciphers as it is.
    assert all(sample.raw.shape == (16,) and sample.calibrated.size == 0 for sample in samples)


@pytest.mark.parametrize("name", EXAMPLE_NAMES)
def test_each_example_file_calibrates_through_the_library(name):
    layout = load_layout(example(name))
    with SimulatedSensor(example(name), seed=SEED) as sensor:
        comms = comms_for(sensor, example(name))
        assert fresh_raw(comms)
        calibrated = comms.read(2000)
    assert len(calibrated) == layout.output_count


def test_zeroing_takes_out_the_offset_the_sensor_rests_at():
    # The simulated sensor rests 25 to 45 counts away from the file's offsets,
    # far enough above the taxels' 20-count threshold to read as force.
    with SimulatedSensor(example("taxel_pad_4x4"), seed=SEED, touch=False) as sensor:
        comms = comms_for(sensor, example("taxel_pad_4x4"))
        assert fresh_raw(comms)
        before = comms.read(2000)
        comms.zero([])
        after = [comms.read(2000) for _ in range(10)]
    assert max(before) > 0.25
    assert max(max(sample) for sample in after) < 0.2


def test_touch_presses_the_taxels_after_the_first_rest_period():
    with SimulatedSensor(example("taxel_pad_4x4"), seed=SEED) as sensor:
        comms = comms_for(sensor, example("taxel_pad_4x4"))
        assert fresh_raw(comms)
        comms.zero([])
        # The first seconds are at rest; within one cycle the blob presses.
        assert wait_for(lambda: max(comms.read(1000) or [0.0]) > 5.0, timeout=30)


def test_triaxial_units_feel_normal_force_and_shear():
    with SimulatedSensor(example("triaxial_pad_2x2"), seed=SEED) as sensor:
        comms = comms_for(sensor, example("triaxial_pad_2x2"))
        seen = {"z": False, "shear": False}

        def pressed():
            sample = comms.read(1000)
            for unit in range(0, len(sample), 3):
                x, y, z = sample[unit : unit + 3]
                seen["z"] |= z > 1.0
                seen["shear"] |= abs(x) + abs(y) > 0.1
            return seen["z"] and seen["shear"]

        assert wait_for(pressed, timeout=30)


def test_as_fast_as_possible_keeps_up_with_the_reader():
    with SimulatedSensor(version=1, channels=8, rate=0) as sensor:
        comms = comms_for(sensor, "1")
        # Each read waits for a sample it has not had: 300 reads, 300 samples at least.
        taken = sum(1 for _ in range(300) if fresh_raw(comms))
    assert taken == 300
    assert sensor.stats["samples"] >= 300


def test_stopping_reports_statistics_and_unplugs():
    sensor = SimulatedSensor(version=4, channels=4)
    with pytest.raises(RuntimeError, match="has not started"):
        sensor.path  # noqa: B018 (the property is what is tried)
    path = sensor.start()
    assert sensor.path == path
    comms = comms_for(sensor, "4")
    assert fresh_raw(comms)
    stats = sensor.stop()
    assert stats["samples"] > 0 and stats["unplugged"] is False
    assert wait_for(lambda: not comms.is_connected(), timeout=10)
    assert path.startswith("/dev/")


# --- registers ------------------------------------------------------------------


@pytest.mark.parametrize("version", protocols.register_versions())
def test_register_bank_reads_and_writes(version):
    with SimulatedSensor(version=version, channels=6) as sensor:
        comms = comms_for(sensor, str(version))
        assert fresh_raw(comms)
        assert comms.read_register(0x0000, 0, 2000) == b"Feltwise simulated sensor"
        assert comms.read_register(0x0002, 0, 2000) == bytes([version])
        assert comms.read_register(0x0003, 0, 2000) == struct.pack("<H", 6)
        comms.write_register(0x0010, 0, struct.pack("<H", 50), 2000)
        assert comms.read_register(0x0010, 0, 2000) == struct.pack("<H", 50)
        for data in (b"", b"\x0a\xff", bytes(range(256))):
            comms.write_register(0x0123, 9, data, 2000)
            assert comms.read_register(0x0123, 9, 2000) == data
        assert fresh_raw(comms), "samples still flow after register traffic"
    assert sensor.stats["requests"] >= 10


def test_writing_the_touch_register_stops_the_touch():
    with SimulatedSensor(version=4, channels=4, seed=SEED) as sensor:
        comms = comms_for(sensor, "4")
        comms.write_register(0x0011, 0, b"\x00", 2000)
        assert comms.read_register(0x0011, 0, 2000) == b"\x00"


@pytest.mark.parametrize(
    "address, unit, data, code",
    [
        (0x0099, 0, None, 2),  # no such register
        (0x0150, 3, None, 2),  # storage never written
        (0x0000, 0, b"x", 3),  # read-only
        (0x0010, 0, b"\x01", 4),  # the rate is two bytes
        (0x0000, 1, None, 2),  # no board 1
    ],
)
def test_refused_requests_carry_the_device_error_on_version_4(address, unit, data, code):
    with SimulatedSensor(version=4, channels=4) as sensor:
        comms = comms_for(sensor, "4")
        kind = "read" if data is None else "write"
        with pytest.raises(RuntimeError, match=f"^Register {kind} error: {code}$"):
            if data is None:
                comms.read_register(address, unit, 2000)
            else:
                comms.write_register(address, unit, data, 2000)


def test_refused_requests_are_error_lines_on_version_3(capfd):
    with SimulatedSensor(version=3, channels=4) as sensor:
        comms = comms_for(sensor, "3")
        # The library turns every error line into status 0 (its first word starts with E).
        with pytest.raises(RuntimeError, match="^Register read error: 0$"):
            comms.read_register(0x0099, 0, 2000)
    assert "ERR E2 no register 0x0099" in capfd.readouterr().out


# --- faults ------------------------------------------------------------------------


@pytest.mark.parametrize("version", protocols.versions())
@pytest.mark.parametrize("fault", ["stray_bytes", "garbage", "truncate", "overlong", "error_lines"])
def test_the_library_rides_out_stream_faults(version, fault):
    faults = Faults(**{fault: 0.2})
    with SimulatedSensor(version=version, channels=8, faults=faults, seed=SEED) as sensor:
        comms = comms_for(sensor, str(version))
        whole = 0
        for _ in range(200):
            raw = comms.read_raw(500)
            if len(raw) >= 8:
                whole += 1
            if whole >= 10:
                break
        assert whole >= 10
        assert comms.is_connected()


@pytest.mark.parametrize("version", protocols.register_versions())
def test_late_replies_time_out(version):
    with SimulatedSensor(version=version, channels=4, faults=Faults(reply_delay=1.5)) as sensor:
        comms = comms_for(sensor, str(version))
        with pytest.raises(RuntimeError, match="^Register read timeout$"):
            comms.read_register(0, 0, 200)


@pytest.mark.parametrize("version", protocols.register_versions())
def test_a_late_reply_never_answers_the_next_request(version):
    # Answers leave 0.3 s after their request: the first read gives up at
    # 0.2 s, and its answer (the sensor's name) arrives while the next read
    # waits to be written. The next read gets its own answer.
    with SimulatedSensor(version=version, channels=4, faults=Faults(reply_delay=0.3)) as sensor:
        comms = comms_for(sensor, str(version))
        for _ in range(3):
            with pytest.raises(RuntimeError, match="^Register read timeout$"):
                comms.read_register(0x0000, 0, 200)
            assert comms.read_register(0x0002, 0, 2000) == bytes([version])


@pytest.mark.parametrize("version", protocols.register_versions())
def test_duplicate_replies_still_answer(version):
    with SimulatedSensor(version=version, channels=4, faults=Faults(duplicate_replies=True)) as sensor:
        comms = comms_for(sensor, str(version))
        assert comms.read_register(0x0002, 0, 2000) == bytes([version])
        assert comms.read_register(0x0002, 0, 2000) == bytes([version])


@pytest.mark.parametrize("version, status", [(3, 406), (4, 405)])
def test_malformed_replies_fail_the_read(version, status):
    with SimulatedSensor(version=version, channels=4, faults=Faults(malformed_replies=True)) as sensor:
        comms = comms_for(sensor, str(version))
        with pytest.raises(RuntimeError, match=f"^Register read error: {status}$"):
            comms.read_register(0x0002, 0, 2000)


def test_a_cut_off_status_frame_fails_the_write():
    with SimulatedSensor(version=4, channels=4, faults=Faults(malformed_replies=True)) as sensor:
        comms = comms_for(sensor, "4")
        with pytest.raises(RuntimeError, match="^Register write error: 409$"):
            comms.write_register(0x0100, 0, b"\x01", 2000)


@pytest.mark.parametrize("version, status", [(3, 0), (4, 9)])
def test_error_replies_fail_every_request(version, status):
    with SimulatedSensor(version=version, channels=4, faults=Faults(error_replies=True)) as sensor:
        comms = comms_for(sensor, str(version))
        with pytest.raises(RuntimeError, match=f"^Register write error: {status}$"):
            comms.write_register(0x0100, 0, b"\x01", 2000)


def test_silence_stops_the_samples_but_not_the_connection():
    with SimulatedSensor(version=1, channels=4, faults=Faults(silence_after=0.5)) as sensor:
        comms = comms_for(sensor, "1")
        assert wait_for(lambda: comms.read_raw(300) == [], timeout=20)
        assert comms.read_raw(500) == []
        assert comms.is_connected()


def test_silence_for_a_while_then_samples_again():
    faults = Faults(silence_after=0.5, silence_for=1.0)
    with SimulatedSensor(version=0, channels=4, faults=faults) as sensor:
        comms = comms_for(sensor, "0")
        assert wait_for(lambda: comms.read_raw(300) == [], timeout=20)
        assert wait_for(lambda: comms.read_raw(300) != [], timeout=20)


@pytest.mark.parametrize("version", protocols.versions())
def test_unplug_after_a_time_drops_the_port(version):
    with SimulatedSensor(version=version, channels=4, faults=Faults(unplug_after=1.0)) as sensor:
        comms = comms_for(sensor, str(version))
        assert wait_for(lambda: not comms.is_connected(), timeout=30)
    assert sensor.stats["unplugged"] is True


@pytest.mark.parametrize("version", protocols.register_versions())
@pytest.mark.parametrize("write", [False, True])
def test_unplugged_while_a_request_waits(version, write):
    # The answer would leave long after the adapter is pulled out: the request
    # ends with its own time-out, the port is dropped, and a new sensor works.
    comms = FeltwiseComms()
    comms.init(str(version))
    request = (
        (lambda: comms.write_register(0x0100, 0, b"\x01", 5000))
        if write
        else (lambda: comms.read_register(0x0002, 0, 5000))
    )
    faults = Faults(reply_delay=60.0, unplug_after=2.0)
    with SimulatedSensor(version=version, channels=4, faults=faults) as sensor:
        comms.connect(sensor.path)
        start = time.monotonic()
        with pytest.raises(RuntimeError, match=f"^Register {'write' if write else 'read'} timeout$"):
            request()
        assert time.monotonic() - start < 5.0 + 1.0
        assert wait_for(lambda: not comms.is_connected(), timeout=30)
    assert sensor.stats["unplugged"] is True
    with SimulatedSensor(version=version, channels=4) as sensor:
        comms.connect(sensor.path)
        assert comms.read_register(0x0002, 0, 2000) == bytes([version])


def test_a_bad_parameter_file_fails_to_start(tmp_path):
    broken = tmp_path / "broken.msgpack"
    broken.write_bytes(b"\x93\x01")
    with pytest.raises(RuntimeError, match="simulated sensor did not start"):
        SimulatedSensor(str(broken)).start()
