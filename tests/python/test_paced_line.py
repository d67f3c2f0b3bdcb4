"""Every protocol on a line paced like a real one (115200 baud 8N1, an
adapter's chunks, jitter): the largest frames and long lines take longer than
the port's 100 ms read time-out to arrive, lines may pause part-way, replies
may come late, and no sample may arrive cut. Each case prints its figures:
samples whole against samples sent."""

import struct

import pytest

from feltwise import protocols
from feltwise.sim import wire
from feltwise_comm_py import FeltwiseComms
from paced_line import PacedLine, counter_frame, counter_line, counter_word, is_counter_sample


def enciphered_counter_frame(k, count):
    return wire.enciphered_frame([counter_word(k + i) for i in range(count)], count=count)


def connected(sensor, version):
    comms = FeltwiseComms()
    comms.init(str(version))
    comms.connect(sensor.path)
    return comms


def tally(comms, values, text):
    """(whole, cut) samples read until the line has been quiet for a second.
    Only the newest sample is held, so a reader held up may miss one; none
    may be cut."""
    whole = cut = 0
    while True:
        sample = comms.read_raw(1000)
        if not sample:
            return whole, cut
        if is_counter_sample(sample, values, text):
            whole += 1
        else:
            cut += 1


def check(comms, line, values, text, label):
    whole, cut = tally(comms, values, text)
    sent, _ = line.result()
    print(f"\n[paced 115200] {label}: {whole} whole, {cut} cut, of {sent} sent")
    assert cut == 0
    assert sent // 2 <= whole <= sent
    assert comms.is_connected()


@pytest.mark.parametrize(
    "version, count, values",
    [(1, 700, 700), (1, 1023, 1023), (2, 1023, 512), (4, 1023, 1023)],
    ids=["v1-700", "v1-1023", "v2-1023", "v4-1023"],
)
def test_the_largest_frames_arrive_whole(sensor, version, count, values):
    if version == 2:
        pytest.importorskip("cryptography")
    build = enciphered_counter_frame if version == 2 else counter_frame
    frames = [build(k, count) for k in range(6)]
    comms = connected(sensor, version)
    line = PacedLine(sensor, frames, chunk=64, jitter_us=1000)
    check(comms, line, values, False, f"version {version}, {count} values ({len(frames[0])} bytes)")


def halves(data):
    return [data[: len(data) // 2], data[len(data) // 2 :]]


@pytest.mark.parametrize("version", protocols.text_versions())
@pytest.mark.parametrize(
    "case, count, lines, period, split",
    [("long", 233, 6, 0.0, 0.0), ("split", 40, 20, 0.1, 0.008)],
    ids=["1400-byte-lines", "split-8ms-10-per-s"],
)
def test_text_lines_arrive_whole(sensor, version, case, count, lines, period, split):
    samples = [counter_line(k, count) for k in range(lines)]
    if split:
        samples = [halves(s) for s in samples]
    comms = connected(sensor, version)
    line = PacedLine(sensor, samples, period=period, split=split, chunk=32, jitter_us=500)
    check(comms, line, count, True, f"version {version}, {case} lines of {len(counter_line(0, count))} bytes")


@pytest.mark.parametrize(
    "version, reply, expected",
    [
        (4, struct.pack("<HHHH", 0xFFFB, 1, 2, 256) + bytes(range(256)), bytes(range(256))),
        (3, b"R1,2,2,0aff\n", b"\x0a\xff"),
    ],
    ids=["v4", "v3"],
)
def test_a_late_reply_at_the_line_rate_answers_its_request(sensor, version, reply, expected):
    comms = connected(sensor, version)
    request = b"\xfb\xff\x01\x00\x02\x00\x00\x00" if version == 4 else b"r1,2,0\n"
    line = PacedLine(sensor, [reply], request_size=len(request), reply_delay=0.3, chunk=16)
    assert comms.read_register(1, 2, timeout=1500) == expected
    assert line.result()[1] == request
