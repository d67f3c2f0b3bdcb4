"""The Feltwise tactile sensor from Python.

`Sensor` is the API we recommend: one object per sensor, samples with raw and
calibrated values, sequence number and time stamp as numpy arrays, waits that
release the interpreter lock, and typed errors (`SensorError` and its
subclasses). The extension module `feltwise_comm_py` (class `FeltwiseComms`)
stays for code written against it.

Around them: `SimulatedSensor`, a sensor on a pseudo-terminal that speaks
every protocol version, for trying and testing without hardware; sensors
over Zenoh (`feltwise.remote`); recording writers (`feltwise.writers`).
The `feltwise` command (stream, view, record, params, registers, ports,
simulate) is built on them, in `feltwise.cli`.
"""

from typing import TYPE_CHECKING

from .errors import (
    DeviceLostError,
    ParameterFileError,
    PortError,
    RegisterError,
    RegisterTimeoutError,
    SensorClosedError,
    SensorError,
    SimulatorError,
)
from .sim import Faults, SimulatedSensor
from .version import __version__

if TYPE_CHECKING:
    from .sample import Batch, Sample
    from .sensor import Sensor


def __getattr__(name: str) -> object:
    # Sensor (the extension module and numpy) and feltwise.remote (Zenoh) load
    # on first use: the simulated sensor and the commands that need neither
    # start without them.
    if name in ("Sample", "Batch"):
        from . import sample

        return getattr(sample, name)
    if name == "Sensor":
        from .sensor import Sensor

        return Sensor
    if name == "remote":
        import importlib

        return importlib.import_module("feltwise.remote")
    raise AttributeError(f"module 'feltwise' has no attribute {name!r}")


__all__ = [
    "Batch",
    "DeviceLostError",
    "Faults",
    "ParameterFileError",
    "PortError",
    "RegisterError",
    "RegisterTimeoutError",
    "Sample",
    "Sensor",
    "SensorClosedError",
    "SensorError",
    "SimulatedSensor",
    "SimulatorError",
    "__version__",
]
