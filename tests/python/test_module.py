"""The module's surface: names, defaults, docstrings, conversions, stub."""

import pathlib
import subprocess
import sys

import pytest

import feltwise_comm_py
from feltwise_comm_py import FeltwiseComms

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.smoke
def test_versions():
    assert feltwise_comm_py.__version__ == "0.1.6b"
    assert FeltwiseComms.version == "dev"
    assert FeltwiseComms().version == "dev"


@pytest.mark.smoke
@pytest.mark.parametrize("first", ["feltwise_comm_py", "feltwise._native"])
def test_errors_keep_their_python_type_and_text_whichever_module_loads_first(first):
    # The modules share pybind11's translators; a wheel's modules each carry
    # their own C++ runtime, so each must translate its own errors.
    script = f"""
import importlib, os, pty
importlib.import_module({first!r})
from feltwise import _native
from feltwise_comm_py import FeltwiseComms
comms = FeltwiseComms()
comms.init()
native = _native.NativeSensor()
native.init("1")
outcomes = []
for call in (lambda: comms.connect("/dev/feltwise-no-such-port"), lambda: comms.init("/no/such.msgpack"),
             lambda: native.connect("/dev/feltwise-no-such-port", 0, False),
             lambda: _native.NativeSensor().connect("/dev/feltwise-no-such-port", 0, False)):
    try:
        call()
    except Exception as error:
        outcomes.append(f"{{type(error).__name__}}: {{error}}")
_, slave = pty.openpty()
comms.init("4")
comms.connect(os.ttyname(slave))
try:
    comms.read_register(1, 2, timeout=20)
except Exception as error:
    outcomes.append(f"{{type(error).__name__}}: {{error}}")
print(chr(10).join(outcomes))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "RuntimeError: Cannot open serial port: /dev/feltwise-no-such-port",
        "RuntimeError: Cannot find sensor parameter file",
        "PortError: Cannot open serial port: /dev/feltwise-no-such-port: missing, no such device (unplugged, or a "
        "wrong name) ([Errno 2] No such file or directory)",
        "RuntimeError: Cannot connect before init has chosen a protocol",
        "RuntimeError: Register read timeout",
    ]


def test_version_is_a_read_only_property():
    with pytest.raises(AttributeError):
        FeltwiseComms().version = "x"
    with pytest.raises(AttributeError):
        FeltwiseComms.version = "x"
    assert FeltwiseComms.version == "dev"


@pytest.mark.parametrize(
    "member, doc",
    [
        ("__init__", "Constructs FeltwiseComms object"),
        ("init", "Initialise sensor comms"),
        ("connect", "Connects to the sensor"),
        ("read", "Reads and returns data"),
        ("read_raw", "Reads and returns raw data"),
        ("read_register", "Reads register data"),
        ("write_register", "Writes register data"),
        ("is_connected", "Is sensor connected?"),
        ("zero", "Zeroes the sensor with data from a buffer"),
    ],
)
def test_docstrings(member, doc):
    assert doc in getattr(FeltwiseComms, member).__doc__
    assert FeltwiseComms.__doc__ == "FeltwiseComms wrapper"


def test_zero_overloads_are_tried_in_order():
    doc = FeltwiseComms.zero.__doc__
    assert doc.index("zero(self: feltwise_comm_py.FeltwiseComms, taxel_ids") < doc.index("data_buf")


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.read_register(65536, 0),
        lambda c: c.read_register(0, 65536),
        lambda c: c.read_register(-1, 0),
        lambda c: c.read(1.5),
        lambda c: c.read_raw(2**31),
        lambda c: c.write_register(1, 2, bytearray(b"x")),
        lambda c: c.write_register(1, 2, "x"),
        lambda c: c.zero(),
        lambda c: c.connect(),
    ],
    ids=["address", "id", "negative", "float-timeout", "timeout-range", "bytearray", "str-data", "zero", "connect"],
)
def test_argument_conversion_failures_raise_type_error(call):
    with pytest.raises(TypeError):
        call(FeltwiseComms())


def test_register_arguments_by_keyword_reach_the_comms_object():
    comms = FeltwiseComms()
    comms.init()
    with pytest.raises(RuntimeError, match="^Serial port is not open$"):
        comms.read_register(id=2, address=1)
    with pytest.raises(RuntimeError, match="^Serial port is not open$"):
        comms.write_register(data=b"\x01", id=2, address=1, timeout=10)


@pytest.mark.parametrize(
    "module, stub",
    [("feltwise_comm_py", "feltwise_comm_py.pyi"), ("feltwise._native", "feltwise/_native.pyi")],
)
def test_the_committed_type_stubs_match_the_modules(tmp_path, module, stub):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run(
        [sys.executable, "-m", "pybind11_stubgen", module, "-o", str(tmp_path)],
        check=True,
        capture_output=True,
    )
    generated = (tmp_path / stub).read_text()
    committed = (REPO / "python" / stub).read_text()
    assert generated == committed, f"regenerate python/{stub} with tools/make_stub.sh"
