"""A program exits with its own status whatever its threads are doing with a
Sensor: the main thread returns (or calls sys.exit, or raises) while a daemon
thread waits in a read, a queue, zero or a register request. Each variant
runs 20 times in child processes; one run is not enough for a race.
"""

import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

RUNS = 20

# argv: activity, how the main thread ends. A daemon thread loops on the
# activity; the main thread ends once that thread is inside its call.
PROGRAM = r"""
import os, struct, sys, threading, time, tty
import feltwise

activity, ending = sys.argv[1], sys.argv[2]
master, slave = os.openpty()
tty.setraw(master)
port = os.ttyname(slave)
sensor = feltwise.Sensor(port, protocol=4 if activity == "register" else 1, queue=64 if activity == "queue" else 0)
inside = threading.Event()


def loop():
    while True:
        try:
            inside.set()
            if activity in ("samples", "queue"):
                for _ in sensor.samples(timeout=None):
                    pass
            elif activity == "read":
                sensor.read(0.5)
            elif activity == "zero":
                sensor.zero()
            elif activity == "register":
                sensor.read_register(1, 0, timeout=5.0)
        except feltwise.SensorError:
            pass


def stream():
    # The device streams 1,000 frames/s: the reader goes in and out of the
    # interpreter all the time, not only at the end of a long wait.
    frame = struct.pack("<HHHH", 0xFFFF, 2, 1, 2)
    while True:
        os.write(master, frame)
        time.sleep(0.001)


threading.Thread(target=loop, daemon=True).start()
if activity not in ("register", "silent"):
    threading.Thread(target=stream, daemon=True).start()
inside.wait()
time.sleep(0.05)
if ending == "exit3":
    sys.exit(3)
if ending == "raise":
    raise RuntimeError("the main thread failed")
"""

ACTIVITIES = ["samples", "queue", "read", "zero", "register", "silent"]


def run_child(activity, ending):
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", PROGRAM, activity, ending], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stderr, time.monotonic() - started


def run_many(cases):
    with ThreadPoolExecutor(max_workers=max(2, min(4, os.cpu_count() or 2))) as pool:
        return list(pool.map(lambda case: run_child(*case), cases))


@pytest.mark.smoke
@pytest.mark.parametrize(
    "activity, ending, status",
    [(activity, "return", 0) for activity in ACTIVITIES[:5]]
    # Each of the 20 runs of these two has its daemon thread in another activity.
    + [("mixed", "exit3", 3), ("mixed", "raise", 1)],
)
def test_the_program_exits_with_its_own_status_while_a_thread_waits_in_a_sensor(activity, ending, status):
    cases = [(ACTIVITIES[i % len(ACTIVITIES)] if activity == "mixed" else activity, ending) for i in range(RUNS)]
    results = run_many(cases)
    statuses = [code for code, _, _ in results]
    slowest = max(seconds for _, _, seconds in results)
    print(f"\nFIGURES runs={RUNS} exited_as_expected={statuses.count(status)} slowest_run_s={slowest:.2f}")
    for (case_activity, _), (code, stderr, _) in zip(cases, results):
        assert code == status, f"{case_activity}: status {code}\n{stderr}"
        assert "terminate called" not in stderr and "Fatal Python error" not in stderr, stderr
        if ending == "raise":
            assert stderr.rstrip().endswith("RuntimeError: the main thread failed"), stderr


# Registered before feltwise is imported, the report runs after feltwise's own
# exit hook (atexit runs the last registered first).
CLOSING_ORDER = r"""
import atexit, os, sys, tty

order = []


@atexit.register
def report():
    sys.stdout.write(" ".join(order) + "\n")


import feltwise


class Watched(feltwise.Sensor):
    def close(self):
        if not self.closed:
            order.append(os.path.basename(self.port))
        super().close()


ports = []
for _ in range(3):
    master, slave = os.openpty()
    tty.setraw(master)
    ports.append(os.ttyname(slave))
sensors = [Watched(port) for port in ports]
sensors[1].close()
print(" ".join(os.path.basename(port) for port in ports))
"""


@pytest.mark.smoke
def test_sensors_left_open_are_closed_at_exit_newest_first():
    done = subprocess.run([sys.executable, "-c", CLOSING_ORDER], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    opened, closed = done.stdout.splitlines()
    names = opened.split()
    # The one the program closed itself, then the others at exit, newest first.
    assert closed.split() == [names[1], names[2], names[0]]
