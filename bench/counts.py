"""Instructions per delivered frame, by stage: a figure other processes cannot move.

Each reader of bench/performance.py (the floor, FeltwiseComms.read_raw,
feltwise.Sensor.read, feltwise.Sensor.read_batch where it exists, pyserial)
runs in a process of its own under valgrind's callgrind, on the same stream:
frames of 64 values from a pseudo-terminal, written one at a time once the
reader has taken the one before off the line (bench/counts_probe.cpp), so that
every read() brings one frame whatever valgrind's slow-down. The batch reader
takes BATCH frames per read_batch, each still read off the line on its own.

Only the steady state is counted: callgrind starts with its instrumentation
off and the consumer turns it on after WARMUP frames and off after the last
(client requests through bench/counts_probe.cpp). The figures are user-space
instructions (Ir): system calls and waiting cost none, so they do not depend
on the machine's load or on which core a thread lands. What plays the sensor
(counts_feed and the ctypes call into it) is left out.

Stages, from callgrind's call graph of each thread (inclusive costs of the
functions named in STAGES):
  reader thread: port read, decode, calibrate, hand-off, and the rest of its
  loop; consumer thread: hand-off (the take), binding (the extension
  module's call, less the take), Python (the consumer's loop and the
  feltwise package's own code).

Run: bash tools/bench.sh --counts     (builds, then runs this with --write)
     python3 bench/counts.py [--smoke] [--write]
  --smoke  few frames, nothing written: that it runs (CI)
  --write  puts the table into docs/performance.md
  --only floor,read_raw   these readers alone
"""

import collections
import ctypes
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SMOKE = "--smoke" in sys.argv
FRAMES = 60 if SMOKE else 1100  # counted: FRAMES - WARMUP
WARMUP = 20 if SMOKE else 100
BATCH = 20  # frames per read_batch
VALUES = 64

READERS = ["floor", "read_raw", "read", "read_batch", "pyserial", "calibrated"]
TITLES = {
    "floor": "floor",
    "read_raw": "FeltwiseComms.read_raw",
    "calibrated": "FeltwiseComms.read, 16 taxels calibrated",
    "read": "Sensor.read",
    "read_batch": "Sensor.read_batch",
    "pyserial": "pyserial",
}


# --- in the counted process ------------------------------------------------------


def child(reader):
    """Runs under callgrind: opens `reader` on a pty, takes FRAMES frames,
    prints what it took as JSON."""
    sys.path.insert(0, HERE)
    import performance  # the floor library, the frames, the pyserial reader

    lib = performance.floor_library()
    lib.counts_instrument.argtypes = [ctypes.c_int]
    lib.counts_feed.argtypes = [
        ctypes.c_int,
        ctypes.c_int,
        ctypes.c_void_p,
        ctypes.c_long,
        ctypes.c_long,
        ctypes.c_long,
    ]
    lib.counts_feed.restype = ctypes.c_int
    lib.floor_counts.restype = ctypes.c_long
    lib.floor_counts.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p] + [ctypes.c_long] * 3
    frames = performance.sequence_frames(FRAMES, VALUES)
    size = len(frames[0])
    blob = ctypes.create_string_buffer(b"".join(frames))
    base = ctypes.addressof(blob)
    pty = performance.Pty()
    master, slave = pty.master, pty.slave
    feed = lib.counts_feed

    def instrument(on):
        # Started while the reader waits for the next frame, not on its way
        # back from the last one: callgrind forgets the call stacks when it
        # starts, and a return it never saw the call of can be charged wrong.
        if on:
            time.sleep(0.05)
        lib.counts_instrument(on)

    taken, batches = 0, []

    if reader == "floor":
        floor = performance.Floor(pty.path)
        taken = lib.floor_counts(floor.handle, master, slave, blob.raw, size, FRAMES, WARMUP)
        floor.close()
    elif reader == "read_batch":
        sensor = performance.Sensor(pty.path, protocol=1, queue=4 * BATCH)
        read_batch = sensor.read_batch
        for start in range(0, FRAMES, BATCH):
            if start == WARMUP:
                instrument(1)
            feed(master, slave, base + start * size, size, BATCH, 20000)
            batch = read_batch(timeout=1.0)
            taken += len(batch)
            batches.append(len(batch))
        instrument(0)
        sensor.close()
    else:
        if reader == "read_raw":
            opened = performance.Library(pty.path)
            read_raw = opened.comms.read_raw

            def take():
                return read_raw(1000)

        elif reader == "calibrated":
            opened = Calibrated(pty.path)
            read = opened.comms.read

            def take():
                return read(1000)

        elif reader == "read":
            opened = performance.SensorReader(pty.path)
            read = opened.sensor.read

            def take():
                return read(1.0)

        else:
            opened = performance.Pyserial(pty.path)

            def take():
                return opened.take(1000) is not None

        for i in range(FRAMES):
            if i == WARMUP:
                instrument(1)
            feed(master, slave, base + i * size, size, 1, 0)
            if take():
                taken += 1
        instrument(0)
        opened.close()
    pty.close()
    print(json.dumps({"taken": taken, "batches": batches}))


class Calibrated:
    """FeltwiseComms with the 16 TaxelPolyfitModel units of an example
    parameter file: the calibrate stage at work (the values of the stream
    are above every unit's threshold)."""

    PARAMS = os.path.join(REPO, "examples", "params", "taxel_pad_4x4.msgpack")

    def __init__(self, path):
        import feltwise_comm_py

        self.comms = feltwise_comm_py.FeltwiseComms()
        self.comms.init(self.PARAMS)
        self.comms.connect(path)

    def close(self):
        self.comms.connect("")


# --- reading callgrind's output ----------------------------------------------------


class Profile:
    """One thread's costs from a callgrind output file: each function's own
    instructions and what each of its calls cost, inclusive."""

    def __init__(self, path):
        self.own = collections.Counter()
        self.calls = collections.defaultdict(collections.Counter)
        names = {}

        def name(field):
            match = re.match(r"\((\d+)\)(?: (.*))?", field)
            if not match:
                return field
            if match.group(2) is not None:
                names[match.group(1)] = match.group(2)
            return names[match.group(1)]

        function = callee = None
        in_call = False
        with open(path) as lines:
            for line in lines:
                line = line.rstrip("\n")
                if not line:
                    continue
                if line.startswith("fn="):
                    function = name(line[3:])
                elif line.startswith("cfn="):
                    callee = name(line[4:])
                elif line.startswith("calls="):
                    in_call = True
                elif line[0].isdigit() or line[0] in "+-*":
                    fields = line.split()
                    cost = int(fields[1]) if len(fields) > 1 else 0
                    if in_call:
                        self.calls[function][callee] += cost
                        in_call = False
                    else:
                        self.own[function] += cost
        self.total = sum(self.own.values())

    def inclusive(self, member):
        """Instructions spent while any function for which member(name) holds
        is on the stack: their own, and their calls to other functions."""
        names = {f for f in set(self.own) | set(self.calls) if member(f)}
        return sum(self.own[f] for f in names) + sum(
            cost for f in names for callee, cost in self.calls[f].items() if callee not in names
        )


def named(*patterns):
    expression = re.compile("|".join(patterns))
    return lambda function: bool(expression.search(function))


def either(*members):
    return lambda function: any(member(function) for member in members)


# The stages, by the functions they run in. Each figure is the inclusive
# cost of a set of functions none of which calls another through a function
# outside the set (that would count the inner one twice); a stage that runs
# inside another (the port read inside the decoder, the take inside the
# binding) is taken off the outer one.
#
# The port is read through the library's Serial where there is one (inside
# the protocol's readSample), else by read() itself (the floor's loop) or by
# pyserial's calls. A decoder that takes its frame where the port holds it
# (Serial::takeReceived) decodes inside the port's call: that part is decode.
PORT = named(r"^serial::Serial::(read|peekReceived|fillReceiveBuffer|takeReceived)")
DECODE_IN_PORT = named(r"serial::Serial::callTake<")
PORT_ELSEWHERE = named(r"^(__libc_read|read)$", r"^(os_read|select_select|fcntl_ioctl)")
DECODE = named(r"::readSample\(", r"::sampleWaiting\(", r"FloorReader::decodeNewest")
CALIBRATE = named(r"CommsState::apply_models", r"Model::apply\(", r"NoticeBoard::unit")
HAND_OFF = named(r"CommsState::hand_off", r"FloorReader::handOff")
# Everything of the core a consumer calls is the take (a new class on its
# way belongs here, or it counts as binding).
TAKE = named(
    r"^feltwise_comm::(CommsState|SensorComms|FeltwiseComms|SampleFeed|Sensor|SampleQueue)::", r"FloorReader::take"
)
BINDING = named(r"^pybind11::cpp_function::dispatcher")
HARNESS = named(r"^PyCFuncPtr_call", r"^counts_(feed|instrument)$")

STAGES = [
    ("reader: port read", "reader", "port"),
    ("reader: decode", "reader", "decode"),
    ("reader: calibrate", "reader", "calibrate"),
    ("reader: hand-off", "reader", "hand_off"),
    ("reader: the rest of the loop", "reader", "rest"),
    ("consumer: hand-off (take)", "consumer", "hand_off"),
    ("consumer: binding", "consumer", "binding"),
    ("consumer: its loop (Python; C for the floor)", "consumer", "rest"),
]


def stages(profile, role, where=""):
    """{stage: instructions} of one thread, the consumer's or a reader's;
    "rest" is what no stage holds."""
    if role == "consumer":
        take, binding = profile.inclusive(TAKE), profile.inclusive(BINDING)
        # The floor's consumer takes without a binding around it.
        figures = {"hand_off": take, "binding": binding - take if binding else 0}
    else:
        figures = reader_stages(profile)
    counted = profile.total - profile.inclusive(HARNESS)
    figures["rest"] = counted - sum(figures.values())
    figures["total"] = counted
    negative = [stage for stage, cost in figures.items() if cost < 0]
    if negative:
        raise ValueError(
            f"{where}: stages {negative} below zero ({figures}): a set of functions calls itself through another"
        )
    return figures


def reader_stages(profile):
    port = profile.inclusive(PORT) - profile.inclusive(DECODE_IN_PORT)
    decode = profile.inclusive(DECODE) - port
    if not port:
        port = profile.inclusive(PORT_ELSEWHERE)
    calibrate = profile.inclusive(CALIBRATE)
    hand_off = profile.inclusive(HAND_OFF) - calibrate
    return {"port": port, "decode": decode, "calibrate": calibrate, "hand_off": hand_off}


def count_once(reader, work):
    """Runs `reader` under callgrind; {thread role: {stage: instructions per frame}}."""
    out = os.path.join(work, f"{reader}.out")
    env = dict(os.environ, PYTHONHASHSEED="0")
    command = [
        "valgrind",
        "--tool=callgrind",
        "--instr-atstart=no",
        "--separate-threads=yes",
        f"--callgrind-out-file={out}",
        sys.executable,
        os.path.abspath(__file__),
        "--child",
        reader,
    ] + (["--smoke"] if SMOKE else [])
    run = subprocess.run(command, capture_output=True, text=True, env=env)
    if run.returncode != 0:
        raise RuntimeError(f"{reader} under callgrind failed:\n{run.stderr[-3000:]}")
    result = json.loads(run.stdout.strip().splitlines()[-1])
    counted = FRAMES - WARMUP
    if result["taken"] != FRAMES or any(size != BATCH for size in result["batches"]):
        raise RuntimeError(f"{reader}: took {result['taken']} of {FRAMES} frames (batches {result['batches']})")
    files = sorted(f for f in os.listdir(work) if f.startswith(f"{reader}.out-"))
    figures = {"reader": collections.Counter(), "consumer": collections.Counter()}
    for file in files:
        role = "consumer" if file.endswith("-01") else "reader"
        figures[role].update(stages(Profile(os.path.join(work, file)), role, file))
    return {role: {stage: cost / counted for stage, cost in costs.items()} for role, costs in figures.items()}


def count(reader, work):
    """count_once, tried once more when callgrind charged a call wrong."""
    try:
        return count_once(reader, work)
    except ValueError as error:
        print(f"{TITLES[reader]}: {error}; once more", flush=True)
        for file in os.listdir(work):
            os.unlink(os.path.join(work, file))
        return count_once(reader, work)


# --- the table ----------------------------------------------------------------------


def available(reader):
    if reader in ("read", "read_batch"):
        sys.path.insert(0, HERE)
        import performance

        if performance.Sensor is None:
            return False
        return reader == "read" or hasattr(performance.Sensor, "read_batch")
    return True


def table(results):
    readers = [r for r in READERS if r in results]
    floor = results.get("floor")
    floor_total = floor["reader"]["total"] + floor["consumer"]["total"] if floor else None
    lines = [
        "| instructions per frame, 1 kHz x 64 | " + " | ".join(TITLES[r] for r in readers) + " |",
        "|---" * (len(readers) + 1) + "|",
    ]
    for title, role, stage in STAGES:
        cells = [f"{results[r][role].get(stage, 0):,.0f}" for r in readers]
        lines.append(f"| {title} | " + " | ".join(cells) + " |")
    cells = []
    for r in readers:
        total = results[r]["reader"]["total"] + results[r]["consumer"]["total"]
        cells.append(f"**{total:,.0f}**" + (f" ({total / floor_total:.2f}x F)" if floor_total else ""))
    lines.append("| **total** | " + " | ".join(cells) + " |")
    if "read_batch" in results and floor_total:
        batch = results["read_batch"]["reader"]["total"] + results["read_batch"]["consumer"]["total"]
        ratio = batch / floor_total
        lines += [
            "",
            f"Target: Sensor.read_batch <= 1.2x the floor: {ratio:.2f}x, {'met' if ratio <= 1.2 else 'MISSED'}.",
        ]
    return lines


COUNTS_BEGIN = "<!-- counts.py: table -->"
COUNTS_END = "<!-- counts.py: end of table -->"


def write(lines):
    valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    head = (
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {platform.node()}: {platform.platform()}, "
        f"Python {platform.python_version()}, {valgrind}; {FRAMES - WARMUP} frames counted after {WARMUP}, "
        f"read_batch {BATCH} frames a call; one run of `bash tools/bench.sh --counts`."
    )
    block = "\n".join([COUNTS_BEGIN, head, ""] + lines + [COUNTS_END])
    path = os.path.join(REPO, "docs", "performance.md")
    with open(path) as old:
        text = old.read()
    if COUNTS_BEGIN in text and COUNTS_END in text:
        before, rest = text.split(COUNTS_BEGIN, 1)
        text = before + block + rest.split(COUNTS_END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    with open(path, "w") as out:
        out.write(text)


def main():
    if shutil.which("valgrind") is None:
        sys.exit("valgrind not found: apt-get install valgrind (tools/install-deps.sh installs it)")
    results = {}
    with tempfile.TemporaryDirectory(prefix="counts-") as work:
        only = sys.argv[sys.argv.index("--only") + 1].split(",") if "--only" in sys.argv else READERS
        for reader in [r for r in READERS if r in only]:
            if not available(reader):
                print(f"{TITLES[reader]}: not in this build, left out", flush=True)
                continue
            results[reader] = count(reader, work)
            total = results[reader]["reader"]["total"] + results[reader]["consumer"]["total"]
            print(f"{TITLES[reader]}: {total:,.0f} instructions per frame", flush=True)
    lines = table(results)
    print("\n".join(lines))
    if "--write" in sys.argv:
        write(lines)


if __name__ == "__main__":
    if "--child" in sys.argv:
        child(sys.argv[sys.argv.index("--child") + 1])
    else:
        main()
