"""The simulated sensor: a pty that speaks every protocol version (simulator.py),
the wire encoders and request readers it uses (wire.py), its register bank
(registers.py) and the touch it plays (touch.py)."""

from .simulator import DEFAULT_RATE, Faults, SimulatedSensor, make_engine

__all__ = ["DEFAULT_RATE", "Faults", "SimulatedSensor", "make_engine"]
