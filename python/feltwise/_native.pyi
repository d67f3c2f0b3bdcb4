"""
The C++ core behind feltwise.Sensor; use feltwise.Sensor instead.
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['NativeSensor', 'protocols', 'read_parameters']
class NativeSensor:
    """
    One sensor's comms object, its stamped samples and their queue
    """
    def __init__(self) -> None:
        ...
    def close(self) -> None:
        """
        Stops acquisition and closes the port
        """
    def connect(self, port: str, queue_capacity: typing.SupportsInt | typing.SupportsIndex, reconnect: bool) -> None:
        """
        Opens the port and starts acquisition; with reconnect, a lost port is reopened until close()
        """
    def init(self, init_text: str) -> None:
        """
        Chooses the protocol and the models
        """
    def is_connected(self) -> bool:
        """
        Whether the port is open and acquisition runs
        """
    def next(self, timeout: typing.SupportsFloat | typing.SupportsIndex) -> typing.Any:
        """
        The oldest queued sample, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None
        """
    def read(self, timeout: typing.SupportsFloat | typing.SupportsIndex) -> typing.Any:
        """
        The newest sample not taken yet, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None
        """
    def read_register(self, address: typing.SupportsInt | typing.SupportsIndex, id: typing.SupportsInt | typing.SupportsIndex, timeout_ms: typing.SupportsInt | typing.SupportsIndex) -> bytes:
        """
        Reads a device register
        """
    def write_register(self, address: typing.SupportsInt | typing.SupportsIndex, id: typing.SupportsInt | typing.SupportsIndex, data: bytes, timeout_ms: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Writes a device register
        """
    def zero(self, ids: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        """
        Zeroes the models of these outputs (all when empty)
        """
    @property
    def closed(self) -> bool:
        """
        Whether close() ran
        """
    @property
    def reconnects(self) -> int:
        """
        Reopens of a lost port since connect
        """
def protocols() -> list:
    """
    The protocol table: one (version, class name, is_text, has_registers) per protocol, in version order
    """
def read_parameters(path: str) -> tuple:
    """
    Loads a parameter file with the library's loader: (protocol version, records as dicts); raises feltwise.errors.ParameterFileError with the loader's message as `reason`
    """
