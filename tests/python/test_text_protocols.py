"""Protocol versions 0 and 3 through the module: sample lines and register lines."""

import locale
import time

import pytest

from conftest import answer_request, request_of, wait_until
from feltwise_comm_py import FeltwiseComms


@pytest.fixture
def text_comms(sensor):
    def make(version):
        comms = FeltwiseComms()
        comms.init(str(version))
        comms.connect(sensor.path)
        return comms

    return make


@pytest.mark.parametrize(
    "line, expected",
    [
        (b"1.5,2,-3e2\n", [1.5, 2.0, -300.0]),
        (b"1.5, 2\r\n", [1.5, 2.0]),
        (b"12abc,3\n", [12.0, 3.0]),
        (b"1,,2\n", [1.0]),
        (b"7\n", [7.0]),
        (b"1,2", [1.0, 2.0]),  # cut by the read time-out: parsed as it stands
    ],
)
def test_version_0_lines_become_samples(text_comms, sensor, line, expected):
    comms = text_comms(0)
    sensor.send(line)
    assert comms.read_raw(1000) == expected


@pytest.mark.parametrize("line", [b",1,2\n", b"1,\n", b"\n", b"1,x,3\n", b"1e999\n"])
def test_version_0_lines_without_a_sample(text_comms, sensor, line):
    comms = text_comms(0)
    sensor.send(line + b"8\n")
    assert comms.read_raw(1000) == [8.0]  # nothing was handed off for the refused line


def test_version_0_an_overlong_line_arrives_in_pieces(text_comms, sensor):
    comms = text_comms(0)
    head = b"1," * 32768  # exactly 65536 bytes
    sensor.send(head + b"9")  # the 9 ends its line only by the read time-out, 100 ms later
    assert comms.read_raw(1000) == [1.0] * 32768
    assert comms.read_raw(1000) == [9.0]


def test_version_0_reads_numbers_whatever_the_locale(text_comms, sensor):
    saved = locale.setlocale(locale.LC_ALL)
    for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"):
        try:
            locale.setlocale(locale.LC_ALL, name)
            break
        except locale.Error:
            continue
    else:
        pytest.skip("no decimal-comma locale installed")
    try:
        comms = text_comms(0)
        sensor.send(b"1.5,2.25\n")
        assert comms.read_raw(1000) == [1.5, 2.25]
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@pytest.mark.parametrize("text", ["0", "0x10", " +0"])
def test_texts_naming_version_0_select_sample_lines(sensor, text):
    comms = FeltwiseComms()
    comms.init(text)
    comms.connect(sensor.path)
    sensor.send(b"1.5,2\n")
    assert comms.read_raw(1000) == [1.5, 2.0]


def test_version_0_refuses_register_access(text_comms):
    comms = text_comms(0)
    with pytest.raises(RuntimeError, match="^Register read operation is not supported$"):
        comms.read_register(1, 2)


@pytest.mark.parametrize("text", ["3", " 3", "3_params.bin"])
def test_texts_naming_version_3_select_register_lines(sensor, text):
    comms = FeltwiseComms()
    comms.init(text)
    comms.connect(sensor.path)
    with pytest.raises(RuntimeError, match="^Register read timeout$"):
        comms.read_register(32, 1, timeout=50)
    assert sensor.receive(len(b"r32,1,0\n")) == b"r32,1,0\n"


def test_version_3_read_register_round_trip(text_comms, sensor):
    comms = text_comms(3)
    responder = answer_request(sensor, b"R32,1,2,0aff\n")
    assert comms.read_register(32, 1) == b"\x0a\xff"
    assert request_of(responder) == b"r32,1,0\n"


@pytest.mark.parametrize("data, expected_request", [(b"\x0a\xff", b"w32,1,2,0AFF\n"), (b"", b"w32,1,0,\n")])
def test_version_3_write_register_round_trip(text_comms, sensor, data, expected_request):
    comms = text_comms(3)
    responder = answer_request(sensor, b"O\n")
    assert comms.write_register(32, 1, data) is None
    assert request_of(responder) == expected_request


@pytest.mark.parametrize(
    "reply, message",
    [
        (b"R1,2,3\n", "Register read error: 406"),
        (b"R1,2,1,00,9\n", "Register read error: 406"),
        (b"Rx,2,1,00\n", "Register read error: 404"),
        (b"R1,2,2,00\n", "Register read error: 405"),
    ],
)
def test_version_3_malformed_replies(text_comms, sensor, reply, message):
    comms = text_comms(3)
    responder = answer_request(sensor, reply)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        comms.read_register(1, 2)
    responder.result()


def test_version_3_device_error_is_echoed_on_the_process_stdout(text_comms, sensor, capfd):
    comms = text_comms(3)
    responder = answer_request(sensor, b"E busy\n")
    with pytest.raises(RuntimeError, match="^Register write error: 0$"):
        comms.write_register(1, 2, b"\x01")
    responder.result()
    # The echo leaves the acquisition thread through a queue: let it arrive.
    printed = ""

    def echoed():
        nonlocal printed
        printed += capfd.readouterr().out
        return "ERR E busy\n\n" in printed

    assert wait_until(echoed)


@pytest.mark.parametrize("timeout", [0, -1])
def test_version_3_refuses_timeouts_below_one(text_comms, sensor, timeout):
    comms = text_comms(3)
    with pytest.raises(RuntimeError, match="^Timeout must be greater than 0 ms$"):
        comms.read_register(1, 2, timeout)
    with pytest.raises(RuntimeError, match="^Timeout must be greater than 0 ms$"):
        comms.write_register(1, 2, b"", timeout)
    assert sensor.receive(1, timeout=0.1) == b""


def test_version_3_a_late_reply_never_answers_the_next_request(text_comms, sensor):
    comms = text_comms(3)
    with pytest.raises(RuntimeError, match="^Register read timeout$"):
        comms.read_register(1, 2, timeout=100)
    sensor.receive(8)
    sensor.send(b"R1,2,1,01\n")  # too late for the first request
    time.sleep(0.1)  # ... and seen before the next one is sent
    responder = answer_request(sensor, b"R1,2,1,02\n")
    assert comms.read_register(1, 2) == b"\x02"
    responder.result()


def test_version_3_samples_keep_flowing_around_register_traffic(text_comms, sensor):
    comms = text_comms(3)
    responder = answer_request(sensor, b"5,6\nR1,2,1,7f\n")
    assert comms.read_register(1, 2) == b"\x7f"
    responder.result()
    assert comms.read_raw(1000) == [5.0, 6.0]
