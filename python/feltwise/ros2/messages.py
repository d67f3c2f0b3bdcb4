"""Samples as standard ROS 2 messages, the same for the node and for a rosbag2 recording.

A sample is a `sensor_msgs/msg/JointState`: a `std_msgs/Header` (the stamp
and `frame_id`) and one named float64 per value, `name[i]` / `position[i]`
("out_0"... for calibrated outputs, "ch_0"... for raw channels); `velocity`
and `effort` stay empty. Of the standard types it is the one that is
stamped, carries float64 values without rounding and names each of them, so
`ros2 topic echo`, rqt_plot, PlotJuggler and Foxglove plot an output by its
name with nothing built on the user's side. (std_msgs/Float64MultiArray has
no header; sensor_msgs/ChannelFloat32 neither, and is float32.)

The map is a `sensor_msgs/msg/Image`, encoding 32FC1, one pixel per cell
of the layout's grid (`feltwise.layout.grid_values`), NaN where no unit
sits: RViz and Foxglove draw it as it is.

The builders take a `Kit`: how to make a message of a type by its name,
and how to hand over float64 and byte arrays. rclpy's message classes and
rosbags' type store each have one (`rclpy_kit`, `rosbags_kit`).
"""

from __future__ import annotations

import array
import functools
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

SAMPLE_TYPE = "sensor_msgs/msg/JointState"
IMAGE_TYPE = "sensor_msgs/msg/Image"
DIAGNOSTICS_TYPE = "diagnostic_msgs/msg/DiagnosticArray"
IMAGE_ENCODING = "32FC1"


CALIBRATED = "out"  # the names of calibrated outputs: out_0, out_1, ...
RAW = "ch"  # and of raw channels


@functools.lru_cache(maxsize=16)
def value_names(prefix: str, count: int) -> list[str]:
    """prefix_0 ... prefix_{count-1} (shared: not to be changed)."""
    return [f"{prefix}_{i}" for i in range(count)]


@dataclass(frozen=True)
class Kit:
    make: Callable[..., Any]  # make(type name, /, **fields) -> message
    floats: Callable[[np.ndarray], Any]  # float64 sequence field
    octets: Callable[[bytes], Any]  # uint8 sequence field


def rclpy_kit() -> Kit:
    from importlib import import_module

    classes: dict[str, Any] = {}

    def make(type_name: str, /, **fields: Any) -> Any:
        cls = classes.get(type_name)
        if cls is None:
            package, kind, short = type_name.split("/")
            cls = classes[type_name] = getattr(import_module(f"{package}.{kind}"), short)
        return cls(**fields)

    def floats(values: np.ndarray) -> Any:
        out = array.array("d")
        out.frombytes(np.ascontiguousarray(values, dtype=np.float64).tobytes())
        return out

    return Kit(make, floats, bytes)


def rosbags_kit(typestore: Any) -> Kit:
    def make(type_name: str, /, **fields: Any) -> Any:
        return typestore.types[type_name](**fields)

    def floats(values: np.ndarray) -> Any:
        return np.ascontiguousarray(values, dtype=np.float64)

    def octets(data: bytes) -> Any:
        return np.frombuffer(data, dtype=np.uint8)

    return Kit(make, floats, octets)


def header(kit: Kit, stamp_ns: int, frame_id: str) -> Any:
    sec, nanosec = divmod(int(stamp_ns), 1_000_000_000)
    stamp = kit.make("builtin_interfaces/msg/Time", sec=sec, nanosec=nanosec)
    return kit.make("std_msgs/msg/Header", stamp=stamp, frame_id=frame_id)


def values_message(kit: Kit, prefix: str, values: np.ndarray, stamp_ns: int, frame_id: str) -> Any:
    """A JointState of `values`, named prefix_0, prefix_1, ..."""
    empty = kit.floats(np.empty(0))
    return kit.make(
        SAMPLE_TYPE,
        header=header(kit, stamp_ns, frame_id),
        name=value_names(prefix, len(values)),
        position=kit.floats(values),
        velocity=empty,
        effort=empty,
    )


def image_message(kit: Kit, grid: np.ndarray, stamp_ns: int, frame_id: str) -> Any:
    """A rows x columns grid as a 32FC1 Image, little-endian."""
    pixels = np.ascontiguousarray(grid, dtype="<f4")
    rows, columns = pixels.shape
    return kit.make(
        IMAGE_TYPE,
        header=header(kit, stamp_ns, frame_id),
        height=rows,
        width=columns,
        encoding=IMAGE_ENCODING,
        is_bigendian=0,
        step=4 * columns,
        data=kit.octets(pixels.tobytes()),
    )


def map_grid(layout: Any, sample: Any) -> np.ndarray:
    """The sample's map on the layout's grid: calibrated values, or raw ones without a parameter file."""
    from ..layout import grid_values

    if len(sample.calibrated):
        return grid_values(layout, sample.calibrated)[0]
    return grid_values(layout, sample.raw, raw=True)[0]
