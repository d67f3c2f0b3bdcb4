"""The simulated sensor's frames, lines and replies, decoded by the library.

Each encoder of feltwise.sim.wire is written to a pseudo-terminal and read back
through FeltwiseComms, so the simulator and the library cannot drift apart
on any protocol version.
"""

import struct

import pytest

import feltwise._native as native
from conftest import answer_request, request_of, wait_until
from feltwise import protocols
from feltwise.sim import wire
from feltwise_comm_py import FeltwiseComms


def connected(sensor, version):
    comms = FeltwiseComms()
    comms.init(str(version))
    comms.connect(sensor.path)
    return comms


VALUES = [0.0, 1.0, 812.0, 1000.0, 4660.0, 32768.0, 65535.0]


def test_the_simulator_speaks_every_protocol_of_the_librarys_table():
    assert wire.disagreements(native.protocols()) == []
    assert wire.versions() == protocols.versions()


def test_a_protocol_the_simulator_lacks_or_speaks_otherwise_is_named():
    rows = [row if row[0] != 3 else (3, "ProtocolStringConfigurable", False, True) for row in native.protocols()]
    assert wire.disagreements([*rows, (9, "ProtocolFuture", False, False)]) == [
        "protocol 3 (ProtocolStringConfigurable) is binary with registers in the library, not in DIALECTS",
        "protocol 9 (ProtocolFuture) has no row in feltwise.sim.wire.DIALECTS",
    ]


@pytest.mark.parametrize("version", protocols.versions())
def test_each_protocols_samples_decode_to_their_values(sensor, version):
    if wire.dialect(version).encode is wire.enciphered_frame:
        pytest.importorskip("cryptography")
    comms = connected(sensor, version)
    sensor.send(wire.dialect(version).encode(VALUES))
    assert comms.read_raw(2000) == VALUES


def test_sample_frames_clamp_to_sixteen_bits(sensor):
    comms = connected(sensor, 1)
    sensor.send(wire.sample_frame([-5.0, 70000.0, 12.4, 12.6]))
    assert comms.read_raw(2000) == [0.0, 65535.0, 12.0, 13.0]


@pytest.mark.parametrize("version", protocols.text_versions())
def test_sample_lines_decode_to_their_values(sensor, version):
    comms = connected(sensor, version)
    sensor.send(wire.sample_line([1.5, -2.5, 1000.0, 65535.0]))
    assert comms.read_raw(2000) == [1.5, -2.5, 1000.0, 65535.0]


def test_sample_lines_keep_one_decimal(sensor):
    comms = connected(sensor, 0)
    sensor.send(wire.sample_line([812.04, 812.06]))
    assert comms.read_raw(2000) == [812.0, 812.1]


@pytest.mark.parametrize("channels", [1, 8, 9, 15, 16, 17, 24, 25, 40, 512])
def test_enciphered_frames_carry_every_channel(sensor, channels):
    comms = connected(sensor, 2)
    values = [float((7919 * i + 13) % 65536) for i in range(channels)]
    sensor.send(wire.enciphered_frame(values))
    raw = comms.read_raw(2000)
    # Padding values (zeros) follow the channels when the count had to grow.
    assert raw[:channels] == values
    assert raw[channels:] == [0.0] * (len(raw) - channels)
    count = wire.enciphered_count(channels)
    assert len(raw) == min(count, 8 * (count // 16 + 1))


def test_enciphered_count_is_the_smallest_that_holds_the_channels():
    for channels in range(1, wire.MAX_ENCIPHERED_CHANNELS + 1):
        count = wire.enciphered_count(channels)
        carried = min(count, 8 * (count // 16 + 1))
        assert carried >= channels
        assert count <= wire.MAX_COUNT
        smaller = [c for c in range(channels, count) if min(c, 8 * (c // 16 + 1)) >= channels]
        assert smaller == []


def test_binary_read_request_and_reply(sensor):
    comms = connected(sensor, 4)
    responder = answer_request(sensor, wire.binary_read_reply(32, 1, b"\x0a\xff"), request_size=8)
    assert comms.read_register(32, 1) == b"\x0a\xff"
    request = request_of(responder)
    assert request == wire.binary_read_request(32, 1)
    [parsed] = wire.BinaryRequestReader().feed(request)
    assert (parsed.address, parsed.unit, parsed.is_read) == (32, 1, True)


@pytest.mark.parametrize("data", [b"", b"\x0a\xff", bytes(range(256))])
def test_binary_write_request_and_status(sensor, data):
    comms = connected(sensor, 4)
    responder = answer_request(sensor, wire.binary_status(wire.STATUS_OK), request_size=8 + len(data))
    comms.write_register(0x0100, 7, data)
    request = request_of(responder)
    assert request == wire.binary_write_request(0x0100, 7, data)
    [parsed] = wire.BinaryRequestReader().feed(request)
    assert (parsed.address, parsed.unit, parsed.data) == (0x0100, 7, data)


def test_binary_status_carries_the_error_code(sensor):
    comms = connected(sensor, 4)
    answer_request(sensor, wire.binary_status(3), request_size=8)
    with pytest.raises(RuntimeError, match="^Register read error: 3$"):
        comms.read_register(1, 0)


def test_binary_request_reader_skips_noise_and_waits_for_whole_requests():
    reader = wire.BinaryRequestReader()
    request = wire.binary_write_request(5, 6, b"abc")
    assert reader.feed(b"\x00\xff\x12" + request[:9]) == []
    [parsed] = reader.feed(request[9:] + wire.binary_read_request(1, 2)[:3])
    assert (parsed.address, parsed.unit, parsed.data) == (5, 6, b"abc")
    [parsed] = reader.feed(wire.binary_read_request(1, 2)[3:])
    assert (parsed.address, parsed.unit, parsed.is_read) == (1, 2, True)


def test_text_read_request_and_reply(sensor):
    comms = connected(sensor, 3)
    responder = answer_request(sensor, wire.text_read_reply(32, 1, b"\x0a\xff"))
    assert comms.read_register(32, 1) == b"\x0a\xff"
    request = request_of(responder)
    [parsed] = wire.TextRequestReader().feed(request)
    assert (parsed.address, parsed.unit, parsed.is_read) == (32, 1, True)


def test_text_reply_without_data(sensor):
    comms = connected(sensor, 3)
    answer_request(sensor, wire.text_read_reply(9, 0, b""))
    assert comms.read_register(9, 0) == b""


@pytest.mark.parametrize("data", [b"", b"\x0a\xff", bytes(range(256))])
def test_text_write_request_and_acknowledgement(sensor, data):
    comms = connected(sensor, 3)
    responder = answer_request(sensor, wire.text_ack())
    comms.write_register(0x0100, 2, data)
    [parsed] = wire.TextRequestReader().feed(request_of(responder))
    assert (parsed.address, parsed.unit, parsed.data) == (0x0100, 2, data)


def test_text_error_line_fails_the_request_and_is_echoed(sensor, capfd):
    comms = connected(sensor, 3)
    answer_request(sensor, wire.text_error(2, "no register 0x0099"))
    with pytest.raises(RuntimeError, match="^Register read error: 0$"):
        comms.read_register(0x99, 0)
    # The echo reaches standard output from the library's console thread.
    printed = []

    def echoed():
        printed.append(capfd.readouterr().out)
        return "ERR E2 no register 0x0099" in "".join(printed)

    assert wait_until(echoed)


def test_text_request_reader_reports_malformed_lines():
    requests = wire.TextRequestReader().feed(b"w1,2,3,00\nx\nr4,5,0\n")
    assert [r.malformed is not None for r in requests] == [True, True, False]
    assert (requests[2].address, requests[2].unit) == (4, 5)


def test_binary_reply_layout():
    assert wire.binary_read_reply(32, 1, b"\x0a\xff") == bytes.fromhex("fbff2000010002000aff")
    assert wire.binary_status(1) == struct.pack("<HH", 0xFFFA, 1)
    assert wire.text_read_reply(32, 1, b"\x0a\xff") == b"R32,1,2,0aff\n"
