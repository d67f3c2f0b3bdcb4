"""`feltwise ros2`: one sensor as a ROS 2 node, feltwise_NAME, its topics under /feltwise/NAME/.

Every option is also a ROS parameter of the node (--ros-args -p port:=...,
--params-file FILE: what a launch file hands over), which wins over the
option. The node, its topics and messages are in feltwise/ros2/;
docs/ros2.md tells how to start it and what it publishes.
"""

import math
import re
import sys
import time

from ..arguments import count, non_negative, positive, rate_value
from ..connection import add_connection_arguments
from ..errors import UserError

READ_TIMEOUT_S = 0.1  # how long a zero asked for over the service can wait while the sensor is silent
CONNECTED_POLL_S = 0.2
NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*\Z")


def split_ros_args(argv):
    """(the command's own arguments, the --ros-args ... [--] sections, each with its --ros-args)."""
    own, ros, inside = [], [], False
    for arg in argv:
        if arg == "--ros-args":
            inside = True
            ros.append(arg)
        elif inside and arg == "--":
            inside = False
        else:
            (ros if inside else own).append(arg)
    return own, ros


def parse_args(argv):
    own, ros = split_ros_args(argv)
    if not ros:
        return None  # the common parser's
    from .. import build_parser

    args = build_parser().parse_args(["ros2", *own])
    args.ros_args = ros
    return args


def add_parser(subparsers):
    ros2 = subparsers.add_parser(
        "ros2",
        help="run a sensor as a ROS 2 node (needs rclpy)",
        description="Publish a sensor as the ROS 2 node feltwise_NAME: stamped samples on "
        "/feltwise/NAME/values (sensor_msgs/JointState; raw ones on /feltwise/NAME/raw with --raw), "
        "the map on /feltwise/NAME/map (sensor_msgs/Image 32FC1), /diagnostics at 1 Hz and the "
        "service /feltwise/NAME/zero (std_srvs/Trigger). Every option is also a ROS parameter "
        "(--ros-args -p NAME:=VALUE, or a launch file's parameters), which wins. docs/ros2.md has more.",
    )
    add_connection_arguments(ros2)
    ros2.add_argument("--name", required=True, help="the sensor's name: node feltwise_NAME, topics /feltwise/NAME/")
    ros2.add_argument("--frame-id", default="feltwise", help="the frame_id of every header (default: feltwise)")
    ros2.add_argument("--raw", action="store_true", help="publish raw values too, on /feltwise/NAME/raw")
    ros2.add_argument(
        "--reliable", action="store_true", help="reliable QoS (default: the sensor-data profile, best effort)"
    )
    ros2.add_argument(
        "--depth",
        type=lambda text: count(text) if text != "0" else 0,
        default=0,
        metavar="N",
        help="QoS history depth (default: the profile's)",
    )
    ros2.add_argument(
        "--image-rate", type=non_negative, default=30.0, metavar="HZ", help="maps per second (0: every sample)"
    )
    ros2.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    ros2.add_argument("--duration", type=positive, metavar="S", help="stop after S seconds")
    ros2.add_argument(
        "--rate", type=rate_value, metavar="HZ", help="with --simulate: the simulated sensor's samples per second"
    )


# option -> ROS parameter, of the type of its empty value
PARAMETERS = {
    "port": "",
    "match": "",
    "params": "",
    "protocol": 0,
    "simulate": False,
    "reconnect": False,
    "frame_id": "",
    "raw": False,
    "reliable": False,
    "depth": 0,
    "image_rate": 0.0,
    "zero": False,
    "duration": 0.0,
    "rate": 0.0,
}


OPTIONAL = ("port", "match", "params", "protocol", "frame_id", "duration", "rate")


def apply_parameters(args, values):
    """The node's parameters back into the options ("" or 0 of an OPTIONAL one: not given)."""
    for key, empty in PARAMETERS.items():
        value = values[key]
        setattr(args, key, None if key in OPTIONAL and value == empty else value)


def check_parameters(args):
    """What a ROS parameter can say that the options' own parsing would have refused."""
    from ... import protocols

    if args.protocol is not None and args.params is not None:
        raise UserError("give the parameter file or the protocol, not both")
    if args.protocol is not None and args.protocol not in protocols.versions():
        raise UserError(f"protocol {args.protocol} is not one of {protocols.span()}")
    for key in ("depth", "image_rate", "rate", "duration"):
        value = getattr(args, key)
        if value is not None and not (value >= 0 and math.isfinite(value)):
            raise UserError(f"{key} must be a number 0 or more, not {value}")


def start_node(args):
    from ...ros2 import RclpyMissingError

    defaults = {key: type(empty)(getattr(args, key) or empty) for key, empty in PARAMETERS.items()}
    try:
        from ...ros2.node import SensorNode

        return SensorNode(args.name, defaults, getattr(args, "ros_args", []))
    except RclpyMissingError as error:
        raise UserError(str(error)) from None
    except Exception as error:  # rclpy's own: bad --ros-args, a parameter of the wrong type
        raise UserError(f"the ROS 2 node did not start: {error}") from None


def run(args):
    from ...ros2.node import NodeSettings
    from ...writers import row_dropped
    from ..connection import connect, zero
    from ..source import QUEUE, LocalSource, Watch

    if not NAME.match(args.name):
        raise UserError(f"{args.name!r} is not a ROS name: a letter, then letters, digits and _")
    node = start_node(args)
    try:
        apply_parameters(args, node.parameters)
        check_parameters(args)
        with connect(args, simulator_rate=args.rate, queue=QUEUE) as connection:
            if args.zero:
                zero(connection)
            settings = NodeSettings(args.frame_id or "feltwise", args.raw, args.reliable, args.depth, args.image_rate)
            node.start(settings, connection.layout, connection.sensor.zero, hardware_id=connection.port)
            print(
                f"publishing {connection.port} as node feltwise_{args.name} on {node.topic}/ "
                f"({'reliable' if args.reliable else 'sensor-data'} QoS); Ctrl-C stops",
                file=sys.stderr,
                flush=True,
            )
            source = LocalSource(connection)
            watch = Watch(source, args.reconnect)
            start = next_poll = time.monotonic()
            try:
                while args.duration is None or time.monotonic() - start < args.duration:
                    # Whatever has queued since the last look, without waiting for more:
                    # one read however far publishing falls behind the sensor's rate.
                    batch = source.read_batch(READ_TIMEOUT_S)
                    if batch is not None:
                        watch.sample()
                        dropped = row_dropped(batch).tolist()
                        for i in range(len(batch)):
                            node.publish(batch.sample(i)._replace(dropped=dropped[i]))
                    else:
                        watch.idle()
                    now = time.monotonic()
                    if now >= next_poll:
                        node.set_connected(source.connected())
                        next_poll = now + CONNECTED_POLL_S
                    node.serve()
            except KeyboardInterrupt:
                pass
            elapsed = time.monotonic() - start
            counters = node.counters
            print(
                f"published {counters.published} samples in {elapsed:.1f} s "
                f"({counters.published / max(elapsed, 1e-9):.1f} samples/s), {counters.gaps} sequence gaps, "
                f"zeroed {node.zeroed} times on request",
                file=sys.stderr,
            )
    finally:
        node.close()
    return 0
