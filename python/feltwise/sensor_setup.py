"""`SensorSetup`: which sensor to open and how to read it.

The port, and either the parameter file (calibrated samples; the file names
the protocol version) or the protocol version alone (raw samples). The
command line builds one from its arguments and opens the sensor with it;
whatever reads the sensor later asks the setup, never a text that might be a
version or a file name.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from .sensor import Sensor

DEFAULT_PROTOCOL = 1


@dataclass(frozen=True)
class SensorSetup:
    port: str
    params: Optional[str] = None  # the parameter file's path
    protocol: Optional[int] = None  # without a parameter file; None: DEFAULT_PROTOCOL

    def __post_init__(self) -> None:
        if self.params is not None and self.protocol is not None:
            raise ValueError("give params or protocol, not both: the parameter file names its protocol")

    @property
    def version(self) -> Optional[int]:
        """The protocol version given; None when the parameter file names it."""
        return None if self.params is not None else (DEFAULT_PROTOCOL if self.protocol is None else self.protocol)

    def open(self, *, queue: int = 0, reconnect: bool = False) -> Sensor:
        """A connected `feltwise.Sensor` for this setup (see its arguments)."""
        from .sensor import Sensor

        return Sensor(self.port, self.params, protocol=self.version, queue=queue, reconnect=reconnect)
