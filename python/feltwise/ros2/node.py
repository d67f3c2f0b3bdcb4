"""The ROS 2 node of one sensor: `feltwise_NAME`, its topics under /feltwise/NAME/.

    /feltwise/NAME/values   sensor_msgs/JointState: every sample's calibrated values (out_0, ...)
    /feltwise/NAME/raw      sensor_msgs/JointState: its raw values (ch_0, ...), with `raw` on
    /feltwise/NAME/map      sensor_msgs/Image 32FC1: the map on the layout's grid, `image_rate` Hz
    /feltwise/NAME/zero     std_srvs/Trigger: zero the sensor (it must be untouched)
    /diagnostics            diagnostic_msgs/DiagnosticArray, 1 Hz: rate, dropped, gaps, connected

A sample's stamp is its time stamp (the monotonic clock of the acquisition
thread) moved onto the node's ROS clock by one offset measured at the start,
so stamps keep the sensor's order and spacing. Without a parameter file the
values are the raw ones and the map shows the raw channels.

The caller's thread reads the sensor and calls `publish()` for each sample
and `serve()` between them; a zero asked for over the service runs there,
in `serve()`, as every other call on the sensor. The executor (service,
diagnostics timer) spins in a thread of its own.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

from . import import_rclpy, messages

ZERO_TIMEOUT_S = 10.0
DIAGNOSTICS_PERIOD_S = 1.0
RELIABLE_DEPTH = 1000  # a second at 1 kHz: a reliable subscriber that falls behind loses nothing for that long


@dataclass
class NodeSettings:
    frame_id: str = "feltwise"
    raw: bool = False  # publish raw values too
    reliable: bool = False  # reliable QoS instead of the sensor-data profile
    depth: int = 0  # history depth; 0: the profile's (5 best effort, RELIABLE_DEPTH reliable)
    image_rate: float = 30.0  # maps per second; 0: one per sample


def qos_profile(settings: NodeSettings) -> Any:
    from rclpy.qos import HistoryPolicy, QoSProfile, ReliabilityPolicy, qos_profile_sensor_data

    if not settings.reliable:
        profile = qos_profile_sensor_data
        return (
            profile
            if not settings.depth
            else QoSProfile(
                history=HistoryPolicy.KEEP_LAST,
                depth=settings.depth,
                reliability=profile.reliability,
                durability=profile.durability,
            )
        )
    return QoSProfile(
        history=HistoryPolicy.KEEP_LAST,
        depth=settings.depth or RELIABLE_DEPTH,
        reliability=ReliabilityPolicy.RELIABLE,
    )


def _no_signal_handlers() -> dict[str, Any]:
    # The command's own handlers end it as Ctrl-C does (cli/signals.py).
    try:
        from rclpy.signals import SignalHandlerOptions
    except ImportError:  # before Humble's
        return {}
    return {"signal_handler_options": SignalHandlerOptions.NO}


class Counters:
    """What the diagnostics report, counted by the publishing thread."""

    def __init__(self) -> None:
        self.published = 0
        self.dropped = 0
        self.gaps = 0  # sequence jumps
        self.missed = 0  # frames in them
        self.reconnects = 0
        self.last_seq: Optional[int] = None
        self.connected = True

    def count(self, sample: Any) -> None:
        if self.last_seq is not None and sample.seq != self.last_seq + 1:
            self.gaps += 1
            self.missed += max(0, sample.seq - self.last_seq - 1)
        self.last_seq = sample.seq
        self.dropped = sample.dropped
        self.reconnects = getattr(sample, "reconnects", 0)
        self.published += 1


class SensorNode:
    """`feltwise_<name>` publishing one sensor, made in two steps: the node
    with its parameters (`parameters`, declared with the caller's values as
    defaults, which the --ros-args in `ros_args` override: a launch file's
    parameters), then `start(settings, layout, zero, hardware_id)` once the
    sensor is open: its publishers, service and diagnostics. `zero()` zeroes
    the sensor (raising with the reason); `hardware_id` names the sensor in
    the diagnostics."""

    def __init__(self, name: str, defaults: dict[str, Any], ros_args: Optional[list[str]] = None) -> None:
        rclpy = import_rclpy()

        self.rclpy, self.name = rclpy, name
        self.context = rclpy.context.Context()
        rclpy.init(args=["feltwise", *(ros_args or [])], context=self.context, **_no_signal_handlers())
        self._spinner: Optional[threading.Thread] = None
        try:
            self.node = rclpy.create_node(f"feltwise_{name}", context=self.context)
            self.parameters = {key: self.node.declare_parameter(key, value).value for key, value in defaults.items()}
        except BaseException:
            rclpy.try_shutdown(context=self.context)
            raise

    def start(self, settings: NodeSettings, layout: Any, zero: Callable[[], None], hardware_id: str = "") -> None:
        from rclpy.executors import SingleThreadedExecutor
        from std_srvs.srv import Trigger

        self.settings, self.layout, self._zero, self.hardware_id = settings, layout, zero, hardware_id
        self.kit = messages.rclpy_kit()
        self._make_publishers()
        self.counters = Counters()
        self._offset_ns = self.node.get_clock().now().nanoseconds - time.monotonic_ns()
        self._next_image_ns = 0
        self._window = (time.monotonic(), 0)
        self._previous = (0, 0, 0)
        self._zero_request: Optional[dict[str, Any]] = None
        self._zero_lock = threading.Lock()
        self.zeroed = 0
        self.node.create_service(Trigger, f"{self.topic}/zero", self._on_zero)
        self.node.create_timer(DIAGNOSTICS_PERIOD_S, self._send_diagnostics)
        self.executor = SingleThreadedExecutor(context=self.context)
        self.executor.add_node(self.node)
        self._spinner = threading.Thread(target=self._spin, name=f"feltwise_{self.name} executor", daemon=True)
        self._spinner.start()

    @property
    def topic(self) -> str:
        return f"/feltwise/{self.name}"

    def _make_publishers(self) -> None:
        from diagnostic_msgs.msg import DiagnosticArray
        from sensor_msgs.msg import Image, JointState

        qos = qos_profile(self.settings)
        self.values_pub = self.node.create_publisher(JointState, f"{self.topic}/values", qos)
        self.raw_pub = self.node.create_publisher(JointState, f"{self.topic}/raw", qos) if self.settings.raw else None
        self.map_pub = self.node.create_publisher(Image, f"{self.topic}/map", qos)
        self.diagnostics_pub = self.node.create_publisher(DiagnosticArray, "/diagnostics", 10)

    def _spin(self) -> None:
        try:
            self.executor.spin()
        except Exception:  # the context shut down under it (close())
            pass

    def stamp_ns(self, t_host_ns: int) -> int:
        """A sample's time stamp on the node's ROS clock."""
        return t_host_ns + self._offset_ns

    def publish(self, sample: Any) -> None:
        stamp = self.stamp_ns(sample.t_host_ns)
        frame = self.settings.frame_id
        calibrated = len(sample.calibrated) > 0
        values, prefix = (sample.calibrated, messages.CALIBRATED) if calibrated else (sample.raw, messages.RAW)
        self.values_pub.publish(messages.values_message(self.kit, prefix, values, stamp, frame))
        if self.raw_pub is not None:
            self.raw_pub.publish(messages.values_message(self.kit, messages.RAW, sample.raw, stamp, frame))
        if sample.t_host_ns >= self._next_image_ns:
            rate = self.settings.image_rate
            self._next_image_ns = sample.t_host_ns + (int(1e9 / rate) if rate > 0 else 0)
            grid = messages.map_grid(self.layout, sample)
            self.map_pub.publish(messages.image_message(self.kit, grid, stamp, frame))
        self.counters.count(sample)

    def set_connected(self, connected: bool) -> None:
        self.counters.connected = connected

    def serve(self) -> None:
        """Runs a zero the service asked for (in the caller's thread, as every call on the sensor)."""
        with self._zero_lock:
            request, self._zero_request = self._zero_request, None
        if request is None:
            return
        try:
            self._zero()
            request["message"] = "zeroed"
            request["success"] = True
            self.zeroed += 1
        except Exception as error:  # the sensor's reason goes back to the caller
            request["message"] = f"zeroing failed: {error}"
        request["done"].set()

    def _on_zero(self, request: Any, response: Any) -> Any:
        pending = {"done": threading.Event(), "success": False, "message": ""}
        with self._zero_lock:
            self._zero_request = pending
        if pending["done"].wait(ZERO_TIMEOUT_S):
            response.success, response.message = pending["success"], pending["message"]
        else:
            with self._zero_lock:
                if self._zero_request is pending:
                    self._zero_request = None
            response.success, response.message = False, f"zeroing failed: no answer within {ZERO_TIMEOUT_S:g} s"
        return response

    def _send_diagnostics(self) -> None:
        from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue

        c = self.counters
        now = time.monotonic()
        start, published = self._window
        rate = (c.published - published) / max(now - start, 1e-9)
        self._window = (now, c.published)
        previous = self._previous
        self._previous = (c.gaps, c.dropped, c.reconnects)
        if not c.connected:
            level, message = DiagnosticStatus.ERROR, "sensor lost (unplugged?); waiting for it to come back"
        elif c.published == published:
            level, message = DiagnosticStatus.WARN, "no samples in the last second"
        elif self._previous[2] > previous[2]:
            level, message = DiagnosticStatus.WARN, "sensor back after an unplug: a gap in the samples"
        elif self._previous != previous:
            level, message = DiagnosticStatus.WARN, "samples lost in the last second"
        else:
            level, message = DiagnosticStatus.OK, "streaming"
        values = {
            "rate": f"{rate:.1f}",
            "published": c.published,
            "dropped": c.dropped,
            "sequence gaps": c.gaps,
            "samples in gaps": c.missed,
            "reconnects": c.reconnects,
            "connected": str(c.connected).lower(),
            "zeroed": self.zeroed,
        }
        status = DiagnosticStatus(
            level=level,
            name=f"feltwise_{self.name}: sensor",
            message=message,
            hardware_id=self.hardware_id,
            values=[KeyValue(key=key, value=str(value)) for key, value in values.items()],
        )
        array = DiagnosticArray(status=[status])
        array.header.stamp = self.node.get_clock().now().to_msg()
        self.diagnostics_pub.publish(array)

    def close(self) -> None:
        self.rclpy.try_shutdown(context=self.context)
        if self._spinner is not None:
            self._spinner.join(timeout=5.0)
            self.executor.shutdown(timeout_sec=1.0)
        self.node.destroy_node()
