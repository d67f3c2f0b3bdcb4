"""Protocol versions 2 and 4 through the module: enciphered frames and binary registers."""

import struct

import pytest

from conftest import answer_request, binary_frame, request_of
from feltwise.sim import wire
from feltwise_comm_py import FeltwiseComms


def enciphered_frame(values):
    """A version-2 frame declaring as many values as it is given, as a sensor
    sends it (the ciphertext carries floor(count/16) + 1 blocks of 8), enciphered
    with the cryptography package, an implementation independent of the library's."""
    return wire.enciphered_frame(values, count=len(values))


@pytest.fixture
def binary_comms(sensor):
    def make(version):
        comms = FeltwiseComms()
        comms.init(str(version))
        comms.connect(sensor.path)
        return comms

    return make


@pytest.mark.parametrize("count", [1, 8, 15, 16, 1023])
def test_version_2_frames_arrive_deciphered(binary_comms, sensor, count):
    pytest.importorskip("cryptography")
    comms = binary_comms(2)
    values = [(7919 * i + 13) % 65536 for i in range(count)]
    sensor.send(enciphered_frame(values))
    # Only as many values as the ciphertext carries: 8 per 16-byte block.
    assert comms.read_raw(1000) == [float(v) for v in values[: min(count, 8 * (count // 16 + 1))]]


def test_version_2_frame_without_values(binary_comms, sensor):
    comms = binary_comms(2)
    sensor.send(struct.pack("<HH", 0xFFFF, 0))
    sensor.send(enciphered_frame([42]))
    assert comms.read_raw(1000) == [42.0]


def test_version_2_refuses_register_access(binary_comms):
    comms = binary_comms(2)
    with pytest.raises(RuntimeError, match="^Register write operation is not supported$"):
        comms.write_register(1, 2, b"")


def reply_frame(data, word1=0x1234, word2=0x5678):
    return wire.binary_read_reply(word1, word2, data)


def test_version_4_read_register_round_trip(binary_comms, sensor):
    comms = binary_comms(4)
    responder = answer_request(sensor, reply_frame(b"\x0a\xff"), request_size=8)
    assert comms.read_register(32, 1) == b"\x0a\xff"
    assert request_of(responder) == bytes.fromhex("fbff200001000000")


@pytest.mark.parametrize("data", [b"\x0a\xff", b"", bytes(range(256))])
def test_version_4_write_register_round_trip(binary_comms, sensor, data):
    comms = binary_comms(4)
    responder = answer_request(sensor, wire.binary_status(wire.STATUS_OK), request_size=8 + len(data))
    assert comms.write_register(32, 1, data) is None
    assert request_of(responder) == wire.binary_write_request(32, 1, data)


@pytest.mark.parametrize(
    "answer, message",
    [
        (struct.pack("<HH", 0xFFFA, 5), "Register read error: 5"),
        (struct.pack("<HH", 0xFFFA, 0), "Register read error: 0"),
        (struct.pack("<HHHH", 0xFFFB, 1, 2, 4) + b"\x01", "Register read error: 405"),
        (struct.pack("<HHH", 0xFFFB, 1, 2), "Register read error: 406"),
        (struct.pack("<HH", 0xFFFB, 1), "Register read error: 407"),
        (struct.pack("<H", 0xFFFB), "Register read error: 408"),
        (struct.pack("<H", 0xFFFA), "Register read error: 409"),
    ],
    ids=["status-5", "status-0", "405", "406", "407", "408", "409"],
)
def test_version_4_failed_reads(binary_comms, sensor, answer, message):
    comms = binary_comms(4)
    responder = answer_request(sensor, answer, request_size=8)
    with pytest.raises(RuntimeError, match=f"^{message}$") as refused:
        comms.read_register(1, 2, timeout=10_000)  # the refusal ends the wait; a loaded machine may be slow to send it
    responder.result()
    # The core's typed register errors reach feltwise_comm_py as RuntimeError itself.
    assert type(refused.value) is RuntimeError


def test_version_4_timeouts(binary_comms, sensor):
    comms = binary_comms(4)
    with pytest.raises(RuntimeError, match="^Register read timeout$") as timed_out:
        comms.read_register(1, 2, timeout=100)
    assert type(timed_out.value) is RuntimeError
    # The read's reply may still come: a write within the settle time is held
    # back and never sent, rather than risk taking that reply as its own.
    with pytest.raises(RuntimeError, match="^Register write timeout$"):
        comms.write_register(1, 2, b"\x01", timeout=100)
    with pytest.raises(RuntimeError, match="^Timeout must be greater than 0 ms$"):
        comms.read_register(1, 2, timeout=0)
    assert sensor.receive(100, timeout=0.2) == bytes.fromhex("fbff010002000000")


def test_version_4_samples_flow_around_register_traffic(binary_comms, sensor):
    comms = binary_comms(4)
    responder = answer_request(sensor, binary_frame([9, 8]) + reply_frame(b"\x33"), request_size=8)
    assert comms.read_register(1, 2) == b"\x33"
    responder.result()
    assert comms.read_raw(1000) == [9.0, 8.0]


def test_version_4_a_late_reply_never_answers_the_next_request(binary_comms, sensor):
    import time

    comms = binary_comms(4)
    with pytest.raises(RuntimeError, match="^Register read timeout$"):
        comms.read_register(1, 2, timeout=100)
    sensor.receive(8)
    sensor.send(reply_frame(b"\x01"))
    time.sleep(0.1)
    responder = answer_request(sensor, reply_frame(b"\x02"), request_size=8)
    assert comms.read_register(1, 2) == b"\x02"
    responder.result()
