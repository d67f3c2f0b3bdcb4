"""A sensor played on a real pseudo-terminal, for the extension module's tests."""

import os
import select
import subprocess
import sys
import textwrap
import time
import tty

import msgpack
import pytest

from feltwise.sim import wire


class PtySensor:
    """The device side of a pty pair; the module opens `path` as its port."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(self._slave)

    def send(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def receive(self, at_least: int, timeout: float = 1.0) -> bytes:
        received = b""
        deadline = time.monotonic() + timeout
        while len(received) < at_least:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            received += os.read(self.master, 4096)
        return received

    def unplug(self) -> None:
        """The slave side hangs up, as when a USB adapter is pulled out."""
        for fd in (self._slave, self.master):
            if fd is not None:
                os.close(fd)
        self._slave = self.master = None

    def close(self) -> None:
        if self.master is not None:
            self.unplug()


class ReplugPort:
    """A device behind a stable name, as /dev/serial/by-id gives one: `path` is
    a symlink to the slave of a pseudo-terminal. `unplug()` hangs the line up;
    the old device node and the link disappear, as when a USB adapter is
    pulled out (and the freed pseudo-terminal number may soon be another
    program's). `replug()` makes a new pseudo-terminal and links the name to
    it, as when the adapter comes back under another /dev/ttyUSB number.
    `device` is the current one (a PtySensor)."""

    def __init__(self, directory):
        self.path = os.path.join(str(directory), "feltwise-by-id")
        self.device = PtySensor()
        os.symlink(self.device.path, self.path)

    def unplug(self) -> None:
        self.device.unplug()
        os.unlink(self.path)

    def replug(self) -> "PtySensor":
        self.device.close()
        self.device = PtySensor()
        moved = self.path + ".new"
        os.symlink(self.device.path, moved)
        os.replace(moved, self.path)
        return self.device

    def close(self) -> None:
        self.device.close()


class SensorProcess:
    """Plays the sensor from another process.

    Every module call keeps the interpreter lock while it waits, so a Python
    thread of the test process could not answer a register request or stream
    samples during zero(): the answering side must be a process of its own.
    `script` runs with `fd` (the pty master) and `arg` defined; what it prints
    is returned by `result()`. The constructor returns once the script runs: an
    interpreter that starts slowly on a loaded machine takes nothing off the
    time-out of a request it answers.
    """

    def __init__(self, sensor, script, arg=None):
        ready, running = os.pipe()
        prologue = (
            f"import os, struct, sys, time, select\nfd = {sensor.master}\narg = {arg!r}\n"
            f"os.write({running}, b'r')\nos.close({running})\n"
        )
        try:
            self._process = subprocess.Popen(
                [sys.executable, "-c", prologue + textwrap.dedent(script)],
                pass_fds=[sensor.master, running],
                stdout=subprocess.PIPE,
            )
            os.close(running)
            running = -1
            if not select.select([ready], [], [], 60)[0] or os.read(ready, 1) != b"r":
                self._process.kill()
                raise AssertionError(f"the sensor's process did not start ({self._process.wait()})")
        finally:
            os.close(ready)
            if running >= 0:
                os.close(running)

    def result(self, timeout=5.0) -> bytes:
        out, _ = self._process.communicate(timeout=timeout)
        return out

    def stop(self):
        self._process.terminate()
        self._process.communicate()


# Answers one request line (or binary request of `arg[0]` bytes) with `arg[1]`;
# prints the request it received.
ANSWER_ONE_REQUEST = """
wanted, reply = arg
received = b""
deadline = time.monotonic() + 3
while time.monotonic() < deadline:
    if select.select([fd], [], [], 0.05)[0]:
        received += os.read(fd, 4096)
    if (wanted is None and received.endswith(b"\\n")) or (wanted is not None and len(received) >= wanted):
        break
if reply:
    os.write(fd, reply)
sys.stdout.write(received.hex())
"""


def answer_request(sensor, reply, request_size=None):
    return SensorProcess(sensor, ANSWER_ONE_REQUEST, (request_size, reply))


def request_of(process) -> bytes:
    return bytes.fromhex(process.result().decode())


# Streams the frames in `arg` round-robin, one every 5 ms, until killed.
STREAM_FRAMES = """
i = 0
while True:
    os.write(fd, arg[i % len(arg)])
    i += 1
    time.sleep(0.005)
"""


def binary_frame(values) -> bytes:
    """A sample frame of versions 1 and 4, by the simulated sensor's encoder."""
    return wire.sample_frame(values)


def taxel_record(channel, output, coefs=(0.0, 1.0), lower=0.0, offset=0.0):
    return {
        "SensorParameters": {"sensor_type": 1, "input_map": {channel: 0}, "output_map": {0: output}},
        "lower": lower,
        "upper": 0.0,
        "offset": offset,
        "coefs": list(coefs),
    }


def lookup_record(channel, output, lut, lower, upper, offset=0.0):
    return {
        "SensorParameters": {"sensor_type": 2, "input_map": {channel: 0}, "output_map": {0: output}},
        "lower": lower,
        "upper": upper,
        "offset": offset,
        "lut": list(lut),
    }


def triaxial_record(first_channel, outputs, coefs=(0.0, 1.0)):
    return {
        "SensorParameters": {
            "sensor_type": 0,
            "input_map": {first_channel + i: i for i in range(4)},
            "output_map": {axis: out for axis, out in enumerate(outputs)},
        },
        "lower": [0.0] * 4,
        "upper": [0.0] * 4,
        "offset": [0.0] * 4,
        "coefs_x": list(coefs),
        "coefs_y": list(coefs),
        "coefs_z": list(coefs),
    }


def smoke_case(chosen, values):
    """`values` for parametrize with `chosen` among them in the smoke subset
    (`pytest -m smoke`, run against every built wheel) too."""
    return [pytest.param(value, marks=pytest.mark.smoke) if value == chosen else value for value in values]


@pytest.fixture
def sensor():
    pty_sensor = PtySensor()
    yield pty_sensor
    pty_sensor.close()


@pytest.fixture
def replug_port(tmp_path):
    port = ReplugPort(tmp_path)
    yield port
    port.close()


@pytest.fixture
def param_file(tmp_path):
    """Writes a parameter file [version, *groups] and returns its path."""
    count = 0

    def write(version, *groups):
        nonlocal count
        count += 1
        path = tmp_path / f"params{count}.bin"
        path.write_bytes(msgpack.packb([version, *groups]))
        return str(path)

    return write


def wait_until(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()
