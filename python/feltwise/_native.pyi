"""
The C++ core behind feltwise.Sensor; use feltwise.Sensor instead.
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['NativeSensor', 'process_exiting', 'protocols', 'read_parameters', 'sensor_types']
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
    def forget_after_fork(self) -> None:
        """
        In a forked child: closed, letting go of the child's copy of the port; elsewhere nothing
        """
    def give_back(self, ticket: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        Undoes the take of `ticket` if it was this thread's last and its sample never reached the caller
        """
    def init(self, init_text: str) -> None:
        """
        Chooses the protocol and the models
        """
    def is_connected(self) -> bool:
        """
        Whether the port is open and acquisition runs
        """
    def next(self, timeout: typing.SupportsFloat | typing.SupportsIndex, ticket: typing.SupportsInt | typing.SupportsIndex = 0) -> typing.Any:
        """
        The oldest queued sample, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None
        """
    def read(self, timeout: typing.SupportsFloat | typing.SupportsIndex, ticket: typing.SupportsInt | typing.SupportsIndex = 0) -> typing.Any:
        """
        The newest sample not taken yet, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None
        """
    def read_batch(self, max_rows: typing.SupportsInt | typing.SupportsIndex, timeout: typing.SupportsFloat | typing.SupportsIndex, min_rows: typing.SupportsInt | typing.SupportsIndex = 1, ticket: typing.SupportsInt | typing.SupportsIndex = 0) -> tuple:
        """
        Every queued sample (without a queue the newest), up to max_rows (0: all), once min_rows are there or after timeout, as (raw, calibrated, seq, t_host_ns, dropped, reconnects) arrays, rows x values
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
def process_exiting() -> None:
    """
    For feltwise's exit hook: from now on a thread other than this one that waits in a call here never takes the interpreter lock back (it stays until the process ends), so that the interpreter's finalising cannot end it in the middle of the library
    """
def protocols() -> list:
    """
    The protocol table: one (version, class name, is_text, has_registers) per protocol, in version order
    """
def read_parameters(path: str) -> tuple:
    """
    Loads a parameter file with the library's loader: (protocol version, records as dicts); raises feltwise.errors.ParameterFileError with the loader's message as `reason`
    """
def sensor_types() -> list:
    """
    The sensor-type table: one (sensor_type, model class name, description, fields) per type, in type order; fields lists the record's own fields (those beside its "SensorParameters" map) in file order, each as (name, kind, required, non_empty), kind one of "integer", "number", "numbers", "integer map"
    """
