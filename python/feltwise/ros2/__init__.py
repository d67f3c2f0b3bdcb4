"""A sensor in a ROS 2 graph: the node of `feltwise ros2` and the messages it (and a rosbag2 recording) carries.

`messages` turns samples into standard ROS 2 messages, with the message
classes of rclpy or of rosbags' type store alike; `node` is the node. rclpy
is imported only by `node`, when a node is made: it comes from a ROS 2
installation (Humble or newer, sourced) or from PyPI's ROS 2 wheels
(`pip install 'feltwise-comm[ros2]'`, CPython 3.11).
"""

MISSING_RCLPY = (
    "the ROS 2 node needs rclpy: source a ROS 2 installation (Humble or newer), "
    "or pip install 'feltwise-comm[ros2]' (PyPI's ROS 2 wheels, CPython 3.11)"
)


class RclpyMissingError(ImportError):
    """rclpy (or a standard message package the node publishes) cannot be imported."""


def import_rclpy():
    """rclpy, or RclpyMissingError saying where to get it."""
    try:
        import rclpy
        from diagnostic_msgs.msg import DiagnosticArray  # noqa: F401
        from sensor_msgs.msg import Image, JointState  # noqa: F401
        from std_srvs.srv import Trigger  # noqa: F401
    except ImportError as error:
        raise RclpyMissingError(f"{MISSING_RCLPY} ({error})") from None
    return rclpy
