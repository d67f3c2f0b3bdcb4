"""Run by tools/test-wheels.sh with the interpreter of a fresh virtual
environment (or an emulated one) that has nothing but the wheel and its
dependencies: reads samples from a simulated sensor through feltwise.Sensor
and FeltwiseComms.

    read_samples.py [PORT]

Without PORT it starts its own simulated sensor; with PORT it reads the one
that `feltwise simulate` plays there (an emulated interpreter cannot start a
program of its own kind without the host's binfmt support)."""

import contextlib
import pathlib
import sys

import feltwise
import feltwise_comm_py

here = pathlib.Path(__file__).resolve()
params = here.parents[2] / "examples" / "params" / "taxel_pad_4x4.msgpack"
port = sys.argv[1] if len(sys.argv) > 1 else None
venv = pathlib.Path(sys.prefix).resolve()
for module in (feltwise, feltwise_comm_py):
    where = pathlib.Path(module.__file__).resolve()
    assert port or venv in where.parents, f"{module.__name__} comes from {where}, not from the wheel"


@contextlib.contextmanager
def sensor_port(rate):
    if port:
        yield port
        return
    with feltwise.SimulatedSensor(params, rate=rate) as simulated:
        yield simulated.path


with sensor_port(500) as path:
    with feltwise.Sensor(path, params, queue=256) as sensor:
        sensor.zero()
        samples = []
        for sample in sensor.samples(timeout=5.0):
            samples.append(sample)
            if len(samples) == 200:
                break
    seqs = [s.seq for s in samples]
    assert len(samples) == 200 and seqs == list(range(seqs[0], seqs[0] + 200)), seqs[:5]
    assert samples[-1].calibrated.shape == (16,) and samples[-1].raw.shape == (16,)

with sensor_port(200) as path:
    comms = feltwise_comm_py.FeltwiseComms()
    comms.init(str(params))
    comms.connect(path)
    assert len(comms.read_raw(2000)) == 16 and len(comms.read(2000)) == 16

print(
    f"feltwise {feltwise.__version__} ({feltwise_comm_py.__file__.rsplit('/', 1)[-1]}): 200 queued samples, "
    f"seq {seqs[0]}..{seqs[-1]}, dropped {samples[-1].dropped}; FeltwiseComms reads too"
)
