"""CPU of `feltwise record` per sample, at 1 kHz x 64 values from a simulated sensor, for CSV, NPZ and MCAP.

Each format: a recording of SECONDS from a SimulatedSensor (protocol 1, 64
channels, 1,000 frames/s) in a process of its own, whose CPU (user + system,
from wait4) less that of a one-sample recording (start-up, imports, opening
the sensor) is divided by the samples it wrote. The median of ROUNDS.

Run: python3 bench/bench_record.py [--quick] [--python INTERPRETER]
     (--python: the interpreter whose feltwise records, e.g. another checkout's venv)
"""

import argparse
import importlib.util
import json
import os
import re
import subprocess
import sys
import tempfile

from feltwise import SimulatedSensor

FORMATS = ("csv", "npz", "mcap")


def lost(path, fmt):
    """The frames the recorder lost (the last sample's dropped count) and the span of seq it covers."""
    if fmt == "npz":
        from feltwise.writers import load_npz

        data = load_npz(path)
        return int(data["dropped"][-1]), int(data["seq"][-1] - data["seq"][0] + 1)
    if fmt == "csv":
        with open(path) as file:
            rows = [line.split(",", 4) for line in file if line[:1].isdigit()]
        return int(rows[-1][3]), int(rows[-1][2]) - int(rows[0][2]) + 1
    from mcap.reader import make_reader

    with open(path, "rb") as file:
        seqs = [
            json.loads(message.data)
            for schema, _, message in make_reader(file).iter_messages()
            if schema.name == "feltwise.Sample"
        ]
    return seqs[-1]["dropped"], seqs[-1]["seq"] - seqs[0]["seq"] + 1


def cpu_of(python, path, fmt, folder, *limit):
    """(CPU seconds, samples written, bytes, (dropped, seq span)) of one recording."""
    output = os.path.join(folder, f"bench.{fmt}")
    command = [python, "-m", "feltwise", "record", path, "--protocol", "1", *limit, "-o", output, "--overwrite"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = process.stdout.read().decode()
    err = process.stderr.read().decode()
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise SystemExit(f"record failed: {err.strip()}")
    samples = int(re.search(r"wrote (\d+) samples", out).group(1))
    return usage.ru_utime + usage.ru_stime, samples, os.path.getsize(output), lost(output, fmt)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one short round (a smoke test)")
    parser.add_argument("--python", default=sys.executable, help="the interpreter that runs feltwise record")
    parser.add_argument("--seconds", type=float, default=None)
    args = parser.parse_args()
    seconds = args.seconds or (2.0 if args.quick else 10.0)
    rounds = 1 if args.quick else 3
    print(f"feltwise record, 1 kHz x 64 values, {seconds:g} s, median of {rounds} ({args.python})")
    import feltwise

    print(f"feltwise from {os.path.dirname(feltwise.__file__)}")
    print(
        f"{'format':<7}{'samples':>9}{'seq span':>9}{'dropped':>9}{'bytes':>12}{'CPU s':>8}{'start-up s':>12}"
        f"{'us/sample':>11}"
    )
    with SimulatedSensor(version=1, channels=64, rate=1000) as sensor, tempfile.TemporaryDirectory() as folder:
        for fmt in FORMATS:
            if fmt == "mcap" and importlib.util.find_spec("mcap") is None:
                print("mcap   (the mcap package is not installed)")
                continue
            figures = []
            for _ in range(rounds):
                base, *_ = cpu_of(args.python, sensor.path, fmt, folder, "--count", "1")
                cpu, samples, size, (dropped, span) = cpu_of(
                    args.python, sensor.path, fmt, folder, "--duration", str(seconds)
                )
                figures.append(((cpu - base) / samples * 1e6, samples, size, cpu, base, dropped, span))
            per_sample, samples, size, cpu, base, dropped, span = sorted(figures)[len(figures) // 2]
            print(f"{fmt:<7}{samples:>9}{span:>9}{dropped:>9}{size:>12}{cpu:>8.2f}{base:>12.2f}{per_sample:>11.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
