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


def thread_usage(exclude):
    """CPU seconds and read system calls of this process's threads not in `exclude`."""
    ticks = reads = 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) in exclude:
            continue
        with open(f"/proc/self/task/{tid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])  # utime + stime
        with open(f"/proc/self/task/{tid}/io") as io:
            reads += int(next(line for line in io if line.startswith("syscr")).split()[1])
    return ticks / TICKS, reads


def paced_writer(master, frames, stop, data):
    next_at = time.perf_counter()
    for _ in range(frames):
        if stop.is_set():
            return
        os.write(master, data)
        next_at += 0.001
        delay = next_at - time.perf_counter()
        if delay > 0:
            time.sleep(delay)


def usage_per_frame(frames, data, reader):
    """(CPU seconds, read system calls) per frame of the reader thread at 1,000 frames/s."""
    master, slave, path = open_pty()
    before = set(int(t) for t in os.listdir("/proc/self/task"))
    stop = threading.Event()
    writer = threading.Thread(target=paced_writer, args=(master, frames, stop, data))
    consumer = reader(path, stop)
    time.sleep(0.2)
    # Every thread started since `before` is the reader under test; the writer is left out.
    start_cpu, start_reads = thread_usage(before)
    writer.start()
    writer_tid = writer.native_id
    writer.join()
    time.sleep(0.2)
    cpu, reads = thread_usage(before | {writer_tid})
    stop.set()
    consumer()
    os.close(master)
    os.close(slave)
    return (cpu - start_cpu) / frames, (reads - start_reads) / frames


def module_reader(version):
    def start(path, stop):
        return connect_module(path, version)

    return start


def connect_module(path, version):
    comms = feltwise_comm_py.FeltwiseComms()
    comms.init(version)
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
    binary = frame(list(range(64)))
    text = (",".join(f"{1000 + 37 * v}.25" for v in range(64)) + "\n").encode()
    v1_cpu, v1_reads = usage_per_frame(cpu_frames, binary, module_reader("1"))
    v1_bare_cpu, v1_bare_reads = usage_per_frame(cpu_frames, binary, bare_reader)
    v0_cpu, v0_reads = usage_per_frame(cpu_frames, text, module_reader("0"))
    v0_bare_cpu, v0_bare_reads = usage_per_frame(cpu_frames, text, bare_reader)
    print(f"{'measure':<40} {'module':>12} {'bare read':>12} {'ratio':>7}")
    rows = [
        ("v1 latency median (us)", statistics.median(module), statistics.median(bare)),
        ("v1 latency p99 (us)", percentile(module, 0.99), percentile(bare, 0.99)),
        ("v1 reader CPU per frame, 64 values (us)", v1_cpu * 1e6, v1_bare_cpu * 1e6),
        ("v1 read syscalls per frame", v1_reads, v1_bare_reads),
        (f"v0 reader CPU per line, {len(text)} B (us)", v0_cpu * 1e6, v0_bare_cpu * 1e6),
        ("v0 read syscalls per line", v0_reads, v0_bare_reads),
    ]
    for name, mine, base in rows:
        ratio = mine / base if base else float("nan")
        print(f"{name:<40} {mine:>12.2f} {base:>12.2f} {ratio:>7.2f}")
    print(f"{FRAMES} frames for latency; {cpu_frames} frames or lines of 64 values at 1,000/s for CPU;")
    print("CPU from /proc/self/task at clock-tick resolution (1/%d s)." % TICKS)


if __name__ == "__main__":
    main()
