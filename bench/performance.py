"""The library beside the floor of its own design, on this machine, in one run.

The floor (bench/floor_reader.cpp, loaded through ctypes) is the design with
nothing else in it: a C++ thread that waits on the port, reads, decodes and
hands the newest frame to a C++ consumer thread under a mutex and a condition
variable. Beside it, on identical streams, each from a pty of its own:
the library through FeltwiseComms.read_raw, the library through
feltwise.Sensor.read (numpy; "n/a" where feltwise.Sensor is not built), and
a plain pyserial reader in a Python thread (what users write today). The
flood rows also drain the pty with bare read() calls into nothing.

Every figure is the median of 3 rounds; within a round the readers run one
after the other, so ratios compare readers under the same load. Prints one
table (each figure with its ratio to the floor and to pyserial) and writes it
to docs/performance.md.

Run: bash tools/bench.sh   (builds, installs, then runs this)
     python3 bench/performance.py --quick   (1 round, shorter streams)
     python3 bench/performance.py --smoke   (that it runs: tiny streams, nothing written; CI)
"""

import ctypes
import datetime
import os
import platform
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

import feltwise_comm_py
import serial  # pyserial: the baseline users write today

# feltwise.Sensor only from the build that feltwise_comm_py comes from: a
# package installed for another checkout would be measured in its place.
try:
    import feltwise

    same_build = os.path.dirname(os.path.dirname(os.path.abspath(feltwise.__file__))) == os.path.dirname(
        os.path.abspath(feltwise_comm_py.__file__)
    )
    Sensor = feltwise.Sensor if same_build else None
except (ImportError, AttributeError):
    Sensor = None

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
FLOOR_LIBRARY = os.environ.get("FELTWISE_FLOOR", os.path.join(REPO, "build", "bench", "bench", "libfeltwise_floor.so"))
SMOKE = "--smoke" in sys.argv
QUICK = SMOKE or "--quick" in sys.argv
ROUNDS = 1 if QUICK else 3
LAST = 65535.0  # first value of the last frame of a stream, and of no other frame


# --- streams -----------------------------------------------------------------


def frame(values):
    return struct.pack(f"<HH{len(values)}H", 0xFFFF, len(values), *values)


def sequence_frames(count, values):
    """Frames whose first value counts up, so a reader can tell them apart;
    the last one starts with LAST."""
    frames = [frame([i % 60000] + [(1000 + 7 * v) % 65536 for v in range(values - 1)]) for i in range(count)]
    frames[-1] = frame([int(LAST)] + [0] * (values - 1))
    return frames


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


# The sensor, in a child process: writes `frames` to every fd in `fds`, either
# as fast as the kernel takes them (rate 0) or paced at `rate` per second.
# Prints the CLOCK_MONOTONIC second at which it started writing and, paced,
# how late (seconds) its latest write came behind its schedule. A flood is
# `frames` repeated `repeats` times, then `tail`.
WRITER = r"""
import os, pickle, sys, time
fds, rate, repeats, path = pickle.loads(bytes.fromhex(sys.argv[1]))
with open(path, "rb") as f:
    frames, tail = pickle.load(f)
if rate <= 0:
    body = b"".join(frames)
    body = body * max(1, 65536 // len(body))
    chunks = [memoryview(body)] * (repeats * len(frames) * len(frames[0]) // len(body)) + [memoryview(tail)]
    start = time.monotonic()
    for fd in fds:
        for view in chunks:
            while view:
                view = view[os.write(fd, view):]
else:
    period = 1.0 / rate
    start = next_at = time.monotonic()
    late = 0.0
    for data in frames + [tail]:
        late = max(late, time.monotonic() - next_at)
        for fd in fds:
            os.write(fd, data)
        next_at += period
        delay = next_at - time.monotonic()
        if delay > 0:
            time.sleep(delay)
print(start, late if rate > 0 else 0.0, flush=True)
"""


def start_writer(fds, frames, rate, repeats=1):
    """`frames`: a list whose last frame is the one the readers wait for."""
    import pickle

    blob = tempfile.NamedTemporaryFile(delete=False)
    pickle.dump((frames[:-1], frames[-1]), blob)
    blob.close()
    args = pickle.dumps((fds, rate, repeats, blob.name)).hex()
    process = subprocess.Popen([sys.executable, "-c", WRITER, args], pass_fds=fds, stdout=subprocess.PIPE, text=True)
    process.blob = blob.name
    return process


def finish_writer(process, lateness=False):
    out, _ = process.communicate()
    os.unlink(process.blob)
    start, late = (float(field) for field in out.split())
    return (start, late) if lateness else start


# --- the readers ---------------------------------------------------------------
#
# Each has take(timeout_ms) -> the first value of a frame no take() had, or
# None after the time-out, and close(). consume() runs the consumer loop: in C
# for the floor, in Python for the others.


def floor_library():
    if Floor.lib is None:
        lib = ctypes.CDLL(FLOOR_LIBRARY)
        lib.floor_open.restype = ctypes.c_void_p
        lib.floor_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.floor_close.argtypes = [ctypes.c_void_p]
        lib.floor_consume.restype = ctypes.c_long
        lib.floor_consume.argtypes = [ctypes.c_void_p, ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
        lib.floor_latency.argtypes = [
            ctypes.c_void_p,
            ctypes.c_int,
            ctypes.c_char_p,
            ctypes.c_long,
            ctypes.c_long,
            ctypes.c_double,
            ctypes.POINTER(ctypes.c_double),
        ]
        lib.floor_drain_open.restype = ctypes.c_int
        lib.floor_drain_open.argtypes = [ctypes.c_char_p]
        lib.floor_drain.restype = ctypes.c_double
        lib.floor_drain.argtypes = [ctypes.c_int, ctypes.c_long]
        Floor.lib = lib
    return Floor.lib


class Floor:
    name = "floor"
    lib = None
    poll_first = 0

    def __init__(self, path):
        self.handle = floor_library().floor_open(path.encode(), self.poll_first)
        if not self.handle:
            raise OSError(f"floor reader cannot open {path}")

    def consume(self, timeout_ms):
        done_at = ctypes.c_double()
        taken = Floor.lib.floor_consume(self.handle, LAST, timeout_ms, ctypes.byref(done_at))
        return (taken, done_at.value) if taken > 0 else (-taken, None)

    def latency(self, master, frames, rate):
        size = len(frames[0])
        micros = (ctypes.c_double * len(frames))()
        Floor.lib.floor_latency(self.handle, master, b"".join(frames), size, len(frames), rate, micros)
        return [m for m in micros if m >= 0]

    def close(self):
        Floor.lib.floor_close(self.handle)


class FloorPolling(Floor):
    """The floor waiting in poll() before each read(): what the waiting pattern costs."""

    name = "floor, poll + read"
    poll_first = 1


class PythonReader:
    """The consumer loop and the latency loop of the readers driven from Python."""

    def consume(self, timeout_ms):
        taken = 0
        take = self.take
        while True:
            first = take(timeout_ms)
            if first is None:
                return taken, None
            taken += 1
            if first == LAST:
                return taken, time.monotonic()

    def latency(self, master, frames, rate):
        micros = []
        period = 1.0 / rate
        next_at = time.perf_counter()
        for data in frames:
            start = time.perf_counter_ns()
            os.write(master, data)
            if self.take(1000) is not None:
                micros.append((time.perf_counter_ns() - start) / 1000)
            next_at += period
            delay = next_at - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        return micros


class Library(PythonReader):
    name = "FeltwiseComms"

    def __init__(self, path):
        self.comms = feltwise_comm_py.FeltwiseComms()
        self.comms.init("1")
        self.comms.connect(path)

    def take(self, timeout_ms):
        sample = self.comms.read_raw(timeout_ms)
        return sample[0] if sample else None

    def close(self):
        self.comms.connect("")  # joins the acquisition thread and releases the port


class SensorReader(PythonReader):
    name = "feltwise.Sensor"

    def __init__(self, path):
        self.sensor = Sensor(path, protocol=1)

    def take(self, timeout_ms):
        sample = self.sensor.read(timeout_ms / 1000)
        return None if sample is None else sample.raw[0]

    def close(self):
        self.sensor.close()


class Pyserial(PythonReader):
    """What tactile-sensor users write today: finds FF FF headers, unpacks
    frames with struct, keeps the newest sample behind a condition variable."""

    name = "pyserial"

    def __init__(self, path):
        self.port = serial.Serial(path, 115200, timeout=0.1)
        self.cv = threading.Condition()
        self.sample = []
        self.fresh = False
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        buffer = bytearray()
        while self.running:
            buffer += self.port.read(max(1, self.port.in_waiting))
            while True:
                start = buffer.find(b"\xff\xff")
                if start < 0:
                    del buffer[:-1]
                    break
                if len(buffer) < start + 4:
                    break
                (count,) = struct.unpack_from("<H", buffer, start + 2)
                end = start + 4 + 2 * count
                if len(buffer) < end:
                    break
                values = struct.unpack_from(f"<{count}H", buffer, start + 4)
                del buffer[:end]
                with self.cv:
                    self.sample = [float(v) for v in values]
                    self.fresh = True
                    self.cv.notify_all()

    def take(self, timeout_ms):
        with self.cv:
            if not self.cv.wait_for(lambda: self.fresh, timeout_ms / 1000):
                return None
            self.fresh = False
            return self.sample[0]

    def close(self):
        self.running = False
        self.thread.join()
        self.port.close()


READERS = [Floor, Library, SensorReader, Pyserial]


def available(reader):
    return reader is not SensorReader or Sensor is not None


# --- measuring -------------------------------------------------------------------


def threads():
    return {int(t) for t in os.listdir("/proc/self/task")}


def context_switches(tids):
    """Voluntary and forced context switches of the threads `tids` still alive."""
    total = 0
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/status") as status:
                total += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
        except FileNotFoundError:
            continue
    return total


def cpu_seconds(tids):
    """Run time of the threads `tids` still alive, from schedstat (nanoseconds)."""
    total = 0
    for tid in tids:
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except FileNotFoundError:
            continue
    return total / 1e9


# Every system call a reader of any kind makes per frame; perf counts each
# at its kernel tracepoint.
SYSCALLS = ["read", "poll", "ppoll", "select", "pselect6", "ioctl", "futex", "write", "clock_nanosleep"]


class SyscallCounter:
    """perf stat on the reader's threads and the consumer: counts of system
    calls by kind (kernel tracepoints, no sampling)."""

    def __init__(self, tids):
        self.out = tempfile.NamedTemporaryFile(suffix=".perf", delete=False).name
        self.process = subprocess.Popen(
            [
                "perf",
                "stat",
                "--no-inherit",
                "-x",
                ",",
                "-o",
                self.out,
                "-e",
                ",".join("syscalls:sys_enter_" + name for name in SYSCALLS),
                "-t",
                ",".join(str(t) for t in sorted(tids)),
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        time.sleep(0.3)  # perf attaches before the stream starts
        # --no-inherit: the writer, a child of the consumer thread, is not counted.

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait()
        counts = {}
        with open(self.out) as results:
            for line in results:
                fields = line.strip().split(",")
                if len(fields) > 2 and fields[0].replace(".", "").isdigit():
                    counts[fields[2].split(":")[-1].replace("sys_enter_", "")] = int(float(fields[0]))
        os.unlink(self.out)
        return counts


def paced(reader_class, frames, rate=1000, count_syscalls=False):
    """At `rate` frames/s: (reader threads' CPU, consumer's CPU) per delivered
    frame, frames delivered, and system calls by kind when asked."""
    pty = Pty()
    before = threads()
    reader = reader_class(pty.path)
    time.sleep(0.2)
    reader_threads = threads() - before
    consumer = {threading.get_native_id()}
    counter = SyscallCounter(reader_threads | consumer) if count_syscalls else None
    mine = reader_threads | consumer
    reader0, consumer0, switches0 = cpu_seconds(reader_threads), cpu_seconds(consumer), context_switches(mine)
    writer = start_writer([pty.master], frames, rate)
    delivered, _ = reader.consume(5000)
    reader1, consumer1, switches1 = cpu_seconds(reader_threads), cpu_seconds(consumer), context_switches(mine)
    calls = counter.stop() if counter else None
    finish_writer(writer)
    reader.close()
    pty.close()
    delivered = max(delivered, 1)
    return (
        (reader1 - reader0) / delivered,
        (consumer1 - consumer0) / delivered,
        delivered,
        (switches1 - switches0) / delivered,
        calls,
    )


def flood_frames(values, total):
    """A flood of about `total` frames: 1,000 distinct ones repeated, then the last."""
    frames = sequence_frames(1001, values)
    return frames, max(1, total // 1000)


def flood_size(frames, repeats):
    """Bytes the writer sends: whole chunks of the repeated frames, then the last one."""
    body = sum(len(f) for f in frames[:-1])
    chunk = body * max(1, 65536 // body)
    return repeats * body // chunk * chunk + len(frames[-1])


def flood(reader_class, frames, repeats):
    """Frames of the stream per second, from the writer's first byte until
    the reader hands out the last frame."""
    pty = Pty()
    reader = reader_class(pty.path)
    time.sleep(0.1)
    writer = start_writer([pty.master], frames, 0, repeats)
    _, done_at = reader.consume(5000)
    start = finish_writer(writer)
    reader.close()
    pty.close()
    count = flood_size(frames, repeats) / len(frames[0])
    return count / (done_at - start) if done_at else 0.0


def bare_drain(frames, repeats):
    pty = Pty()
    total = flood_size(frames, repeats)
    fd = floor_library().floor_drain_open(pty.path.encode())
    writer = start_writer([pty.master], frames, 0, repeats)
    done_at = floor_library().floor_drain(fd, total)
    start = finish_writer(writer)
    pty.close()
    return total / len(frames[0]) / (done_at - start) if done_at > 0 else 0.0


def latency(reader_class, count, rate=1000):
    pty = Pty()
    reader = reader_class(pty.path)
    time.sleep(0.1)
    frames = [frame([i % 60000, 1, 2, 3] + [0] * 60) for i in range(count)]
    micros = sorted(reader.latency(pty.master, frames, rate))
    reader.close()
    pty.close()
    return statistics.median(micros), micros[min(len(micros) - 1, int(0.99 * len(micros)))]


def idle_cpu(seconds):
    pty = Pty()
    before = threads()
    reader = Library(pty.path)
    time.sleep(0.2)
    acquisition = threads() - before
    cpu0 = cpu_seconds(acquisition)
    time.sleep(seconds)
    cpu1 = cpu_seconds(acquisition)
    reader.close()
    pty.close()
    return (cpu1 - cpu0) / seconds


def many_sensors(sensors, rate, seconds):
    """One feltwise.Sensor per pty, one Python thread reading each: the
    longest time between two samples any thread got, the fewest samples a
    thread got, and the CPU of the whole process (cores)."""
    ptys = [Pty() for _ in range(sensors)]
    frames = sequence_frames(int(rate * seconds), 16)
    before = threads()
    opened = [Sensor(p.path, protocol=1) for p in ptys]
    stop = threading.Event()
    gaps = [0.0] * sensors
    counts = [0] * sensors

    def read_one(i):
        sensor, last = opened[i], None
        while not stop.is_set():
            sample = sensor.read(0.2)
            now = time.monotonic()
            if sample is None:
                continue
            counts[i] += 1
            if last is not None and counts[i] > 50:  # after the start-up ramp
                gaps[i] = max(gaps[i], now - last)
            last = now

    workers = [threading.Thread(target=read_one, args=(i,)) for i in range(sensors)]
    for worker in workers:
        worker.start()
    time.sleep(0.3)
    mine = threads() - before | {threading.get_native_id()}
    cpu0, t0 = cpu_seconds(mine), time.monotonic()
    writer = start_writer([p.master for p in ptys], frames, rate)
    writer.wait()
    cpu1, t1 = cpu_seconds(mine), time.monotonic()
    stop.set()
    for worker in workers:
        worker.join()
    _, writer_late = finish_writer(writer, lateness=True)
    for sensor in opened:
        sensor.close()
    for p in ptys:
        p.close()
    return max(gaps) * 1000, min(counts), (cpu1 - cpu0) / (t1 - t0), writer_late * 1000


def model_table():
    binary = os.path.join(REPO, "build", "bench", "bench", "bench_calibration")
    if not os.path.exists(binary):
        return None
    return subprocess.run([binary], capture_output=True, text=True, check=True).stdout


# --- the table -------------------------------------------------------------------


def median_of_rounds(measure, readers=READERS):
    """measure(reader) -> tuple of figures; runs every reader once per round,
    returns {reader: tuple of the medians over the rounds}."""
    results = {reader: [] for reader in readers if available(reader)}
    for _ in range(ROUNDS):
        for reader in results:
            results[reader].append(measure(reader))
    return {reader: tuple(statistics.median(figures) for figures in zip(*runs)) for reader, runs in results.items()}


class Table:
    def __init__(self):
        self.rows = []
        head = f"{'measure':<44} {'floor':>9} {'FeltwiseComms':>24} {'feltwise.Sensor':>24} {'pyserial':>20}  target"
        print(head, flush=True)

    def cell(self, value, floor, base):
        if value is None:
            return "n/a"
        text = f"{value:.2f}" if value < 1000 else f"{value:.0f}"
        ratios = []
        if floor:
            ratios.append(f"{value / floor:.2f}x F")
        if base:
            ratios.append(f"{value / base:.2f}x P")
        return f"{text} ({', '.join(ratios)})" if ratios else text

    def row(self, name, figures, target="report", verdict=""):
        """figures: {reader: value or None}; cells show ratios to floor (F) and pyserial (P)."""
        floor, base = figures.get(Floor), figures.get(Pyserial)
        cells = [self.cell(figures.get(Floor), None, None) if Floor in figures else "-"]
        for reader in (Library, SensorReader):
            cells.append(self.cell(figures.get(reader), floor, base) if reader in figures else "-")
        cells.append(self.cell(base, floor, None) if Pyserial in figures else "-")
        self.rows.append((name, *cells, target, verdict))
        print(f"{name:<44} {cells[0]:>9} {cells[1]:>24} {cells[2]:>24} {cells[3]:>20}  {target} {verdict}", flush=True)


def verdict(checks):
    """checks: {label: bool or None (not measured)} -> 'met', 'MISSED: ...'."""
    missed = [label for label, ok in checks.items() if ok is False]
    unmeasured = [label for label, ok in checks.items() if ok is None]
    text = "met" if not missed else "MISSED: " + ", ".join(missed)
    return text + (" (n/a: " + ", ".join(unmeasured) + ")" if unmeasured else "")


def ratio_check(figures, reader, limit, at_least=False):
    if reader not in figures or figures[reader] is None:
        return None
    ratio = figures[reader] / figures[Floor]
    return ratio >= limit if at_least else ratio <= limit


LOAD_AT_START = os.getloadavg()


def main():
    table = Table()
    lib, sen = Library.name, SensorReader.name
    paced_frames = sequence_frames(300 if SMOKE else 1500 if QUICK else 3000, 64)

    cost = median_of_rounds(lambda r: paced(r, paced_frames)[:4], READERS + [FloorPolling])
    polling = cost.pop(FloorPolling)
    total = {r: (c[0] + c[1]) * 1e6 for r, c in cost.items()}
    table.row(
        "CPU per delivered frame, 1 kHz x 64 (us)",
        total,
        "<= 1.15x F",
        verdict({lib: ratio_check(total, Library, 1.15), sen: ratio_check(total, SensorReader, 1.15)}),
    )
    table.row("  of which the reader thread(s) (us)", {r: c[0] * 1e6 for r, c in cost.items()})
    table.row("  of which the consumer (us)", {r: c[1] * 1e6 for r, c in cost.items()})
    table.row(f"  frames delivered (of {len(paced_frames)})", {r: c[2] for r, c in cost.items()})
    table.row("  context switches per frame", {r: c[3] for r, c in cost.items()})
    table.row("  the floor waiting in poll(), then read() (us)", {Floor: (polling[0] + polling[1]) * 1e6})

    lat = median_of_rounds(lambda r: latency(r, 300 if SMOKE else 1500 if QUICK else 3000))
    med, p99 = {r: v[0] for r, v in lat.items()}, {r: v[1] for r, v in lat.items()}
    table.row(
        "latency written -> returned, median (us)",
        med,
        "<= 1.1x F",
        verdict({lib: ratio_check(med, Library, 1.1), sen: ratio_check(med, SensorReader, 1.1)}),
    )
    table.row(
        "latency written -> returned, p99 (us)",
        p99,
        "<= 1.5x F",
        verdict({lib: ratio_check(p99, Library, 1.5), sen: ratio_check(p99, SensorReader, 1.5)}),
    )

    floods = ((16, 300000 if QUICK else 1500000), (256, 30000 if QUICK else 150000))
    if SMOKE:
        floods = ((16, 30000), (256, 3000))
    for values, count in floods:
        frames, repeats = flood_frames(values, count)
        drains = []

        # Bound now: the function runs within this turn of the loop only.
        def one_flood(reader, frames=frames, repeats=repeats, drains=drains):
            if reader is READERS[0]:
                drains.append(bare_drain(frames, repeats))  # once per round, beside the readers
            return (flood(reader, frames, repeats),)

        rates = {r: v[0] for r, v in median_of_rounds(one_flood).items()}
        drain = statistics.median(drains)
        table.row(f"flood {values} values: frames/s", rates)
        shares = {r: v / drain for r, v in rates.items()}
        target = ">= 0.5x drain" if values == 16 else "report"
        checks = {lib: shares[Library] >= 0.5, sen: shares[SensorReader] >= 0.5 if SensorReader in shares else None}
        table.row(
            f"flood {values} values: share of bare drain ({drain:.0f}/s)",
            shares,
            target,
            verdict(checks) if values == 16 else "",
        )

    if Sensor is not None:
        sensors = 4 if SMOKE else 16 if QUICK else 64
        seconds = 1.0 if SMOKE else 3.0 if QUICK else 5.0
        gap, fewest, cores, writer_late = many_sensors(sensors, 1000, seconds)
        table.row(
            f"{sensors} Sensors x 1 kHz, thread each: worst gap (ms)",
            {SensorReader: gap},
            "< 50 ms",
            verdict({sen: gap < 50}),
        )
        table.row(f"{sensors} Sensors x 1 kHz: the writer's worst lateness (ms)", {SensorReader: writer_late})
        table.row(
            f"{sensors} Sensors x 1 kHz: fewest samples a thread got (of {int(1000 * seconds)})",
            {SensorReader: fewest},
        )
        table.row(f"{sensors} Sensors x 1 kHz: CPU of the process (cores)", {SensorReader: cores})
    else:
        table.row("64 Sensors x 1 kHz, thread each: worst gap (ms)", {SensorReader: None}, "< 50 ms", "n/a")

    idle = idle_cpu(1.0 if SMOKE else 3.0 if QUICK else 10.0) * 100
    table.row("idle, silent sensor: CPU (% of a core)", {Library: idle}, "< 0.5 %", verdict({lib: idle < 0.5}))

    calls = {}
    for reader in READERS:
        if available(reader) and not (SMOKE and shutil.which("perf") is None):
            _, _, delivered, _, counts = paced(reader, sequence_frames(2000, 64), count_syscalls=True)
            calls[reader] = {kind: counts.get(kind, 0) / delivered for kind in SYSCALLS}
    if not calls:
        return
    table.row("system calls per frame, 1 kHz x 64: all", {r: sum(c.values()) for r, c in calls.items()})
    for kind in SYSCALLS:
        if any(c[kind] >= 0.01 for c in calls.values()):
            table.row(f"  {kind}", {r: c[kind] for r, c in calls.items()})

    if not SMOKE:
        write_report(table.rows, model_table())


TABLE_BEGIN = "<!-- performance.py: table -->"
TABLE_END = "<!-- performance.py: end of table -->"


def write_report(rows, models):
    """Replaces the table between the markers in docs/performance.md; the
    prose around it is written by hand."""
    load = os.getloadavg()
    lines = [
        TABLE_BEGIN,
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {platform.node()}: {platform.platform()}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}, pyserial {serial.__version__}; "
        f"load average {LOAD_AT_START[0]:.2f} {LOAD_AT_START[1]:.2f} {LOAD_AT_START[2]:.2f} at the start, "
        f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end; "
        f"every figure the median of {ROUNDS} rounds of one run of `bash tools/bench.sh`.",
        "",
        "| measure | floor | FeltwiseComms | feltwise.Sensor | pyserial | target | |",
        "|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append("| " + " | ".join(str(cell) for cell in row) + " |")
    lines += ["", "x F: ratio to the floor; x P: ratio to pyserial."]
    if models:
        lines += ["", "Models (C++ microbenchmark, bench/bench_calibration):", "", "```", models.rstrip(), "```"]
    lines.append(TABLE_END)
    path = os.path.join(REPO, "docs", "performance.md")
    with open(path) as old:
        text = old.read()
    if TABLE_BEGIN in text and TABLE_END in text:
        head, rest = text.split(TABLE_BEGIN, 1)
        tail = rest.split(TABLE_END, 1)[1]
        text = head + "\n".join(lines) + tail
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(lines) + "\n"
    with open(path, "w") as out:
        out.write(text)
    if models:
        print(models)


if __name__ == "__main__":
    main()
