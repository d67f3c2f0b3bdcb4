from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['FeltwiseComms']
class FeltwiseComms:
    """
    FeltwiseComms wrapper
    """
    version: typing.ClassVar[str] = 'dev'
    def __init__(self) -> None:
        """
        Constructs FeltwiseComms object
        """
    def connect(self, port: str) -> None:
        """
        Connects to the sensor
        """
    def init(self, file_name: str = '') -> None:
        """
        Initialise sensor comms
        """
    def is_connected(self) -> bool:
        """
        Is sensor connected?
        """
    def read(self, timeout: typing.SupportsInt | typing.SupportsIndex = 500) -> list[float]:
        """
        Reads and returns data
        """
    def read_raw(self, timeout: typing.SupportsInt | typing.SupportsIndex = 500) -> list[float]:
        """
        Reads and returns raw data
        """
    def read_register(self, address: typing.SupportsInt | typing.SupportsIndex, id: typing.SupportsInt | typing.SupportsIndex, timeout: typing.SupportsInt | typing.SupportsIndex = 500) -> bytes:
        """
        Reads register data
        """
    def write_register(self, address: typing.SupportsInt | typing.SupportsIndex, id: typing.SupportsInt | typing.SupportsIndex, data: bytes, timeout: typing.SupportsInt | typing.SupportsIndex = 500) -> None:
        """
        Writes register data
        """
    @typing.overload
    def zero(self, taxel_ids: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        """
        Zeroes the sensor
        """
    @typing.overload
    def zero(self, data_buf: collections.abc.Sequence[collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]], taxel_ids: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]) -> None:
        """
        Zeroes the sensor with data from a buffer
        """
__version__: str = '0.1.6b'
