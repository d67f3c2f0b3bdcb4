"""The simulated sensor: a pty that speaks every protocol version (simulator.py),
in a process of its own for a program that reads it (simulated_sensor.py, with
child.py), played as its settings say (settings.py); the wire encoders and
request readers it uses (wire.py), its register bank (registers.py) and the
touch it plays (touch.py)."""

from .settings import DEFAULT_RATE, Faults, SimulatorSettings
from .simulated_sensor import SimulatedSensor
from .simulator import SensorEngine, engine_for, make_engine, run_until_signalled

__all__ = [
    "DEFAULT_RATE",
    "Faults",
    "SensorEngine",
    "SimulatedSensor",
    "SimulatorSettings",
    "engine_for",
    "make_engine",
    "run_until_signalled",
]
