"""What a simulated sensor plays: `SimulatorSettings`, its `Faults` among them.

The settings are data: `to_json()` and `from_json()` carry them whole to the
simulator's own process (simulated_sensor.py), and `feltwise simulate`
builds its fault options from the fields of `Faults` (each field's metadata
holds its option's kind and help), so a fault is written once, here.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import asdict, dataclass, field, fields
from typing import Any, Optional, Union

DEFAULT_RATE = 100.0

# A parameter file's path, as the simulator takes it.
PathLike = Union[str, "os.PathLike[str]"]

# The kinds of fault settings, as `feltwise simulate` takes them.
PROBABILITY = "probability"  # per sample sent, 0 to 1
SECONDS = "seconds"  # from the start of the simulation (or a delay), 0 or more
DURATION = "duration"  # more than 0 seconds
SWITCH = "switch"  # on or off


def _fault(kind: str, text: str, default: Any = None) -> Any:
    if kind == SWITCH:
        default = False
    elif kind == PROBABILITY:
        default = 0.0
    return field(default=default, metadata={"kind": kind, "help": text})


@dataclass
class Faults:
    """Fault switches. Probabilities are per sample sent; times are seconds
    from the start of the simulation."""

    stray_bytes: float = _fault(PROBABILITY, "one to three random bytes before a sample")
    garbage: float = _fault(PROBABILITY, "a burst of 16 to 256 random bytes before a sample")
    truncate: float = _fault(PROBABILITY, "a sample cut short")
    overlong: float = _fault(PROBABILITY, "a line of 70000 bytes (text), a frame counting 1024 values (binary)")
    error_lines: float = _fault(PROBABILITY, "an unsolicited device error (protocols 3 and 4)")
    reply_delay: float = _fault(SECONDS, "register answers leave S seconds late", 0.0)
    duplicate_replies: bool = _fault(SWITCH, "every register answer twice")
    malformed_replies: bool = _fault(SWITCH, "register answers missing a field (3) or cut short (4)")
    error_replies: bool = _fault(SWITCH, "every register request answered with a device error")
    silence_after: Optional[float] = _fault(SECONDS, "go silent after S seconds")
    silence_for: Optional[float] = _fault(DURATION, "... for S seconds (default: for good)")
    unplug_after: Optional[float] = _fault(SECONDS, "close the port after S seconds, as if the adapter were pulled out")

    def __post_init__(self) -> None:
        for item in fields(self):
            value, kind = getattr(self, item.name), item.metadata["kind"]
            if kind == SWITCH or value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ValueError(f"{item.name} must be a number, not {value!r}")
            if kind == PROBABILITY and not 0.0 <= value <= 1.0:
                raise ValueError(f"{item.name} is a probability, 0 to 1, not {value!r}")
            if value < 0 or (kind == DURATION and value == 0):
                raise ValueError(f"{item.name} must be {'above' if kind == DURATION else 'at least'} 0, not {value!r}")

    def silent_at(self, t: float) -> bool:
        if self.silence_after is None or t < self.silence_after:
            return False
        return self.silence_for is None or t < self.silence_after + self.silence_for


@dataclass
class SimulatorSettings:
    """Everything a simulated sensor plays: a parameter file's layout (or a bare
    protocol version with `channels` taxels), the rate, the faults, the seed
    that makes noise, drift and faults repeatable, and whether it is touched."""

    params: Optional[str] = None
    version: Optional[int] = None
    channels: Optional[int] = None
    rate: float = DEFAULT_RATE
    faults: Faults = field(default_factory=Faults)
    seed: Optional[int] = None
    touch: bool = True

    def to_json(self) -> str:
        return json.dumps(asdict(self))

    @classmethod
    def from_json(cls, text: str) -> SimulatorSettings:
        values = json.loads(text)
        values["faults"] = Faults(**values["faults"])
        return cls(**values)
