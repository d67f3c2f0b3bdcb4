"""A sensor played at the pace of a real serial line, for the module's tests.

A pseudo-terminal hands every write over at once. A sensor behind a USB-serial
adapter at 115200 baud 8N1 delivers about 11.5 bytes per millisecond, in the
adapter's chunks, some of them late. `PacedLine` writes its samples to the pty
master that way: each chunk handed over once its last byte would have crossed
the line (bits per byte / baud), plus a random jitter; a sample may pause
part-way, and a reply may come late.

The module keeps the interpreter lock while it waits, so the pacing runs in a
child process, as `conftest.SensorProcess` does. The samples travel to it on
its standard input: a command line could not hold long frames.
"""

import pickle
import subprocess
import sys

from feltwise.sim import wire

PACED_LINE_SCRIPT = r"""
import os, pickle, random, select, sys, time

fd = int(sys.argv[1])
arg = pickle.load(sys.stdin.buffer)
pace = arg["pace"]
rng = random.Random(pace["seed"])
line_free = time.monotonic()


def sleep_until(moment):
    left = moment - time.monotonic()
    if left > 0:
        time.sleep(left)


def send(data):
    global line_free
    for at in range(0, len(data), pace["chunk"]):
        piece = data[at : at + pace["chunk"]]
        line_free = max(line_free, time.monotonic()) + len(piece) * pace["bits_per_byte"] / pace["baud"]
        sleep_until(line_free + rng.uniform(0, pace["jitter_us"]) / 1e6)
        view = memoryview(piece)
        while view:
            view = view[os.write(fd, view):]


def pause(seconds):
    global line_free
    line_free = max(line_free, time.monotonic()) + seconds
    sleep_until(line_free)


request = b""
if arg["request_size"]:
    deadline = time.monotonic() + 5
    while len(request) < arg["request_size"] and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.05)[0]:
            request += os.read(fd, 4096)
    pause(arg["reply_delay"])

sent = 0
due = time.monotonic()
for pieces in arg["samples"]:
    sleep_until(due)
    due += arg["period"]
    for i, piece in enumerate(pieces):
        if i:
            pause(arg["split"])
        send(piece)
    sent += 1
sys.stdout.write(f"{sent} {request.hex()}")
"""


class PacedLine:
    """Plays `samples` (each bytes, or a list of pieces with `split` s of silence
    between them) on `sensor`'s pty, one every `period` s at the latest, at
    `baud` with `bits_per_byte` per character, `chunk` bytes at a time, each
    chunk up to `jitter_us` late. With `request_size`, first waits for that
    many bytes from the host and stays silent `reply_delay` s: the samples are
    then a late reply."""

    def __init__(
        self,
        sensor,
        samples,
        *,
        period=0.0,
        split=0.0,
        baud=115200,
        bits_per_byte=10,
        chunk=64,
        jitter_us=0,
        seed=1,
        request_size=0,
        reply_delay=0.0,
    ):
        arg = {
            "samples": [[s] if isinstance(s, bytes) else list(s) for s in samples],
            "period": period,
            "split": split,
            "pace": {
                "baud": baud,
                "bits_per_byte": bits_per_byte,
                "chunk": chunk,
                "jitter_us": jitter_us,
                "seed": seed,
            },
            "request_size": request_size,
            "reply_delay": reply_delay,
        }
        self._process = subprocess.Popen(
            [sys.executable, "-c", PACED_LINE_SCRIPT, str(sensor.master)],
            pass_fds=[sensor.master],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        with self._process.stdin as stdin:
            stdin.write(pickle.dumps(arg))
        # communicate() would flush the closed pipe again.
        self._process.stdin = None

    def result(self, timeout=60.0):
        """(samples sent, request received) once all is sent."""
        out, _ = self._process.communicate(timeout=timeout)
        sent, request = out.decode().split(" ")
        return int(sent), bytes.fromhex(request)

    def stop(self):
        if self._process.poll() is None:
            self._process.terminate()
        self._process.communicate()


def line_time(size, baud=115200, bits_per_byte=10):
    """Seconds the line needs to carry `size` bytes."""
    return size * bits_per_byte / baud


# Counters as the C++ tests' played sensor writes them: value i of sample k is
# k + i, in binary frames spread over two 7-bit bytes, so that no payload byte
# is FF and a torn or shifted sample cannot pass for a whole one.
COUNTER_RANGE = 1 << 14


def counter_word(counter):
    c = counter % COUNTER_RANGE
    return (c & 0x7F) | ((c >> 7) << 8)


def counter_frame(k, count):
    return wire.sample_frame([counter_word(k + i) for i in range(count)])


def counter_line(k, count):
    # Five digits a number from 10000 up: six bytes a value with its comma.
    return (",".join(str((10000 + k + i) % COUNTER_RANGE) for i in range(count)) + "\n").encode()


def is_counter_sample(sample, count, text):
    if len(sample) != count:
        return False
    if text:
        first = int(sample[0])
        return all(int(v) == (first + i) % COUNTER_RANGE for i, v in enumerate(sample))
    word = int(sample[0])
    first = (word & 0x7F) | ((word >> 8) << 7)
    return all(v == counter_word(first + i) for i, v in enumerate(sample))
