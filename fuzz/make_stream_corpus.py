#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets that read the sensor's stream.

corpus/read_sample_vN/   what the sensor sends, for protocol version N
corpus/register_reply_vN/ a byte choosing the waiting requests (0 a read, 1 a
                         write, 2 one of each), then what the sensor sends
corpus/text_line/        single lines: samples and read replies

The seeds are well-formed traffic of each version and the faults the tests
inject on pseudo-terminals: odd offsets, garbage, truncated frames and lines,
frames without values, replies cut off or malformed, silences ("<pause>") and
unplugs ("<unplug>", see src/serial/impl/memory_line.h).

One directory per row of the library's protocol table, its seeds chosen by
how the version speaks (feltwise.sim.wire.DIALECTS: text or binary, with
registers or without, and the frame encoder); the frames are the simulated
sensor's own encoders. A binary protocol whose encoder has no seeds here
stops the script with a message. Needs the feltwise package installed
(pip install .).
"""

import pathlib
import shutil
import struct

from feltwise import protocols
from feltwise.sim import wire

ROOT = pathlib.Path(__file__).resolve().parent
CORPUS = ROOT / "corpus"
PAUSE = b"<pause>"
UNPLUG = b"<unplug>"


def frame(values):
    return wire.sample_frame(values)


def enciphered(values):
    return wire.enciphered_frame(values, count=len(values))


def reply(data, word1=0x1234, word2=0x5678):
    return wire.binary_read_reply(word1, word2, data)


def status(code):
    return wire.binary_status(code)


def values(count, seed=1):
    return [(7919 * i + seed) % 65536 for i in range(count)]


GARBAGE = bytes((37 * i + 11) % 251 for i in range(61))


def binary_streams():
    yield "one_frame", frame([4660, 22136])
    yield "back_to_back", frame([1, 2, 3]) + frame([4, 5, 6]) + frame([7, 8, 9])
    yield "no_values", struct.pack("<HH", 0xFFFF, 0) + frame([42])
    yield "count_1024", struct.pack("<HH", 0xFFFF, 1024) + bytes(64) + PAUSE + frame([5])
    yield "largest_frame", frame(values(1023))
    yield "odd_offset", b"\x34" + frame([1, 2]) + frame([3, 4]) + frame([5, 6])
    yield "sync_word_in_payload", frame([0xFFFF, 0xFFFF, 3]) + frame([7])
    yield "payload_cut", frame([1, 2, 3, 4])[:7] + PAUSE + frame([9, 9])
    yield "count_cut", b"\xff\xff\x03" + PAUSE + frame([8])
    yield "header_cut", b"\xff" + PAUSE + frame([8])
    yield "wrong_headers", b"\xfe\xff\xff\xfe" + frame([6])
    yield "garbage_burst", frame([1]) + GARBAGE + frame([2]) + GARBAGE + PAUSE + frame([3])
    yield "unplug_mid_frame", frame([1, 2])[:5] + UNPLUG + frame([3, 4])
    yield "unplug_between_frames", frame([1]) + UNPLUG + frame([2])
    yield "stop_and_resume", frame([1]) + PAUSE + PAUSE + PAUSE + frame([2])


def register_frames():
    yield "read_reply", reply(b"\x0a\xff")
    yield "empty_reply", reply(b"")
    yield "status_success", status(1)
    yield "status_error", status(5)
    yield "reply_data_cut", struct.pack("<HHHH", 0xFFFB, 1, 2, 4) + b"\x01" + PAUSE
    yield "reply_length_cut", struct.pack("<HHH", 0xFFFB, 1, 2) + PAUSE
    yield "reply_word2_cut", struct.pack("<HH", 0xFFFB, 1) + PAUSE
    yield "reply_word1_cut", struct.pack("<H", 0xFFFB) + PAUSE
    yield "status_code_cut", struct.pack("<H", 0xFFFA) + PAUSE
    yield "samples_around_reply", frame([9, 8]) + reply(b"\x33") + frame([7])
    yield "duplicate_reply", reply(b"\x01") + reply(b"\x01") + status(1) + status(1)
    yield "write_word_from_sensor", b"\xfc\xff" + frame([1])
    yield "unplug_in_reply", reply(b"\x01\x02\x03")[:9] + UNPLUG + reply(b"\x04")
    yield "odd_offset_reply", b"\x00" + reply(b"\x11\x22") + status(1)


TEXT_LINES = [
    ("three_numbers", b"1.5,2,-3e2\n"),
    ("space_and_cr", b"1.5, 2\r\n"),
    ("text_after_number", b"12abc,3\n"),
    ("empty_field", b"1,,2\n"),
    ("leading_comma", b",1\n"),
    ("trailing_comma", b"1,\n"),
    ("lone_line_feed", b"\n"),
    ("not_a_number", b"1,x,3\n"),
    ("out_of_range", b"1e999\n"),
    ("underflow", b"1e-400\n"),
    ("inf_nan_hex_floats", b"inf,-INF,nan,nan(0x1f),0x1.8p3\n"),
    ("decimal_comma", b"1,5;2,5\n"),
    ("nul_inside", b"1\x002,3\n"),
    ("many_fields", b",".join(str(i).encode() for i in range(500)) + b"\n"),
]

REPLY_LINES = [
    ("reply_two_bytes", b"R32,1,2,0aff\n"),
    ("reply_lower_r", b"r32,1,2,0AFF\n"),
    ("reply_no_bytes", b"R32,1,0,\n"),
    ("reply_spaces_signs", b"R 32, +1, 2,1234\n"),
    ("reply_count_wraps", b"R32,1,65537,ab\n"),
    ("reply_negative_count", b"R32,1,-1,ab\n"),
    ("reply_groups", b"R32,1,2,a b1\n"),
    ("reply_three_fields", b"R32,1,2\n"),
    ("reply_five_fields", b"R32,1,2,0aff,1\n"),
    ("reply_not_a_number", b"R32,x,1,00\n"),
    ("reply_out_of_range", b"R99999999999999999999999,1,1,00\n"),
    ("reply_too_many_digits", b"R32,1,1,0aff\n"),
    ("reply_carriage_return", b"R32,1,2,0aff\r\n"),
    ("own_request_echoed", b"r32,1,0\n"),
]


def text_streams(with_registers):
    yield "lines", b"1,2,3\n4,5,6\n7.5,8e1,-9\n"
    for name, line in TEXT_LINES:
        yield name, line + b"4,5\n"
    yield "partial_line_then_pause", b"1,2" + PAUSE + b"3,4\n"
    yield "unplug_mid_line", b"1,2," + UNPLUG + b"3,4\n"
    yield "stop_and_resume", b"1\n" + PAUSE + PAUSE + b"2\n"
    yield "one_byte_line", b"7\n8,9\n"
    yield "long_line", b",".join(b"123.25" for _ in range(500)) + b"\n1\n"
    if with_registers:
        for name, line in REPLY_LINES:
            yield name, b"1,2\n" + line + b"3,4\n"
        yield "acknowledgement", b"OK\n1\n"
        yield "device_error", b"E 17 register locked\n1\n"
        yield "error_then_ack", b"E\nO\nR1,2,1,ff\n"


def register_text_streams():
    for mode in (0, 1, 2):
        prefix = bytes([mode])
        yield f"m{mode}_reply", prefix + b"R32,1,2,0aff\n"
        yield f"m{mode}_ack", prefix + b"O\n"
        yield f"m{mode}_error", prefix + b"E 9 bad\n"
        yield f"m{mode}_samples_around", prefix + b"1,2\nR32,1,1,7f\n3\nO\n"
        yield f"m{mode}_malformed", prefix + b"R32,1,2\nR32,x,1,00\nR32,1,3,0aff\n"
        yield f"m{mode}_duplicate", prefix + b"R32,1,1,01\nR32,1,1,01\nO\nO\n"
        yield f"m{mode}_partial_then_pause", prefix + b"R32,1,2,0a" + PAUSE + b"O\n"
        yield f"m{mode}_unplug", prefix + b"R32,1," + UNPLUG + b"O\n"


def register_binary_streams():
    for mode in (0, 1, 2):
        prefix = bytes([mode])
        for name, data in register_frames():
            yield f"m{mode}_{name}", prefix + data


def write(target, seeds):
    directory = CORPUS / target
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir(parents=True)
    for name, data in seeds:
        (directory / name).write_bytes(data)
    print(f"wrote {len(list(directory.iterdir()))} seeds to {directory.relative_to(ROOT.parent)}")


def enciphered_streams():
    yield "one_frame", enciphered([4660, 22136])
    yield "count_8", enciphered(values(8))
    yield "count_15", enciphered(values(15))
    yield "count_16", enciphered(values(16))
    yield "count_17", enciphered(values(17))
    yield "largest_frame", enciphered(values(1023))
    yield "no_values", struct.pack("<HH", 0xFFFF, 0) + enciphered([42])
    yield "ciphertext_cut", enciphered(values(20))[:30] + PAUSE + enciphered([1])
    yield "odd_offset", b"\x77" + enciphered([1, 2]) + enciphered([3])
    yield "garbage_burst", GARBAGE + PAUSE + enciphered([5, 6])
    yield "unplug_mid_frame", enciphered([1, 2])[:9] + UNPLUG + enciphered([3])


# The frame seeds of each binary protocol, by the simulated sensor's encoder
# for it; a text protocol's seeds follow from its dialect alone.
FRAME_STREAMS = {
    wire.sample_frame: binary_streams,
    wire.enciphered_frame: enciphered_streams,
}


def sample_streams(version, dialect):
    if dialect.is_text:
        return text_streams(with_registers=dialect.has_registers)
    if dialect.encode not in FRAME_STREAMS:
        raise SystemExit(
            f"make_stream_corpus.py has no frame seeds for protocol {version} "
            f"(wire.{dialect.encode.__name__}): add them to FRAME_STREAMS"
        )
    return list(FRAME_STREAMS[dialect.encode]()) + (list(register_frames()) if dialect.has_registers else [])


def main():
    for version in protocols.versions():
        dialect = wire.dialect(version)
        write(f"read_sample_v{version}", sample_streams(version, dialect))
        if dialect.has_registers:
            replies = register_text_streams() if dialect.is_text else register_binary_streams()
            write(f"register_reply_v{version}", replies)
    write("text_line", TEXT_LINES + REPLY_LINES)


if __name__ == "__main__":
    main()
