"""Run by tools/test-wheel.sh with the interpreter of a fresh virtual
environment that has nothing but the wheel and its dependencies: reads
samples from a simulated sensor through feltwise.Sensor and FeltwiseComms."""

import pathlib
import sys

import feltwise
import feltwise_comm_py

here = pathlib.Path(__file__).resolve()
venv = pathlib.Path(sys.prefix).resolve()
for module in (feltwise, feltwise_comm_py):
    where = pathlib.Path(module.__file__).resolve()
    assert venv in where.parents, f"{module.__name__} comes from {where}, not from the wheel"

params = here.parents[2] / "examples" / "params" / "taxel_pad_4x4.msgpack"
with feltwise.SimulatedSensor(params, rate=500) as simulated:
    with feltwise.Sensor(simulated.path, params, queue=64) as sensor:
        sensor.zero()
        samples = []
        for sample in sensor.samples(timeout=2.0):
            samples.append(sample)
            if len(samples) == 200:
                break
    seqs = [s.seq for s in samples]
    assert len(samples) == 200 and seqs == list(range(seqs[0], seqs[0] + 200)), seqs[:5]
    assert samples[-1].calibrated.shape == (16,) and samples[-1].raw.shape == (16,)

with feltwise.SimulatedSensor(params, rate=200) as simulated:
    comms = feltwise_comm_py.FeltwiseComms()
    comms.init(str(params))
    comms.connect(simulated.path)
    assert len(comms.read_raw(2000)) == 16 and len(comms.read(2000)) == 16

print(f"feltwise {feltwise.__version__} from the wheel: 200 queued samples, seq {seqs[0]}..{seqs[-1]}, "
      f"dropped {samples[-1].dropped}; FeltwiseComms reads too")
