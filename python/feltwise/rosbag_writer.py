"""Recordings as ROS 2 bags: a folder with an MCAP file of CDR messages and its metadata.yaml.

The messages are those of the `feltwise ros2` node (ros2/messages.py), under
/feltwise/NAME/: `values` (sensor_msgs/JointState, calibrated values; the
raw ones where there is no parameter file), `raw` (JointState, raw values)
and `map` (sensor_msgs/Image 32FC1, at most MAP_RATE per second). Every
header's stamp, and the message's time in the bag, is the sample's time
stamp in Unix time (the ROS clock of a node without simulated time), so
`ros2 bag play` replays the samples with their own spacing.

rosbags writes the folder (pure Python: no ROS installation needed). Every
second the writer ends the MCAP chunk it is filling and flushes the file:
a recording that is killed loses at most the last second of the MCAP file
(`ros2 bag reindex` makes its metadata.yaml, written at the end).
"""

from __future__ import annotations

import os
import re
from typing import Any

from .recording_file import WriteError
from .ros2 import messages
from .sample import ClockOffset

MAP_RATE = 30.0  # maps per second, as the node's default
MISSING = "ROS 2 bags need the rosbags package: pip install 'feltwise-comm[ros2]' (or pip install rosbags)"


def topic_name(name: str) -> str:
    """A name usable in a ROS topic: letters, digits and _, starting with a letter."""
    cleaned = re.sub(r"[^A-Za-z0-9_]", "_", name).strip("_") or "sensor"
    return cleaned if cleaned[0].isalpha() else f"sensor_{cleaned}"


class BagFolder:
    """The output folder of a bag, checked before connecting: refused if
    something is there, unless `overwrite` and it is a bag (a metadata.yaml
    or .mcap files and nothing else), which is then removed."""

    regular = True  # the summary line goes to standard output

    def __init__(self, path: str, overwrite: bool = False):
        self.path = path
        if os.path.lexists(path):
            if not overwrite:
                raise FileExistsError(path)
            if not os.path.isdir(path) or any(
                not (entry == "metadata.yaml" or entry.endswith((".mcap", ".db3"))) for entry in os.listdir(path)
            ):
                raise WriteError(OSError(0, "it is not a ROS 2 bag folder: not replaced"), path)
            for entry in os.listdir(path):
                os.unlink(os.path.join(path, entry))
            os.rmdir(path)
        parent = os.path.dirname(os.path.abspath(path))
        if not os.access(parent, os.W_OK):
            raise WriteError(PermissionError(13, "Permission denied"), path)
        self.started = False

    def discard(self) -> None:
        """Nothing to remove: the folder is made by the writer, which keeps what it wrote."""

    def close(self) -> None:
        pass


class Rosbag2Writer:
    """`write(sample, receipt_ns)`, `write_batch(batch, receipt_ns)`, `close()`,
    `rows` and `kept` as the other writers (writers.py)."""

    def __init__(self, output: BagFolder, name: str, layout: Any, metadata: dict[str, Any]):
        try:
            from rosbags.rosbag2 import StoragePlugin, Writer
            from rosbags.typesys import Stores, get_typestore
        except ImportError:
            raise WriteError(OSError(0, MISSING), output.path) from None
        from .writers import _Periodic

        self.output, self.path, self.layout = output, output.path, layout
        self.rows = self.kept = 0
        self.failed: WriteError | None = None
        self._periodic = _Periodic()
        self.clock = ClockOffset(refresh_s=None)
        self.typestore = get_typestore(Stores.LATEST)
        self.kit = messages.rosbags_kit(self.typestore)
        self.topic = f"/feltwise/{topic_name(name)}"
        self.frame_id = "feltwise"
        self._next_map_ns = 0
        try:
            self.writer = Writer(output.path, version=9, storage_plugin=StoragePlugin.MCAP)
            for key, value in metadata.items():
                self.writer.set_custom_data(f"feltwise.{key}", str(value))
            self.writer.open()
            output.started = True
            add = self.writer.add_connection
            self.values = add(f"{self.topic}/values", messages.SAMPLE_TYPE, typestore=self.typestore)
            self.raw = add(f"{self.topic}/raw", messages.SAMPLE_TYPE, typestore=self.typestore)
            self.map = add(f"{self.topic}/map", messages.IMAGE_TYPE, typestore=self.typestore)
        except OSError as error:
            self._fail(error)
        self._pending = 0

    def _fail(self, error: OSError) -> None:
        self.failed = WriteError(error, self.path, self.kept)
        raise self.failed from None

    def _put(self, connection: Any, message: Any, stamp_ns: int) -> None:
        self.writer.write(connection, stamp_ns, self.typestore.serialize_cdr(message, connection.msgtype))

    def write(self, sample: Any, receipt_ns: int) -> None:
        if self.failed is not None:
            raise self.failed
        stamp = self.clock.unix_ns(sample.t_host_ns)
        kit, frame = self.kit, self.frame_id
        try:
            if len(sample.calibrated):
                values = messages.values_message(kit, messages.CALIBRATED, sample.calibrated, stamp, frame)
            else:
                values = messages.values_message(kit, messages.RAW, sample.raw, stamp, frame)
            self._put(self.values, values, stamp)
            self._put(self.raw, messages.values_message(kit, messages.RAW, sample.raw, stamp, frame), stamp)
            if sample.t_host_ns >= self._next_map_ns:
                self._next_map_ns = sample.t_host_ns + int(1e9 / MAP_RATE)
                grid = messages.map_grid(self.layout, sample)
                self._put(self.map, messages.image_message(kit, grid, stamp, frame), stamp)
            self.rows += 1
            self._pending += 1
            if self._periodic.due():
                self._flush()
        except OSError as error:
            self._fail(error)

    def write_batch(self, batch: Any, receipt_ns: int) -> None:
        """The messages of a batch's rows, from its arrays; a Sample only for a row that gets a map."""
        if self.failed is not None:
            raise self.failed
        if not len(batch):
            return
        from .writers import row_dropped

        kit, frame = self.kit, self.frame_id
        calibrated = batch.calibrated.shape[1] > 0
        offset = self.clock.unix_ns(0)
        dropped = None
        try:
            for i, t_host_ns in enumerate(batch.t_host_ns.tolist()):
                stamp = t_host_ns + offset
                raw = batch.raw[i]
                if calibrated:
                    values = messages.values_message(kit, messages.CALIBRATED, batch.calibrated[i], stamp, frame)
                else:
                    values = messages.values_message(kit, messages.RAW, raw, stamp, frame)
                self._put(self.values, values, stamp)
                self._put(self.raw, messages.values_message(kit, messages.RAW, raw, stamp, frame), stamp)
                if t_host_ns >= self._next_map_ns:
                    self._next_map_ns = t_host_ns + int(1e9 / MAP_RATE)
                    dropped = row_dropped(batch) if dropped is None else dropped
                    grid = messages.map_grid(self.layout, batch.sample(i)._replace(dropped=int(dropped[i])))
                    self._put(self.map, messages.image_message(kit, grid, stamp, frame), stamp)
                self.rows += 1
                self._pending += 1
            if self._periodic.due():
                self._flush()
        except OSError as error:
            self._fail(error)

    def _flush(self) -> None:
        # rosbags' MCAP storage chunks at 1 MiB; a second's chunk is ended here.
        storage = self.writer.storage
        if storage is not None and hasattr(storage, "close_chunk"):
            if storage.chunk.bio.tell():
                storage.close_chunk()
            storage.bio.flush()
        self.kept += self._pending
        self._pending = 0

    def close(self) -> None:
        if self.failed is not None:
            return
        try:
            self.writer.close()
            self.kept += self._pending
            self._pending = 0
        except OSError as error:
            self._fail(error)
