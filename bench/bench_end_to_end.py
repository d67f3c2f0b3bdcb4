"""End to end through the Python module, beside a bare Python reader of the same pty.

latency: a version-1 frame written on the master side until read_raw() returns
it in Python (one frame in flight at a time), median and 99th percentile;
the baseline is select()+os.read() on the slave in Python, which only sees
bytes and decodes nothing.
cpu: acquisition thread CPU time per frame at 1,000 frames/s of 64 values, read
from /proc/self/task; the baseline is a Python thread draining the same stream.

Run: python3 bench/bench_end_to_end.py [frames]
"""

import os
import select
import statistics
import struct
import sys
import threading
import time
import tty

import feltwise_comm_py

FRAMES = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
TICKS = os.sysconf("SC_CLK_TCK")


def frame(values):
    return struct.pack(f"<HH{len(values)}H", 0xFFFF, len(values), *values)


def open_pty():
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def percentile(samples, q):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def latency_module(frames):
    master, slave, path = open_pty()
    comms = feltwise_comm_py.FeltwiseComms()
    comms.init("1")
    comms.connect(path)
    samples = []
    for i in range(frames):
        data = frame([i % 60000, 1, 2, 3])
        start = time.perf_counter_ns()
        os.write(master, data)
        if comms.read_raw(1000):
            samples.append((time.perf_counter_ns() - start) / 1000)
    del comms
    os.close(master)
    os.close(slave)
    return samples


def latency_bare(frames):
    master, slave, path = open_pty()
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)
    samples = []
    for i in range(frames):
        data = frame([i % 60000, 1, 2, 3])
        start = time.perf_counter_ns()
        os.write(master, data)
        got = 0
        while got < len(data):
            select.select([fd], [], [], 1.0)
            got += len(os.read(fd, 4096))
        samples.append((time.perf_counter_ns() - start) / 1000)
    os.close(fd)
    os.close(master)
    os.close(slave)
    return samples


def thread_cpu_seconds(exclude):
    """CPU time of this process's threads that are not in `exclude`."""
    total = 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) in exclude:
            continue
        with open(f"/proc/self/task/{tid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime + stime
    return total / TICKS


def paced_writer(master, frames, stop):
    data = frame(list(range(64)))
    next_at = time.perf_counter()
    for _ in range(frames):
        if stop.is_set():
            return
        os.write(master, data)
        next_at += 0.001
        delay = next_at - time.perf_counter()
        if delay > 0:
            time.sleep(delay)


def cpu_per_frame(frames, reader):
    master, slave, path = open_pty()
    before = set(int(t) for t in os.listdir("/proc/self/task"))
    stop = threading.Event()
    writer = threading.Thread(target=paced_writer, args=(master, frames, stop))
    consumer = reader(path, stop)
    time.sleep(0.2)
    # Every thread started since `before` is the reader under test, except the writer.
    start_cpu = thread_cpu_seconds(before)
    writer.start()
    writer_tid = writer.native_id
    writer.join()
    time.sleep(0.2)
    cpu = thread_cpu_seconds(before | {writer_tid}) - start_cpu
    stop.set()
    consumer()
    os.close(master)
    os.close(slave)
    return cpu / frames


def module_reader(path, stop):
    comms = feltwise_comm_py.FeltwiseComms()
    comms.init("1")
    comms.connect(path)

    def finish():
        comms.connect("")  # joins the acquisition thread

    return finish


def bare_reader(path, stop):
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY)

    def drain():
        while not stop.is_set():
            if select.select([fd], [], [], 0.1)[0]:
                os.read(fd, 65536)

    thread = threading.Thread(target=drain)
    thread.start()

    def finish():
        thread.join()
        os.close(fd)

    return finish


def main():
    module = latency_module(FRAMES)
    bare = latency_bare(FRAMES)
    cpu_frames = min(FRAMES, 5000)
    module_cpu = cpu_per_frame(cpu_frames, module_reader)
    bare_cpu = cpu_per_frame(cpu_frames, bare_reader)
    print(f"{'measure':<34} {'module':>12} {'bare read':>12} {'ratio':>7}")
    rows = [
        ("latency median (us)", statistics.median(module), statistics.median(bare)),
        ("latency p99 (us)", percentile(module, 0.99), percentile(bare, 0.99)),
        ("reader CPU per frame (us)", module_cpu * 1e6, bare_cpu * 1e6),
    ]
    for name, mine, base in rows:
        ratio = mine / base if base else float("nan")
        print(f"{name:<34} {mine:>12.1f} {base:>12.1f} {ratio:>7.2f}")
    print(f"{FRAMES} frames for latency, {cpu_frames} frames of 64 values at 1,000/s for CPU;")
    print("CPU from /proc/self/task at clock-tick resolution (1/%d s)." % TICKS)


if __name__ == "__main__":
    main()
