"""The feltwise command, run as a user runs it: a child process, its exit status and output."""

import csv
import fcntl
import json
import os
import pty
import re
import resource
import select
import subprocess
import sys
import sysconfig
import termios
import threading
import time

import msgpack
import pytest

from conftest import binary_frame, smoke_case
from feltwise import Faults, Sensor, SimulatedSensor, protocols
from feltwise.paramfile import load_layout
from toolrun import EXAMPLE_NAMES, EXAMPLES, REPO, Lines, example, feltwise, no_traceback, wait_for

SUBCOMMANDS = ["simulate", "stream", "view", "record", "publish", "ros2", "params", "registers", "ports"]


def one_error_line(done):
    lines = [line for line in done.stderr.splitlines() if line.strip()]
    return done.returncode != 0 and no_traceback(done) and len(lines) >= 1 and "error" in lines[-1]


# --- help and usage ------------------------------------------------------------


@pytest.mark.smoke
def test_help_lists_every_subcommand():
    done = feltwise("--help")
    assert done.returncode == 0
    for name in SUBCOMMANDS:
        assert name in done.stdout


@pytest.mark.parametrize(
    "argv",
    [[name, "--help"] for name in SUBCOMMANDS]
    + [["params", action, "--help"] for action in ("show", "build", "check")]
    + [["registers", action, "--help"] for action in ("read", "write")],
)
def test_every_subcommand_has_help(argv):
    done = feltwise(*argv)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: feltwise " + argv[0])


def test_the_commands_table_is_the_parser_and_the_dispatch():
    from feltwise.cli import build_parser
    from feltwise.cli.commands import COMMANDS, load

    assert list(COMMANDS) == SUBCOMMANDS, "one row per subcommand, in the order help lists them"
    for name in COMMANDS:
        assert callable(load(name).add_parser) and callable(load(name).run)
    parser = build_parser()
    assert parser.parse_args(["ports"]).command == "ports"


def test_no_subcommand_prints_help_and_fails():
    done = feltwise()
    assert done.returncode == 2
    assert "usage: feltwise" in done.stderr


def test_version():
    from feltwise import __version__

    done = feltwise("--version")
    assert (done.returncode, done.stdout) == (0, f"feltwise {__version__}\n")


def test_a_closed_standard_output_is_an_error_in_one_line():
    done = feltwise("params", "show", example("mixed_pad"), preexec_fn=lambda: os.close(1))
    assert one_error_line(done)
    assert "standard output is closed" in done.stderr


def test_a_reader_that_goes_away_ends_stream_quietly():
    # `feltwise stream ... | head -1`
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "stream", "--simulate", "--protocol", "1", "--every", "0.05"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        assert process.stdout.readline()
        process.stdout.close()
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 1 and b"Traceback" not in err and b"Exception" not in err


def test_the_console_script_is_installed():
    script = os.path.join(sysconfig.get_path("scripts"), "feltwise")
    if not os.path.exists(script):
        pytest.skip("feltwise installed elsewhere (not by pip install . into this interpreter)")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "stream" in done.stdout


def library_sources():
    package = REPO / "python" / "feltwise"
    return {str(path.relative_to(package)): path.read_text() for path in sorted(package.rglob("*.py"))}


def test_the_library_knows_nothing_of_the_command_line():
    # Only feltwise.cli raises UserError and turns errors into exit codes;
    # the library raises its typed errors and never imports the command line
    # (but for __main__.py, which runs it).
    outside = {name: text for name, text in library_sources().items() if not name.startswith("cli/")}
    assert [name for name, text in outside.items() if re.search(r"\bUserError\b", text)] == []
    imports_cli = [name for name, text in outside.items() if re.search(r"^\s*from (\.+|feltwise\.)cli\b", text, re.M)]
    assert imports_cli == ["__main__.py"]
    assert [name for name, text in outside.items() if "PYTHONPATH" in text] == []


# --- simulate ---------------------------------------------------------------------------


@pytest.mark.smoke
def test_simulate_prints_its_port_first_and_streams():
    done = feltwise("simulate", "--params", example("mixed_pad"), "--duration", "1", "--json-stats")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("/dev/")
    stats = json.loads(lines[-1])
    assert stats["samples"] > 0
    assert "protocol 3, 10 channels" in done.stderr


def test_simulate_runs_until_interrupted():
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "simulate", "--protocol", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        path = process.stdout.readline().strip()
        assert os.path.exists(path)
        process.send_signal(subprocess.signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0
    assert "sent" in err and "samples" in err


@pytest.mark.parametrize(
    "argv, words",
    [
        (["--params", "no/such/file.msgpack"], "cannot read no/such/file.msgpack"),
        (["--protocol", "7"], "invalid choice"),
        (["--rate", "-3"], "cannot be negative"),
        (["--garbage", "2"], "a probability is 0 to 1"),
    ],
)
def test_simulate_refuses_mistakes_in_one_line(argv, words):
    done = feltwise("simulate", *argv)
    assert done.returncode != 0 and no_traceback(done)
    assert words in done.stderr


def test_simulate_has_one_option_per_fault_and_hands_the_settings_over_whole():
    from dataclasses import fields

    from feltwise.cli import build_parser
    from feltwise.sim import SimulatorSettings

    given = {"switch": [], "probability": "0.25", "seconds": "1.5", "duration": "2.5"}
    argv, expected = ["simulate"], {}
    for item in fields(Faults):
        value = given[item.metadata["kind"]]
        argv += ["--" + item.name.replace("_", "-"), *([value] if value else [])]
        expected[item.name] = float(value) if value else True
    args = build_parser().parse_args(argv)
    faults = Faults(**{item.name: getattr(args, item.name) for item in fields(Faults)})
    assert faults == Faults(**expected)
    settings = SimulatorSettings(example("mixed_pad"), None, 12, 250.0, faults, seed=3, touch=False)
    assert SimulatorSettings.from_json(settings.to_json()) == settings


# --- stream ---------------------------------------------------------------------------


def test_stream_the_main_job_on_a_simulated_sensor():
    done = feltwise("stream", "--simulate", "--params", example("mixed_pad"), "--zero", "--duration", "3")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "protocol 3  calibrated  zeroed" in lines[0]
    assert sum("samples/s" in line and "longest gap" in line for line in lines) >= 2
    assert lines[-1].startswith("streamed ")
    assert "\x1b[" not in done.stdout, "no escape sequences when the output is not a terminal"


def test_stream_counts_its_rate_from_the_first_sample():
    from feltwise.cli.commands.stream import SampleClock
    from feltwise.sample import Sample

    clock = SampleClock()
    # 20 frames queued while zeroing arrive at once, then one every 10 ms.
    for seq in range(1, 221):
        arrival = clock.start + 5.0 + max(0, seq - 20) * 0.01
        clock.tick(arrival, Sample(None, None, seq, int(seq * 1e7)))
    assert round(clock.sensor_rate(), 6) == 100.0


@pytest.mark.smoke
def test_stream_a_port_given_by_its_path():
    with SimulatedSensor(example("taxel_pad_4x4"), seed=3) as sensor:
        done = feltwise(
            "stream", sensor.path, "--params", example("taxel_pad_4x4"), "--duration", "2", "--every", "0.5"
        )
    assert done.returncode == 0, done.stderr
    value_lines = [line for line in done.stdout.splitlines() if line.endswith("]")]
    assert value_lines
    assert len(value_lines[-1].split("[")[1].rstrip("]").split()) == 16


@pytest.mark.parametrize("version", protocols.versions())
def test_stream_raw_on_every_protocol(version):
    with SimulatedSensor(version=version, channels=8) as sensor:
        done = feltwise("stream", sensor.path, "--protocol", version, "--raw", "--duration", "2")
    assert done.returncode == 0, done.stderr
    assert f"protocol {version}  raw" in done.stdout
    assert "streamed" in done.stdout


def test_stream_without_a_parameter_file_shows_raw_samples():
    with SimulatedSensor(version=1, channels=4) as sensor:
        done = feltwise("stream", sensor.path, "--protocol", "1", "--duration", "1")
    assert done.returncode == 0, done.stderr
    assert "showing raw samples" in done.stderr


def test_stream_on_a_terminal_redraws_in_place():
    # A pty as standard output: the live view with its escape sequences.
    with SimulatedSensor(example("triaxial_pad_2x2")) as sensor:
        controller, terminal = pty.openpty()
        process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "feltwise",
                "stream",
                sensor.path,
                "--params",
                example("triaxial_pad_2x2"),
                "--zero",
                "--duration",
                "2",
            ],
            stdout=terminal,
            stderr=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
        )
        os.close(terminal)
        screen = b""
        while True:
            ready, _, _ = select.select([controller], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # EIO: the program closed the terminal
                break
            if not chunk:
                break
            screen += chunk
        process.wait(timeout=60)
        os.close(controller)
    assert process.returncode == 0, process.stderr.read()
    text = screen.decode(errors="replace")
    assert "\x1b[?25l" in text and "\x1b[?25h" in text, "cursor hidden while drawing, shown again"
    assert "F\x1b[2K" in text, "lines redrawn in place"
    assert "samples/s" in text and "streamed" in text


def test_stream_a_port_that_does_not_exist():
    done = feltwise("stream", "/dev/feltwise-no-such-port", "--protocol", "1", "--duration", "1")
    assert one_error_line(done)
    assert "Cannot open serial port: /dev/feltwise-no-such-port: missing" in done.stderr


def test_stream_a_busy_port_says_it_is_busy():
    with SimulatedSensor(version=1, channels=4) as simulated, Sensor(simulated.path):
        done = feltwise("stream", simulated.path, "--protocol", "1", "--duration", "1")
    assert one_error_line(done)
    assert f"Cannot open serial port: {simulated.path}: busy, another program has it open" in done.stderr


def test_stream_needs_a_port_or_simulate():
    done = feltwise("stream", "--protocol", "1")
    assert one_error_line(done)
    assert "give one of a port, --match VID:PID[:SERIAL] or --simulate" in done.stderr


def test_stream_a_silent_sensor_fails():
    with SimulatedSensor(version=1, channels=4, faults=Faults(silence_after=0.0)) as sensor:
        done = feltwise("stream", sensor.path, "--protocol", "1", "--duration", "1")
    assert one_error_line(done)
    assert "no samples from" in done.stderr


def test_stream_notices_an_unplugged_sensor():
    with SimulatedSensor(version=4, channels=4, faults=Faults(unplug_after=1.0)) as sensor:
        done = feltwise("stream", sensor.path, "--protocol", "4", "--duration", "30")
    assert one_error_line(done)
    assert "lost the sensor" in done.stderr


def test_zeroing_a_silent_sensor_fails_in_one_line():
    with SimulatedSensor(version=1, channels=4, faults=Faults(silence_after=0.0)) as sensor:
        done = feltwise("stream", sensor.path, "--protocol", "1", "--zero", "--duration", "1")
    assert one_error_line(done)
    assert "zeroing failed: Could not zero the sensor" in done.stderr


# --- view ---------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["mixed_pad", "triaxial_pad_2x2"])
def test_view_snapshot_renders_a_heatmap(tmp_path, name):
    import matplotlib.image
    import numpy as np

    png = tmp_path / f"{name}.png"
    done = feltwise("view", "--simulate", "--params", example(name), "--zero", "--after", "5", "--snapshot", png)
    assert done.returncode == 0, done.stderr
    assert f"wrote {png}" in done.stdout
    data = png.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10000
    pixels = matplotlib.image.imread(png)
    assert pixels.shape[0] >= 400 and pixels.shape[1] >= 400
    colours = np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0)
    assert len(colours) > 100, "a heatmap, a colour bar and text, not a blank page"
    assert pixels[..., :3].std() > 0.1


def test_view_snapshot_of_raw_channels(tmp_path):
    png = tmp_path / "raw.png"
    done = feltwise("view", "--simulate", "--protocol", "2", "--after", "0.5", "--snapshot", png)
    assert done.returncode == 0, done.stderr
    assert png.stat().st_size > 10000


def test_view_without_a_display_says_so():
    done = feltwise("view", "--simulate", "--protocol", "1")
    assert one_error_line(done)
    assert "no display" in done.stderr and "--snapshot" in done.stderr


@pytest.mark.parametrize(
    "where, words", [("missing/x.png", "No such file or directory"), ("/dev/full", "No space left")]
)
def test_view_snapshot_that_cannot_be_written(tmp_path, where, words):
    done = feltwise("view", "--simulate", "--protocol", "1", "--after", "0", "--snapshot", tmp_path / where)
    assert one_error_line(done)
    assert f"cannot write {tmp_path / where}: {words}" in done.stderr


# --- record ---------------------------------------------------------------------------------


def test_record_csv_by_count(tmp_path):
    output = tmp_path / "touch.csv"
    done = feltwise(
        "record", "--simulate", "--params", example("taxel_pad_4x4"), "--zero", "--count", "40", "-o", output
    )
    assert done.returncode == 0, done.stderr
    assert "wrote 40 samples (16 calibrated, 16 raw values each" in done.stdout
    assert "100%" in done.stderr
    with open(output, newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == (
        ["unix_time", "elapsed_s", "seq", "dropped"] + [f"cal_{i}" for i in range(16)] + [f"raw_{i}" for i in range(16)]
    )
    assert len(rows) == 41
    elapsed = [float(row[1]) for row in rows[1:]]
    assert elapsed == sorted(elapsed)
    seqs = [int(row[2]) for row in rows[1:]]
    assert seqs == list(range(seqs[0], seqs[0] + 40)), "the library's seq: every frame, no gap"
    assert {row[3] for row in rows[1:]} == {"0"}
    assert all(float(value) >= 0 for row in rows[1:] for value in row[4:20])
    assert all(500 < float(value) < 1500 for row in rows[1:] for value in row[20:])


@pytest.mark.smoke
def test_record_npz_by_duration(tmp_path):
    import numpy as np

    output = tmp_path / "touch.npz"
    done = feltwise("record", "--simulate", "--params", example("mixed_pad"), "--duration", "1.5", "-o", output)
    assert done.returncode == 0, done.stderr
    with np.load(output) as data:
        count = len(data["unix_time"])
        assert count > 10
        assert data["calibrated"].shape == (count, 9)
        assert data["raw"].shape == (count, 10)
        assert np.all(np.diff(data["elapsed_s"]) > 0)
        assert int(data["protocol"]) == 3 and not bool(data["zeroed"])
        assert np.all(np.diff(data["unix_time"]) > 0)


def test_record_raw_only_without_a_parameter_file(tmp_path):
    output = tmp_path / "raw.csv"
    with SimulatedSensor(version=0, channels=5) as sensor:
        done = feltwise("record", sensor.path, "--protocol", "0", "--count", "10", "-o", output)
    assert done.returncode == 0, done.stderr
    header = output.read_text().splitlines()[0]
    assert header == "unix_time,elapsed_s,seq,dropped," + ",".join(f"raw_{i}" for i in range(5))


@pytest.mark.parametrize(
    "argv, words",
    [
        (["-o", "x.csv"], "give --duration SECONDS or --count SAMPLES"),
        (["-o", "x.txt", "--count", "3"], "cannot tell the format of x.txt"),
        (["-o", "no/such/dir/x.csv", "--count", "3"], "cannot write no/such/dir/x.csv"),
    ],
)
def test_record_refuses_mistakes_in_one_line(tmp_path, argv, words):
    done = feltwise("record", "--simulate", "--protocol", "1", *argv, cwd=tmp_path)
    assert one_error_line(done)
    assert words in done.stderr


def recorded(path, fmt):
    """(seq, dropped, reconnects, raw) of every sample a recording holds, read as its users read it."""
    if fmt == "csv":
        with open(path, newline="") as file:
            header, *rows = list(csv.reader(file))
        assert {len(row) for row in rows} <= {len(header)}, "whole rows only"
        column = {name: i for i, name in enumerate(header)}
        raw = [i for name, i in column.items() if name.startswith("raw_")]
        return [
            (int(row[2]), int(row[3]), int(row[column["reconnects"]]) if "reconnects" in column else 0)
            + ([float(row[i]) for i in raw],)
            for row in rows
        ]
    if fmt == "npz":
        from feltwise.writers import load_npz

        data = load_npz(path)
        return list(zip(*(data[field].tolist() for field in ("seq", "dropped", "reconnects", "raw"))))
    from mcap.reader import make_reader

    with open(path, "rb") as file:  # no recovery: the reader as it comes
        messages = [
            json.loads(message.data)
            for schema, _, message in make_reader(file).iter_messages()
            if schema.name == "feltwise.Sample"  # the map beside it is a foxglove.RawImage
        ]
    return [(m["seq"], m["dropped"], m["reconnects"], m["raw"]) for m in messages]


def recorded_seqs(path, fmt):
    return [sample[0] for sample in recorded(path, fmt)]


@pytest.fixture
def small_disk(tmp_path):
    """A disk of 32 KiB that fills up for real: a tmpfs (needs the right to mount)."""
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs", mount], capture_output=True)
    if done.returncode != 0:
        pytest.skip("no right to mount a tmpfs here; the file-size limit tests the same path")
    yield mount
    subprocess.run(["umount", "-l", mount], capture_output=True)


def file_size_limit(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.parametrize("fmt", ["csv", "npz", "mcap"])
@pytest.mark.parametrize("cause", ["No space left on device", "File too large"])
def test_record_ends_a_failed_write_in_one_line_and_keeps_what_it_wrote(request, tmp_path, fmt, cause):
    full = cause == "No space left on device"
    folder = request.getfixturevalue("small_disk") if full else tmp_path
    output = folder / f"touch.{fmt}"
    done = feltwise(
        "record",
        "--simulate",
        "--params",
        example("mixed_pad"),
        "--duration",
        "60",
        "-o",
        output,
        preexec_fn=None if full else file_size_limit(24 << 10),
    )
    assert one_error_line(done)
    kept = re.search(rf"cannot write {output}: {cause}; the file keeps the first (\d+) samples", done.stderr)
    assert kept, done.stderr
    seqs = recorded_seqs(output, fmt)
    assert len(seqs) == int(kept.group(1)) > 50
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs))), "every sample up to the last one written"


def test_record_npz_without_room_to_join_keeps_its_parts(small_disk):
    output = small_disk / "touch.npz"
    done = feltwise("record", "--simulate", "--params", example("mixed_pad"), "--count", "100", "-o", output)
    assert one_error_line(done)
    assert "No space left on device; the file keeps the first 100 samples, in parts" in done.stderr
    assert len(recorded_seqs(output, "npz")) == 100
    assert os.listdir(small_disk) == ["touch.npz"], "the unfinished join is removed"


def test_record_keeps_an_earlier_recording_unless_told(tmp_path):
    earlier = tmp_path / "touch.csv"
    earlier.write_text("earlier\n")
    for argv in (["--simulate"], ["/dev/feltwise-no-such-port", "--overwrite"]):
        done = feltwise("record", *argv, "--protocol", "1", "--count", "5", "-o", earlier)
        assert one_error_line(done)
        assert earlier.read_text() == "earlier\n"
    assert (
        "touch.csv exists: give --overwrite to replace it"
        in feltwise("record", "--simulate", "--protocol", "1", "--count", "5", "-o", earlier).stderr
    )
    done = feltwise("record", "--simulate", "--protocol", "1", "--count", "5", "-o", earlier, "--overwrite")
    assert done.returncode == 0, done.stderr
    assert len(recorded_seqs(earlier, "csv")) == 5
    done = feltwise("record", "/dev/feltwise-no-such-port", "--protocol", "1", "--count", "5", "-o", tmp_path / "x.csv")
    assert one_error_line(done) and not (tmp_path / "x.csv").exists(), "no file from a recording that never began"


def test_record_to_a_pipe_or_a_full_device():
    done = feltwise("record", "--simulate", "--protocol", "1", "--count", "3", "-o", "/dev/stdout", "--format", "csv")
    assert done.returncode == 0, done.stderr
    assert [row[2] for row in csv.reader(done.stdout.splitlines()[1:])] == ["1", "2", "3"], "nothing but the rows"
    assert "wrote 3 samples" in done.stderr
    done = feltwise("record", "--simulate", "--protocol", "1", "--count", "300", "-o", "/dev/full", "--format", "csv")
    assert one_error_line(done)
    assert "cannot write /dev/full: No space left on device; the file keeps no samples" in done.stderr


@pytest.mark.parametrize("fmt", ["csv", "npz", "mcap"])
def test_every_format_reads_back_whole_after_each_flush(monkeypatch, tmp_path, fmt):
    import numpy as np

    from feltwise import writers
    from feltwise.sample import Sample

    monkeypatch.setattr(writers, "FLUSH_EVERY_S", 0.0)
    path = tmp_path / f"touch.{fmt}"
    kind = {"csv": writers.CsvWriter, "npz": writers.NpzWriter, "mcap": writers.McapWriter}[fmt]
    writer = kind(str(path), 3, 2, {"port": "/dev/x", "protocol": 0})
    for seq in range(1, 5):
        # A text protocol's longer line: NaN pads the shorter ones (NPZ, MCAP).
        width = 3 if seq < 3 or fmt == "csv" else 5
        writer.write(Sample(np.arange(width, dtype=float), np.array([0.5, np.nan]), seq, seq * 10**7, 0, seq // 3), 0)
        assert recorded_seqs(path, fmt) == list(range(1, seq + 1)), "readable as it grows, without closing"
    writer.close()
    assert recorded_seqs(path, fmt) == [1, 2, 3, 4]
    if fmt == "npz":
        with np.load(path) as data:  # one array per field once closed
            assert data["raw"].shape == (4, 5) and np.isnan(data["raw"][0, 3])
            assert data["reconnects"].tolist() == [0, 0, 1, 1]


def test_load_npz_reads_the_parts_of_earlier_recordings(tmp_path):
    import zipfile

    import numpy as np

    from feltwise.writers import load_npz

    path = tmp_path / "earlier.npz"
    with zipfile.ZipFile(path, "w") as archive:
        for part, rows in ((1, 2), (2, 1)):
            for field, value in (
                ("seq", np.arange(rows)),
                ("raw", np.ones((rows, 2))),
                ("calibrated", np.ones((rows, 0))),
            ):
                with archive.open(f"part{part:06d}/{field}.npy", "w") as member:
                    np.lib.format.write_array(member, value)
    data = load_npz(path)
    assert data["seq"].tolist() == [0, 1, 0] and data["raw"].shape == (3, 2) and data["reconnects"].tolist() == [0] * 3


class StreamingDevice:
    """Plays a sensor behind `replug_port`: protocol-1 frames [counter, 100], one
    every 4 ms while `on`, the counter going up by one per frame sent."""

    def __init__(self, replug_port):
        self.port, self.counter = replug_port, 0
        self.on, self.stop = threading.Event(), threading.Event()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            with self.lock:
                if self.on.is_set():
                    self.counter += 1
                    self.port.device.send(binary_frame([self.counter, 100]))
            time.sleep(0.004)

    def pause_when_read(self):
        """Stops sending once the reader has taken every byte sent."""
        with self.lock:
            self.on.clear()
        unread = bytearray(4)
        assert wait_for(
            lambda: fcntl.ioctl(self.port.device._slave, termios.TIOCINQ, unread) == 0 and unread == bytes(4)
        ), "the reader took every frame"

    def close(self):
        self.stop.set()
        self.thread.join()


@pytest.mark.parametrize("fmt", ["csv", "npz", "mcap"])
def test_record_across_an_unplug_and_replug_costs_a_gap_and_nothing_else(replug_port, tmp_path, fmt):
    output = tmp_path / f"touch.{fmt}"
    device = StreamingDevice(replug_port)
    record = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "record", replug_port.path, "--protocol", "1", "--reconnect"]
        + ["--count", "400", "-o", output],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        device.on.set()
        said = Lines(record.stderr)
        said.wait_for("25%")  # 100 samples recorded
        device.pause_when_read()
        unplugged_at = device.counter
        replug_port.unplug()
        assert said.wait_for("lost the sensor on") == (
            f"lost the sensor on {replug_port.path} (unplugged?); waiting for it to come back\n"
        )
        replug_port.replug()
        assert re.fullmatch(
            rf"the sensor on {replug_port.path} is back after [\d.]+ s \(reconnect 1\)\n", said.wait_for("back")
        )
        device.on.set()
        record.wait(timeout=60)
    finally:
        device.close()
        if record.poll() is None:
            record.kill()
    assert record.returncode == 0, said.seen
    samples = recorded(output, fmt)
    counters = [int(raw[0]) for _, _, _, raw in samples]
    assert counters == list(range(counters[0], counters[0] + 400)), "every frame sent, before and after"
    assert [seq for seq, *_ in samples] == list(range(samples[0][0], samples[0][0] + 400)), "seq counts on"
    assert {dropped for _, dropped, _, _ in samples} == {0}
    marks = [reconnects for _, _, reconnects, _ in samples]
    assert marks == [0] * (unplugged_at - counters[0] + 1) + [1] * (counters[-1] - unplugged_at), "the gap, marked"


def test_stream_with_reconnect_says_when_the_sensor_goes_and_comes_back(replug_port):
    device = StreamingDevice(replug_port)
    device.on.set()
    stream = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "stream", replug_port.path, "--protocol", "1", "--reconnect"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        said, shown = Lines(stream.stderr), Lines(stream.stdout)
        shown.wait_for("samples/s")
        device.pause_when_read()
        replug_port.unplug()
        said.wait_for("lost the sensor")
        replug_port.replug()
        said.wait_for("is back")
        stream.send_signal(subprocess.signal.SIGINT)
        assert stream.wait(timeout=60) == 0
        assert shown.wait_for("streamed ")
    finally:
        device.close()
        if stream.poll() is None:
            stream.kill()


class FakeSource:
    describe, version, remote = "/dev/ttyUSB0", 1, False

    def __init__(self):
        self.is_connected, self.count = True, 0

    def connected(self):
        return self.is_connected

    def reconnects(self):
        return self.count


@pytest.mark.parametrize("reconnect", [False, True])
def test_watch_ends_on_an_unplug_or_a_silence_only_without_reconnect(monkeypatch, capsys, reconnect):
    from feltwise.cli import source as sources
    from feltwise.cli.errors import UserError

    now = [100.0]
    monkeypatch.setattr(sources.time, "monotonic", lambda: now[0])
    device = FakeSource()
    watch = sources.Watch(device, reconnect, limit=5.0)
    now[0] += 6.0
    if not reconnect:
        with pytest.raises(UserError, match="no samples from /dev/ttyUSB0 for 5 s"):
            watch.idle()
        device.is_connected = False
        with pytest.raises(UserError, match=r"lost the sensor on /dev/ttyUSB0 \(unplugged\?\)$"):
            watch.idle()
        return
    watch.idle()
    watch.idle()
    device.is_connected = False
    now[0] += 60.0
    watch.idle()
    now[0] += 2.5
    device.is_connected, device.count = True, 1
    watch.idle()
    watch.sample()
    device.count = 2  # unplugged and back between two looks
    now[0] += 1.0
    watch.sample()
    assert capsys.readouterr().err.splitlines() == [
        "no samples from /dev/ttyUSB0 for 5 s; waiting for them (--reconnect)",
        "lost the sensor on /dev/ttyUSB0 (unplugged?); waiting for it to come back",
        "the sensor on /dev/ttyUSB0 is back after 2.5 s (reconnect 1)",
        "lost the sensor on /dev/ttyUSB0 (unplugged?)",
        "the sensor on /dev/ttyUSB0 is back (reconnect 2)",
    ]


# --- params ------------------------------------------------------------------------------


@pytest.mark.parametrize("name", EXAMPLE_NAMES)
def test_params_show_writes_the_examples_json_byte_for_byte(name):
    done = feltwise("params", "show", example(name))
    assert done.returncode == 0, done.stderr
    assert done.stdout == (EXAMPLES / f"{name}.json").read_text()


@pytest.mark.parametrize("name", EXAMPLE_NAMES)
def test_params_build_gives_back_the_msgpack_byte_for_byte(tmp_path, name):
    output = tmp_path / f"{name}.msgpack"
    done = feltwise("params", "build", EXAMPLES / f"{name}.json", "-o", output)
    assert done.returncode == 0, done.stderr
    assert output.read_bytes() == (EXAMPLES / f"{name}.msgpack").read_bytes()


@pytest.mark.parametrize("name", EXAMPLE_NAMES)
def test_params_show_then_build_round_trips(tmp_path, name):
    shown = tmp_path / "shown.json"
    built = tmp_path / "built.msgpack"
    assert feltwise("params", "show", example(name), "-o", shown).returncode == 0
    assert feltwise("params", "build", shown, "-o", built).returncode == 0
    assert built.read_bytes() == (EXAMPLES / f"{name}.msgpack").read_bytes()


def test_params_round_trip_keeps_negative_keys_and_odd_values(tmp_path):
    content = [
        4,
        [
            {
                "SensorParameters": {"sensor_type": 1, "input_map": {-3: 0}, "output_map": {0: 2}},
                "lower": -1.5e-300,
                "upper": 12,
                "offset": 0.1,
                "coefs": [],
                "note": "x",
            }
        ],
        [],
    ]
    original = tmp_path / "odd.msgpack"
    original.write_bytes(msgpack.packb(content, use_bin_type=True))
    assert feltwise("params", "show", original, "-o", tmp_path / "odd.json").returncode == 0
    assert feltwise("params", "build", tmp_path / "odd.json", "-o", tmp_path / "back.msgpack").returncode == 0
    assert (tmp_path / "back.msgpack").read_bytes() == original.read_bytes()


@pytest.mark.parametrize("name", smoke_case("mixed_pad", EXAMPLE_NAMES))
def test_params_check_accepts_the_examples(name):
    layout = load_layout(example(name))
    done = feltwise("params", "check", example(name))
    assert done.returncode == 0, done.stderr
    assert f"ok: protocol {layout.version};" in done.stdout
    assert f"{layout.output_count} calibrated outputs" in done.stdout


def record(sensor_type):
    return {
        "SensorParameters": {"sensor_type": sensor_type, "input_map": {0: 0}, "output_map": {0: 0}},
        "lower": 0.0,
        "upper": 0.0,
        "offset": 0.0,
        "coefs": [0.0, 1.0],
    }


def with_output(record, output):
    record["SensorParameters"]["output_map"] = {0: output}
    return record


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "insufficient bytes"),
        (b"\xc1", "parse error"),
        (msgpack.packb({"a": 1}), "Invalid sensor parameter data format (1)"),
        (msgpack.packb([]), "Invalid sensor parameter data format (2)"),
        (msgpack.packb([1, [record(3)]]), "Invalid sensor parameter data format (4) "),
        (msgpack.packb([1, [dict(record(1), coefs=0.5)]]), "bad cast"),
        (msgpack.packb([9]), "Invalid protocol version in sensor parameters"),
        # Decoded fine, refused when init builds the models: check builds them too.
        (msgpack.packb([1, [with_output(record(1), -3)]]), "Invalid output map for the sensor type"),
        (
            msgpack.packb([1, [with_output(record(1), 2**31 - 1)]]),
            "Output index 2147483647 in parameters is beyond the largest supported, 1048575",
        ),
    ],
)
def test_params_check_prints_the_loaders_message_unchanged(tmp_path, content, message):
    path = tmp_path / "broken.msgpack"
    path.write_bytes(content)
    done = feltwise("params", "check", path)
    assert done.returncode == 1 and no_traceback(done)
    assert done.stderr == f"{path}: {message}\n"


def test_params_check_a_file_named_like_a_protocol_version(tmp_path):
    (tmp_path / "3").write_bytes((EXAMPLES / "mixed_pad.msgpack").read_bytes())
    done = feltwise("params", "check", "3", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "ok: protocol 3" in done.stdout


def test_a_parameter_file_named_like_a_protocol_version_calibrates_a_recording(tmp_path):
    (tmp_path / "4").write_bytes((EXAMPLES / "mixed_pad.msgpack").read_bytes())
    done = feltwise("record", "--simulate", "--params", "4", "--count", "5", "-o", "x.csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    header = (tmp_path / "x.csv").read_text().splitlines()[0].split(",")
    assert header.count("cal_0") == 1 and len([name for name in header if name.startswith("raw_")]) == 10


def test_a_parameter_file_the_library_refuses_is_named_once(tmp_path):
    path = tmp_path / "odd.msgpack"
    record = {"SensorParameters": {"sensor_type": 1, "input_map": {0: 0}, "output_map": {0: 0}}, "coefs": "text"}
    path.write_bytes(msgpack.packb([1, [record]]))
    done = feltwise("stream", "--simulate", "--params", path, "--duration", "1")
    assert done.stderr == f"feltwise stream: error: {path}: bad cast\n"


@pytest.mark.parametrize(
    "argv, words",
    [
        (["show", "no-such.msgpack"], "cannot read no-such.msgpack"),
        (["check", "no-such.msgpack"], "cannot read no-such.msgpack: No such file"),
        (["build", "no-such.json", "-o", "x.msgpack"], "cannot read no-such.json"),
    ],
)
def test_params_refuses_missing_files_in_one_line(tmp_path, argv, words):
    done = feltwise("params", *argv, cwd=tmp_path)
    assert one_error_line(done)
    assert words in done.stderr


def test_params_build_refuses_json_that_is_not_a_parameter_file(tmp_path):
    (tmp_path / "bad.json").write_text('{"version": 1}')
    done = feltwise("params", "build", tmp_path / "bad.json", "-o", tmp_path / "x.msgpack")
    assert one_error_line(done)
    assert "is not [protocol version, group, ...]" in done.stderr
    (tmp_path / "bad.json").write_text("[1, ")
    done = feltwise("params", "build", tmp_path / "bad.json", "-o", tmp_path / "x.msgpack")
    assert one_error_line(done)
    assert "not valid JSON" in done.stderr


def test_params_show_refuses_binary_data(tmp_path):
    path = tmp_path / "bin.msgpack"
    path.write_bytes(msgpack.packb([1, [{b"SensorParameters": {}}]], use_bin_type=True))
    done = feltwise("params", "show", path)
    assert one_error_line(done)
    assert "binary" in done.stderr


# --- registers ----------------------------------------------------------------------------


@pytest.mark.parametrize("version", protocols.register_versions())
def test_registers_read_and_write_on_a_simulated_sensor(version):
    with SimulatedSensor(version=version, channels=4) as sensor:
        port = ["--protocol", version, sensor.path]
        done = feltwise("registers", "read", *port, "0", "0", "--text")
        assert (done.returncode, done.stdout) == (0, "Feltwise simulated sensor\n"), done.stderr
        done = feltwise("registers", "write", *port, "0x0120", "5", "0a ff 00")
        assert done.returncode == 0, done.stderr
        assert "wrote 3 bytes to register 0x0120/5" in done.stdout
        done = feltwise("registers", "read", *port, "0x120", "5")
        assert (done.returncode, done.stdout) == (0, "0a ff 00\n"), done.stderr
        done = feltwise("registers", "write", *port, "0x0121", "5", "hello", "--text")
        assert done.returncode == 0, done.stderr
        done = feltwise("registers", "read", *port, "0x0121", "5", "--text")
        assert done.stdout == "hello\n"


def test_registers_read_text_shows_control_bytes_escaped():
    with SimulatedSensor(version=4, channels=4) as sensor:
        port = ["--protocol", "4", sensor.path, "0x0100", "0"]
        assert feltwise("registers", "write", *port, "1b 5b 32 4a 07 41 7f 0a c3 a9").returncode == 0
        done = feltwise("registers", "read", *port, "--text", "--timeout", "500ms")
    assert done.stdout == "\\x1b[2J\\x07A\\x7f\\x0aé\n", "no escape sequence reaches the terminal; UTF-8 stays"


@pytest.mark.parametrize("text, seconds", [("0.5", 0.5), ("2", 2.0), ("500ms", 0.5), ("0.25s", 0.25)])
def test_register_timeouts_are_seconds(text, seconds):
    from feltwise.cli.arguments import timeout_seconds

    assert timeout_seconds(text) == seconds


@pytest.mark.smoke
def test_registers_with_a_simulated_sensor_of_their_own():
    done = feltwise("registers", "read", "--simulate", "--protocol", "4", "0x0003", "0")
    assert (done.returncode, done.stdout) == (0, "10 00\n"), done.stderr


@pytest.mark.parametrize("version, message", [(4, "Register read error: 2"), (3, "Register read error: 0")])
def test_registers_report_device_errors_in_one_line(version, message):
    done = feltwise("registers", "read", "--simulate", "--protocol", version, "0x0099", "0")
    assert one_error_line(done)
    assert f"register 0x0099/0: {message}" in done.stderr


def test_registers_time_out_in_one_line():
    with SimulatedSensor(version=4, channels=4, faults=Faults(reply_delay=2.0)) as sensor:
        done = feltwise("registers", "read", "--protocol", "4", sensor.path, "0", "0", "--timeout", "0.1")
    assert one_error_line(done)
    assert "Register read timeout" in done.stderr


@pytest.mark.parametrize(
    "argv, words",
    [
        (["read", "--simulate", "--protocol", "1", "0", "0"], "protocol 1 has no registers"),
        (["read", "--simulate", "0", "0"], "give --protocol 3 or 4"),
        (["write", "--simulate", "--protocol", "4", "0x100", "0", "xyz"], "not hexadecimal bytes"),
    ],
)
def test_registers_refuse_mistakes_in_one_line(argv, words):
    done = feltwise("registers", *argv)
    assert one_error_line(done)
    assert words in done.stderr


def test_registers_refuse_an_address_out_of_range():
    done = feltwise("registers", "read", "--simulate", "--protocol", "4", "65536", "0")
    assert done.returncode == 2 and no_traceback(done)
    assert "65536 is outside 0 to 65535" in done.stderr


# --- ports -----------------------------------------------------------------------------------


@pytest.mark.smoke
def test_ports_runs_on_this_machine():
    done = feltwise("ports")
    assert done.returncode == 0 and no_traceback(done)
    assert done.stdout or "no serial ports found" in done.stderr


class FakePortInfo:
    def __init__(self, device, vid=None, pid=None, serial_number=None, description="n/a", hwid="n/a"):
        self.device, self.vid, self.pid, self.serial_number = device, vid, pid, serial_number
        self.description, self.hwid = description, hwid


def test_ports_show_ids_description_serial_and_stable_names(monkeypatch, tmp_path):
    from serial.tools import list_ports

    from feltwise import ports

    (tmp_path / "serial" / "by-id").mkdir(parents=True)
    (tmp_path / "ttyUSB0").touch()
    (tmp_path / "serial" / "by-id" / "usb-FTDI_FT232R-if00-port0").symlink_to(tmp_path / "ttyUSB0")
    monkeypatch.setattr(
        list_ports,
        "comports",
        lambda: [
            FakePortInfo(
                str(tmp_path / "ttyUSB0"), 0x0403, 0x6001, "A10K3", "FT232R USB UART", "USB VID:PID=0403:6001"
            ),
            FakePortInfo(str(tmp_path / "ttyACM1"), 0x2E8A, 0x000A, "E660", "Pico", "USB VID:PID=2e8a:000a"),
            FakePortInfo("/dev/ttyS0"),
        ],
    )
    listed = ports.list_ports(str(tmp_path))
    assert [port.device for port in listed] == [str(tmp_path / "ttyACM1"), str(tmp_path / "ttyUSB0")]
    stable = str(tmp_path / "serial" / "by-id" / "usb-FTDI_FT232R-if00-port0")
    assert listed[1].line() == f"{stable}  -> {tmp_path / 'ttyUSB0'}  0403:6001  serial A10K3  FT232R USB UART"
    assert ports.port_matching("0403:6001", listed) == stable, "the by-id name, which survives re-plugging"
    assert ports.port_matching("2e8a:000a:E660", listed) == str(tmp_path / "ttyACM1")


@pytest.mark.parametrize(
    "text, words",
    [
        ("0403", "give VID:PID"),
        ("xyz:1", "hexadecimal"),
        ("10000:1", "16-bit"),
        ("0403:6002", "no serial port matches"),
    ],
)
def test_match_refuses_what_it_cannot_resolve(text, words):
    from feltwise import ports
    from feltwise.errors import PortMatchError

    with pytest.raises(PortMatchError, match=words):
        ports.port_matching(text, [ports.Port("/dev/ttyUSB0", 0x0403, 0x6001, "A1")])


@pytest.mark.parametrize("by_id", ["/dev/serial/by-id/usb-FTDI_FT232R_A10K3-if00-port0", None])
def test_match_with_reconnect_takes_the_stable_name_and_says_so(monkeypatch, capsys, by_id):
    from feltwise import ports
    from feltwise.cli import connection

    monkeypatch.setattr(ports, "list_ports", lambda: [ports.Port("/dev/ttyUSB3", 0x0403, 0x6001, "A10K3", by_id=by_id)])
    assert connection.matched_port("0403:6001", reconnect=True) == (by_id or "/dev/ttyUSB3")
    said = capsys.readouterr().err
    if by_id:
        assert said == f"--match 0403:6001: {by_id}, a name that follows the adapter when it is plugged in again\n"
    else:
        assert "/dev/ttyUSB3; it has no stable name (/dev/serial/by-id)" in said


def test_stream_by_match_without_such_an_adapter_fails_in_one_line():
    done = feltwise("stream", "--match", "0403:6001:no-such-serial", "--protocol", "1", "--duration", "1")
    assert one_error_line(done)
    assert "no serial port matches 0403:6001:no-such-serial" in done.stderr


# --- defects a new user met ------------------------------------------------------------------


def test_registers_write_text_with_the_flag_before_the_data():
    with SimulatedSensor(version=4, channels=4) as sensor:
        done = feltwise("registers", "write", sensor.path, "0x100", "5", "--text", "hello", "--protocol", "4")
        assert done.returncode == 0, done.stderr
        done = feltwise("registers", "read", sensor.path, "--text", "0x100", "5", "--protocol", "4")
    assert done.stdout == "hello\n", done.stderr


def test_params_show_refuses_a_json_file():
    done = feltwise("params", "show", EXAMPLES / "mixed_pad.json")
    assert one_error_line(done)
    assert "is not a parameter file" in done.stderr and "params build" in done.stderr
    assert done.stdout == ""


@pytest.mark.parametrize("sensor_type, field", [(1, "coefs"), (0, "coefs_z"), (2, "offset"), (1, "upper")])
def test_params_check_refuses_a_record_without_a_field_its_model_needs(tmp_path, sensor_type, field):
    complete = {
        1: {"coefs": [0.0, 1.0]},
        0: {"coefs_x": [0.0, 1.0], "coefs_y": [0.0, 1.0], "coefs_z": [0.0, 1.0]},
        2: {"lut": [0.0, 1.0]},
    }[sensor_type]
    inputs = {0: 0, 1: 1, 2: 2, 3: 3} if sensor_type == 0 else {0: 0}
    outputs = {0: 0, 1: 1, 2: 2} if sensor_type == 0 else {0: 0}
    lower, upper = ([0.0] * 4, [1000.0] * 4) if sensor_type == 0 else (0.0, 1000.0)
    entry = {
        "SensorParameters": {"sensor_type": sensor_type, "input_map": inputs, "output_map": outputs},
        "lower": lower,
        "upper": upper,
        "offset": lower,
        **complete,
    }
    path = tmp_path / "pad.msgpack"
    path.write_bytes(msgpack.packb([1, [entry]]))
    assert feltwise("params", "check", path).returncode == 0
    del entry[field]
    path.write_bytes(msgpack.packb([1, [entry]]))
    done = feltwise("params", "check", path)
    assert done.returncode == 1 and no_traceback(done)
    assert "group 1, record 0" in done.stderr and f"no {field}" in done.stderr


def test_stream_raw_after_zero_does_not_claim_zeroed_values():
    done = feltwise("stream", "--simulate", "--params", example("taxel_pad_4x4"), "--raw", "--zero", "--duration", "1")
    assert done.returncode == 0, done.stderr
    assert "zeroed" not in done.stdout.splitlines()[0]
    assert "calibrated values only" in done.stderr


@pytest.mark.parametrize(
    "argv",
    [
        ["simulate", "--rate", "1e400"],
        ["simulate", "--channels", "9" * 30],
        ["simulate", "--seed", "9" * 30],
        ["stream", "--simulate", "--protocol", "1", "--duration", "1e400"],
        ["stream", "--simulate", "--protocol", "1", "--every", "9" * 400],
        ["record", "--simulate", "--protocol", "1", "-o", "x.csv", "--count", "9" * 30],
        ["registers", "read", "--simulate", "--protocol", "4", "0", "0", "--timeout", "9" * 30],
        ["view", "--simulate", "--protocol", "1", "--after", "1e309", "--snapshot", "x.png"],
    ],
)
def test_huge_numbers_are_refused_in_one_line(tmp_path, argv):
    done = feltwise(*argv, cwd=tmp_path, timeout=60)
    assert done.returncode == 2 and no_traceback(done)
    assert "too large" in done.stderr or "at most" in done.stderr or "a seed is" in done.stderr


@pytest.fixture
def hostile_sources(tmp_path):
    """Parameter sources the library refuses to read, and the reason the tools give."""
    (tmp_path / "folder").mkdir()
    os.mkfifo(tmp_path / "fifo")
    with open(tmp_path / "huge", "wb") as file:
        file.truncate((64 << 20) + 1)  # sparse: no disk used
    return {
        "/dev/zero": "cannot read /dev/zero: not a regular file",
        tmp_path / "folder": f"cannot read {tmp_path / 'folder'}: Is a directory",
        tmp_path / "fifo": f"cannot read {tmp_path / 'fifo'}: not a regular file",
        tmp_path / "huge": f"cannot read {tmp_path / 'huge'}: larger than 64 MiB",
    }


@pytest.mark.parametrize(
    "argv",
    [
        ["params", "show"],
        ["params", "build", "-o", "x.msgpack"],
        ["params", "check"],
        ["simulate", "--duration", "1", "--params"],
        ["stream", "--simulate", "--duration", "1", "--params"],
    ],
)
def test_parameter_sources_are_capped_as_the_library_caps_them(tmp_path, hostile_sources, argv):
    for source, words in hostile_sources.items():
        done = feltwise(*argv, source, cwd=tmp_path, timeout=60)
        assert one_error_line(done), done.stderr
        assert words in done.stderr


@pytest.mark.parametrize(
    "content, words",
    [
        (msgpack.packb([1, [{"a": msgpack.ExtType(5, b"xy")}]]), "holds a msgpack extension value (type 5)"),
        (msgpack.packb([1, [{"a": msgpack.Timestamp(5)}]]), "holds a msgpack time stamp"),
        (b"\x92\x01\x91\x81\x91\x01\x01", "a map has an array or a map as a key"),
        (msgpack.packb([1, [{1.5: 0}]]), "has a map key 1.5, which JSON cannot show"),
        (b"\x91" * 2000 + b"\x01", "nested too deeply"),
    ],
)
def test_params_show_says_in_one_line_what_json_cannot_show(tmp_path, content, words):
    path = tmp_path / "odd.msgpack"
    path.write_bytes(content)
    done = feltwise("params", "show", path)
    assert one_error_line(done)
    assert words in done.stderr


def test_stream_refuses_a_parameter_file_with_container_keys_in_one_line(tmp_path):
    path = tmp_path / "odd.msgpack"
    path.write_bytes(b"\x92\x01\x91\x81\x91\x01\x01")
    done = feltwise("stream", "--simulate", "--params", path, "--duration", "1")
    assert one_error_line(done)
    assert "a map has an array or a map as a key" in done.stderr


@pytest.mark.parametrize(
    "argv, words",
    [
        (
            ["params", "check", os.fsdecode(b"pad\xff.msgpack")],
            "parameter file ./pad\\xff.msgpack: the library takes UTF-8",
        ),
        (["stream", os.fsdecode(b"/dev/tty\xff"), "--protocol", "1"], "port /dev/tty\\xff: the library takes UTF-8"),
        (["stream", os.fsdecode(b"zenoh:\xff")], "zenoh:\\xff is not a sensor name"),
    ],
)
def test_names_that_are_not_utf8_are_refused_in_one_line(tmp_path, argv, words):
    (tmp_path / os.fsdecode(b"pad\xff.msgpack")).write_bytes((EXAMPLES / "mixed_pad.msgpack").read_bytes())
    done = feltwise(*argv, cwd=tmp_path)
    assert one_error_line(done)
    assert words in done.stderr


def test_params_build_refuses_an_integer_beyond_64_bits(tmp_path):
    (tmp_path / "big.json").write_text(
        '[1, [{"SensorParameters": {"sensor_type": 1, "input_map": {"0": 0}, '
        '"output_map": {"0": 0}}, "offset": ' + "9" * 30 + "}]]"
    )
    done = feltwise("params", "build", tmp_path / "big.json", "-o", tmp_path / "big.msgpack")
    assert one_error_line(done)
    assert "beyond 64 bits" in done.stderr
