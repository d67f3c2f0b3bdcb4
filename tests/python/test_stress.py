"""Stress through the module: a thousand connects, a thousand objects, and every
operation from several Python threads against a sensor that streams without
pause and answers register requests.

Every module call keeps the interpreter lock while it waits, so the sensor is
played by a process of its own, and the Python threads take turns: what runs
beside each call is the acquisition thread, which never touches Python.
"""

import os
import threading
import time
from collections import Counter

import pytest

from conftest import SensorProcess
from feltwise_comm_py import FeltwiseComms

CYCLES = 1000
VALUES = 4

# Streams version-1/4 frames of VALUES counter values, one per millisecond, and
# answers read requests with the address and write requests with success.
# Each 14-bit counter is spread over two 7-bit bytes, so no payload byte is
# 0xFF and a torn or shifted sample cannot pass for a whole one.
STREAM_AND_ANSWER = """
import fcntl
fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)

def word(counter):
    counter %= 16384
    return (counter & 0x7F) | ((counter >> 7) << 8)

def send(data):
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view):]
        except BlockingIOError:
            select.select([], [fd], [], 0.01)

counter = 0
pending = b""
next_at = time.monotonic()
while True:
    if select.select([fd], [], [], max(0.0, next_at - time.monotonic()))[0]:
        try:
            pending += os.read(fd, 4096)
        except BlockingIOError:
            pass
        while len(pending) >= 8:
            first, address, ident, size = struct.unpack_from("<HHHH", pending)
            if first == 0xFFFB:
                send(struct.pack("<HHHHH", 0xFFFB, address, ident, 2, address))
                pending = pending[8:]
            elif first == 0xFFFC:
                if len(pending) < 8 + size:
                    break
                send(struct.pack("<HH", 0xFFFA, 1))
                pending = pending[8 + size:]
            else:
                pending = pending[1:]
    now = time.monotonic()
    if now >= next_at:
        send(struct.pack("<HH", 0xFFFF, arg) + b"".join(struct.pack("<H", word(counter + i)) for i in range(arg)))
        counter += 1
        next_at = max(next_at + 0.001, now - 0.005)
"""


def is_counter_sample(sample):
    if len(sample) != VALUES:
        return False
    words = [int(value) for value in sample]
    if any(word & 0x8080 for word in words):
        return False
    counters = [(word & 0x7F) | ((word >> 8) << 7) for word in words]
    return all(counter == (counters[0] + i) % 16384 for i, counter in enumerate(counters))


def resources():
    """Open descriptors and threads of this process."""
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def at_rest(timeout=2.0):
    """resources(), once they have not changed for 100 ms: a thread an earlier
    test joined may still be leaving the kernel (Python's join returns before
    the thread has ended, later still under the sanitizers)."""
    deadline = time.monotonic() + timeout
    last = resources()
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = resources()
        if now == last:
            break
        last = now
    return last


def settled(expected, timeout=2.0):
    deadline = time.monotonic() + timeout
    while resources() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return resources()


@pytest.fixture
def streaming(sensor):
    process = SensorProcess(sensor, STREAM_AND_ANSWER, VALUES)
    yield sensor
    process.stop()


def test_a_thousand_connects_leak_no_descriptor_and_no_thread(streaming):
    comms = FeltwiseComms()
    comms.init("1")
    comms.connect(streaming.path)
    assert is_counter_sample(comms.read_raw(2000))
    before = at_rest()
    for cycle in range(CYCLES):
        comms.connect(streaming.path)
        assert is_counter_sample(comms.read_raw(2000)), f"cycle {cycle}"
    assert settled(before) == before
    del comms
    print(f"{CYCLES} connects: fds and threads {before} -> {resources()} after the object")


def test_a_thousand_objects_leak_no_descriptor_and_no_thread(streaming):
    warm_up = FeltwiseComms()
    warm_up.init("1")
    warm_up.connect(streaming.path)
    del warm_up
    before = at_rest()
    for cycle in range(CYCLES):
        comms = FeltwiseComms()
        comms.init("1")
        comms.connect(streaming.path)
        assert is_counter_sample(comms.read_raw(2000)), f"cycle {cycle}"
        del comms
    assert settled(before) == before


DOCUMENTED = {
    "Could not zero the sensor",
    # A request written to the protocol that init has just replaced waits for a
    # reply that the new protocol receives.
    "Register read timeout",
    "Register write timeout",
}


def test_every_operation_from_several_threads(streaming, param_file):
    from conftest import taxel_record

    comms = FeltwiseComms()
    comms.init(param_file(4, [taxel_record(i, i) for i in range(VALUES)]))
    comms.connect(streaming.path)
    outcomes = Counter()
    torn = []
    lock = threading.Lock()
    stop = threading.Event()

    # Short time-outs: every call keeps the interpreter lock while it waits,
    # so one waiting call holds up all the other threads.
    def read_raw():
        sample = comms.read_raw(200)
        if sample and not is_counter_sample(sample):
            torn.append(sample)

    def read():
        sample = comms.read(200)
        if sample and len(sample) != VALUES:
            torn.append(sample)

    def read_register():
        # A write's acknowledgement also ends a waiting read, with the bytes of
        # the last read reply: those of this address, or none yet.
        data = comms.read_register(0x1234, 7, 300)
        if data not in (b"\x34\x12", b""):
            torn.append(data)

    def is_connected():
        if not comms.is_connected():
            raise RuntimeError("not connected")

    operations = {
        "read_raw": read_raw,
        "read": read,
        "zero": lambda: comms.zero([]),
        "read_register": read_register,
        "write_register": lambda: comms.write_register(0x1234, 7, b"\x01\x02", 300),
        "init": lambda: (comms.init("4"), time.sleep(0.03)),
        "is_connected": is_connected,
    }

    def repeat(name, operation):
        while not stop.is_set():
            try:
                operation()
                outcome = f"{name} ok"
            except RuntimeError as error:
                outcome = f"{name}: {error}"
            with lock:
                outcomes[outcome] += 1

    threads = [threading.Thread(target=repeat, args=item) for item in operations.items()]
    threads.append(threading.Thread(target=repeat, args=("read_raw", read_raw)))
    for thread in threads:
        thread.start()
    time.sleep(3)
    stop.set()
    for thread in threads:
        thread.join(timeout=10)
        assert not thread.is_alive(), "a call never returned"

    print(dict(outcomes))
    assert not torn
    for outcome in outcomes:
        name, _, error = outcome.partition(": ")
        assert outcome.endswith(" ok") or error in DOCUMENTED, outcome
    for name in ("read_raw", "read", "read_register", "write_register", "init"):
        assert outcomes[f"{name} ok"] > 0, name
    assert comms.is_connected()


@pytest.mark.parametrize(
    "version, cut",
    [("1", b"\xff\xff\x04\x00\x01\x00"), ("0", b"1,2,"), ("4", b"\xfb\xff\x01\x00")],
    ids=["mid-frame", "mid-line", "mid-reply"],
)
def test_destroying_while_the_acquisition_thread_waits_in_a_read(sensor, version, cut):
    before = at_rest()
    comms = FeltwiseComms()
    comms.init(version)
    comms.connect(sensor.path)
    sensor.send(cut)
    time.sleep(0.03)
    start = time.monotonic()
    del comms
    assert time.monotonic() - start < 0.5
    assert settled(before) == before
    again = FeltwiseComms()
    again.init(version)
    again.connect(sensor.path)
    assert again.is_connected()
