"""The exceptions of the feltwise package.

`SensorError` and its subclasses are what `feltwise.Sensor` and
`feltwise.remote` raise (the latter its `RemoteError` family). They derive
from RuntimeError, so code written for `feltwise_comm_py` (which raises plain
RuntimeError) keeps catching them. `SimulatorError` is the simulated
sensor's, `PortMatchError` that of `--match VID:PID[:SERIAL]` resolving to
no port or to several. The command line (`feltwise.cli`) shows each of them
as one line; the library knows nothing of exit codes.
"""

from __future__ import annotations

from typing import Optional


class SensorError(RuntimeError):
    """Anything a sensor operation failed at."""


class PortError(SensorError):
    """The port did not open.

    `cause` says why: "busy" (another program has it open), "missing" (no such
    device: unplugged, or a wrong name), "permission denied" (on Linux, join
    the dialout group), "not a serial port" (a directory, a file, or a device
    such as /dev/null that is no terminal), or "other". `errno` and `strerror`
    are the system's error number and text where known, `detail` the port
    layer's message. The
    message begins "Cannot open serial port: PORT", as feltwise_comm_py's does,
    and goes on with the cause:

        Cannot open serial port: /dev/ttyUSB0: busy, another program has it
        open ([Errno 16] Device or resource busy)
    """

    EXPLANATIONS = {
        "busy": "busy, another program has it open",
        "missing": "missing, no such device (unplugged, or a wrong name)",
        "permission denied": "permission denied (on Linux: is the user in the dialout group?)",
        "not a serial port": "not a serial port",
    }

    def __init__(
        self,
        message: str,
        *,
        port: str = "",
        cause: str = "other",
        errno: Optional[int] = None,
        strerror: Optional[str] = None,
        detail: str = "",
    ):
        text = message
        explanation = self.EXPLANATIONS.get(cause, detail)
        if explanation:
            text += f": {explanation}"
        if strerror:
            text += f" ([Errno {errno}] {strerror})"
        super().__init__(text)
        self.port, self.cause, self.errno, self.strerror, self.detail = port, cause, errno, strerror, detail


class ParameterFileError(SensorError):
    """The parameter file could not be found, read or decoded, or a record in it
    was refused. `path` is the file (or what it came from), `reason` what is
    wrong with it; the message is "PATH: REASON" unless `message` says it
    otherwise ("cannot read PATH: Is a directory"). Where the library's loader
    knows them, `record` is the refused record's place among the file's
    records (from 0, in file order) and `field` the record field whose value
    it refused ("coefs_x"); otherwise None."""

    def __init__(
        self,
        reason: str,
        path: str,
        message: Optional[str] = None,
        *,
        record: Optional[int] = None,
        field: Optional[str] = None,
    ):
        super().__init__(f"{path}: {reason}" if message is None else message)
        self.path, self.reason = path, reason
        self.record, self.field = record, field


class RegisterTimeoutError(SensorError):
    """A register request got no answer in time."""


class RegisterError(SensorError):
    """The device refused a register request; `status` is its status code
    (on the simulated sensor: 2 unknown register, 3 read-only, 4 wrong size)."""

    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status


class DeviceLostError(SensorError):
    """The port failed while connected: the adapter was unplugged or the
    device stopped answering the system. Open a new Sensor to go on."""


class SensorClosedError(SensorError):
    """The sensor was closed."""


class RemoteError(SensorError):
    """A sensor over Zenoh (`feltwise.remote`) failed: a session that does not
    open, an endpoint or name that is refused, a publisher that refuses a
    request or answers with something that is not ours."""


class NoPublisherError(RemoteError):
    """No publisher answered a request for the sensor in time."""


class PublisherLostError(RemoteError):
    """The sensor's publisher went away (its Zenoh session ended or became
    unreachable) and the subscription does not wait for it to come back."""


class NameTakenError(RemoteError):
    """Another publisher has the sensor's name: a name is one sensor."""


class SimulatorError(RuntimeError):
    """The simulated sensor cannot run as asked (a protocol version it does not
    speak, more channels than a frame carries, a package it needs), or its
    process did not start."""


class PortMatchError(ValueError):
    """`VID:PID[:SERIAL]` is not such a text, or names no port or several."""
