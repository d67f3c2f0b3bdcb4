"""feltwise.Sensor.read_batch beside Sensor.read and the floor, on this machine, in one run.

1. CPU per delivered frame at 1 kHz x 64 values (reader threads + consumer),
   each reader on its own pty with the same stream, the median of 3 rounds
   (performance.py's `paced`): the floor (bench/floor_reader.cpp), a
   Sensor.read consumer, and a Sensor.read_batch consumer that asks for
   `MIN_SAMPLES` frames at a time (woken once per batch, not per frame).
2. N sensors x 1 kHz x 16 values in one Python process, one thread per
   sensor, reading batches: the longest time between two batches any thread
   got, the frames lost (dropped) and the process's CPU in cores; beside it
   the same with Sensor.read, as performance.py measures it.

Run: python3 bench/bench_batches.py [--quick]   (the floor library from the bench
     preset: cmake --preset bench && cmake --build --preset bench --target feltwise_floor)
"""

import statistics
import sys
import threading
import time

import performance as perf
from performance import LAST, Floor, Pty, PythonReader, Sensor, SensorReader, cpu_seconds, threads

QUICK = "--quick" in sys.argv
MIN_SAMPLES = 10  # 10 ms of frames at 1 kHz per batch
ROUNDS = 1 if QUICK else 3


class SensorBatchReader(PythonReader):
    name = "Sensor.read_batch"

    def __init__(self, path):
        self.sensor = Sensor(path, protocol=1, queue=1024)

    def consume(self, timeout_ms):
        taken = 0
        quiet_since = time.monotonic()
        while True:
            batch = self.sensor.read_batch(timeout=0.05, min_samples=MIN_SAMPLES)
            now = time.monotonic()
            if not len(batch):
                if now - quiet_since > timeout_ms / 1000:
                    return taken, None
                continue
            quiet_since = now
            taken += len(batch)
            if batch.raw[-1, 0] == LAST:
                return taken, now

    def take(self, timeout_ms):
        batch = self.sensor.read_batch(timeout=timeout_ms / 1000)
        return batch.raw[-1, 0] if len(batch) else None

    def close(self):
        self.sensor.close()


def many_sensors_batched(sensors, rate, seconds):
    """One Sensor per pty, one thread each reading batches of MIN_SAMPLES:
    worst gap between two batches (ms), fewest frames a thread got, most
    frames a sensor dropped, CPU of the process (cores)."""
    ptys = [Pty() for _ in range(sensors)]
    frames = perf.sequence_frames(int(rate * seconds), 16)
    before = threads()
    opened = [Sensor(p.path, protocol=1, queue=1024) for p in ptys]
    stop = threading.Event()
    arrivals = [[] for _ in range(sensors)]  # (time, rows so far) of each batch
    counts = [0] * sensors
    dropped = [0] * sensors

    def read_one(i):
        sensor = opened[i]
        while not stop.is_set():
            batch = sensor.read_batch(timeout=0.2, min_samples=MIN_SAMPLES)
            if not len(batch):
                continue
            counts[i] += len(batch)
            dropped[i] = batch.dropped
            arrivals[i].append((time.monotonic(), counts[i]))

    workers = [threading.Thread(target=read_one, args=(i,)) for i in range(sensors)]
    for worker in workers:
        worker.start()
    time.sleep(0.3)
    mine = threads() - before | {threading.get_native_id()}
    cpu0, t0 = cpu_seconds(mine), time.monotonic()
    writer = perf.start_writer([p.master for p in ptys], frames, rate)
    writer.wait()
    cpu1, t1 = cpu_seconds(mine), time.monotonic()
    stop.set()
    for worker in workers:
        worker.join()
    perf.finish_writer(writer)
    for sensor in opened:
        sensor.close()
    for p in ptys:
        p.close()
    # While the stream ran, after the start-up ramp: the stream's last few
    # frames come with the time-out of a batch that waits for more.
    gaps = []
    for times in arrivals:
        running = [t for t, rows in times if rows > 50 and t <= t1]
        gaps.extend(b - a for a, b in zip(running, running[1:]))
    return max(gaps) * 1000, min(counts), max(dropped), (cpu1 - cpu0) / (t1 - t0)


def main():
    readers = [Floor, SensorReader, SensorBatchReader]
    frames = perf.sequence_frames(1500 if QUICK else 3000, 64)
    rounds = {r: [] for r in readers}
    for _ in range(ROUNDS):
        for reader in readers:
            reader_cpu, consumer_cpu, delivered, switches, _ = perf.paced(reader, frames)
            rounds[reader].append(((reader_cpu + consumer_cpu) * 1e6, reader_cpu * 1e6, consumer_cpu * 1e6, switches))
    floor = statistics.median(r[0] for r in rounds[Floor])
    print(f"1 kHz x 64 values, {len(frames)} frames, median of {ROUNDS}")
    print(f"{'reader':<20} {'us/frame':>9} {'x floor':>8} {'reader us':>10} {'consumer us':>12} {'switches':>9}")
    for reader in readers:
        figures = [statistics.median(r[k] for r in rounds[reader]) for k in range(4)]
        print(
            f"{reader.name:<20} {figures[0]:>9.2f} {figures[0] / floor:>8.2f} {figures[1]:>10.2f}"
            f" {figures[2]:>12.2f} {figures[3]:>9.2f}"
        )
    sensors, seconds = (16, 3.0) if QUICK else (64, 5.0)
    gap, fewest, dropped, cores = many_sensors_batched(sensors, 1000, seconds)
    print(
        f"{sensors} sensors x 1 kHz x 16, batches of {MIN_SAMPLES}: worst gap {gap:.1f} ms,"
        f" fewest frames {fewest} of {int(seconds * 1000)}, most dropped {dropped}, {cores:.2f} cores"
    )
    gap, fewest, cores, _ = perf.many_sensors(sensors, 1000, seconds)
    print(
        f"{sensors} sensors x 1 kHz x 16, Sensor.read: worst gap {gap:.1f} ms,"
        f" fewest frames {fewest} of {int(seconds * 1000)}, {cores:.2f} cores"
    )


if __name__ == "__main__":
    main()
