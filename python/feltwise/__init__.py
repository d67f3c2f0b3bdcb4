"""Command-line tools and a simulated sensor for the Feltwise tactile sensor.

The extension module `feltwise_comm_py` talks to the sensor; this package is
what sits around it: `feltwise` (stream, view, record, params, registers,
ports, simulate) and `SimulatedSensor`, a sensor on a pseudo-terminal that
speaks every protocol version, for trying and testing without hardware.
"""

from .simulator import Faults, SimulatedSensor

__all__ = ["Faults", "SimulatedSensor"]


def __getattr__(name):
    # feltwise.remote (Zenoh) loads on first use: numpy and zenoh stay out of
    # the commands that do not need them.
    if name == "remote":
        import importlib
        return importlib.import_module("feltwise.remote")
    raise AttributeError(f"module 'feltwise' has no attribute {name!r}")
