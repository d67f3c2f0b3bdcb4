"""What the ROS 2 tests share: rclpy or a clean skip, a domain of their own, a device that counts, a subscriber.

The tests run where rclpy imports (the ros2 stage's environment, tools/ci.sh);
elsewhere they skip, unless FELTWISE_REQUIRE_ROS2 is set (as the ros2 stage
does), where a missing rclpy fails them instead.
"""

import os
import threading
import time

import pytest

from conftest import binary_frame

# A DDS domain of this test run, reaching this machine only: other runs and
# other programs on the machine neither see nor disturb it.
os.environ.setdefault("ROS_DOMAIN_ID", str(100 + os.getpid() % 100))
os.environ.setdefault("ROS_LOCALHOST_ONLY", "1")
os.environ.setdefault("ROS_AUTOMATIC_DISCOVERY_RANGE", "LOCALHOST")


def require(module):
    """The module, or a skip (a failure where FELTWISE_REQUIRE_ROS2 is set)."""
    try:
        return __import__(module)
    except ImportError as error:
        if os.environ.get("FELTWISE_REQUIRE_ROS2"):
            raise
        pytest.skip(f"{module} is not installed here ({error}): tools/ci.sh ros2 runs this", allow_module_level=True)


class CountingDevice:
    """Plays protocol-1 frames [counter, 1000, 1001, ...] (`width` values) on a
    ReplugPort: `send(count, rate)` sends that many, in 10 ms bursts; `stream(rate)`
    sends on until `pause()`. The counter goes up by one per frame sent."""

    def __init__(self, port, width):
        self.port, self.width, self.counter = port, width, 0
        self.rest = list(range(1000, 1000 + width - 1))
        self.lock = threading.Lock()
        self._thread = None
        self._stop = threading.Event()

    def _frames(self, count):
        frames = []
        for _ in range(count):
            self.counter += 1
            frames.append(binary_frame([self.counter, *self.rest]))
        return b"".join(frames)

    def send(self, count, rate):
        burst = max(1, int(rate / 100))
        start = time.monotonic()
        sent = 0
        while sent < count:
            n = min(burst, count - sent)
            with self.lock:
                self.port.device.send(self._frames(n))
            sent += n
            delay = start + sent / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def stream(self, rate):
        self._stop.clear()

        def run():
            while not self._stop.is_set():
                self.send(max(1, int(rate / 100)), rate)

        self._thread = threading.Thread(target=run, daemon=True)
        self._thread.start()

    def pause(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None


class Subscriber:
    """An rclpy node in this process, taking what the node under test publishes
    into lists, its executor spinning in a thread."""

    def __init__(self, rclpy):
        from rclpy.executors import SingleThreadedExecutor

        self.rclpy = rclpy
        self.context = rclpy.context.Context()
        rclpy.init(context=self.context)
        self.node = rclpy.create_node(f"feltwise_test_{os.getpid()}", context=self.context)
        self.received = {}
        self.lock = threading.Lock()
        self.executor = SingleThreadedExecutor(context=self.context)
        self.executor.add_node(self.node)
        self.thread = threading.Thread(target=self._spin, daemon=True)
        self.thread.start()

    def _spin(self):
        try:
            self.executor.spin()
        except Exception:
            pass

    def subscribe(self, msg_type, topic, qos):
        self.received[topic] = []

        def take(message):
            with self.lock:
                self.received[topic].append(message)

        return self.node.create_subscription(msg_type, topic, take, qos)

    def messages(self, topic):
        with self.lock:
            return list(self.received[topic])

    def call(self, srv_type, name, timeout=30.0):
        client = self.node.create_client(srv_type, name)
        assert client.wait_for_service(timeout_sec=timeout), f"no service {name}"
        future = client.call_async(srv_type.Request())
        done = threading.Event()
        future.add_done_callback(lambda _: done.set())
        assert done.wait(timeout), f"no answer from {name}"
        return future.result()

    def close(self):
        self.rclpy.try_shutdown(context=self.context)
        self.thread.join(timeout=10)
        self.node.destroy_node()


def stamp_ns(header):
    return header.stamp.sec * 1_000_000_000 + header.stamp.nanosec
