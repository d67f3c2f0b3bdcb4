"""Opening a sensor for the commands: a port, or a simulated sensor started on the spot."""

import contextlib
import os

from .. import protocols
from ..layout import bare_layout
from ..sensor_setup import DEFAULT_PROTOCOL, SensorSetup
from .arguments import library_name
from .errors import UserError


def add_connection_arguments(parser, registers=False, zenoh=False, layout=True):
    """port, --match, --simulate, --params, --protocol, --reconnect: the same for every command that
    connects (registers: no --reconnect); with zenoh, a zenoh:NAME source and the session's endpoints too;
    with layout (not for registers), --layout and --unit."""
    parser.add_argument(
        "port",
        nargs="?",
        help="serial port of the sensor (e.g. /dev/ttyUSB0, COM3)"
        + (", or zenoh:NAME for a sensor published with `feltwise publish`" if zenoh else ""),
    )
    parser.add_argument(
        "--match",
        metavar="VID:PID[:SERIAL]",
        help="the USB serial adapter with this vendor and product id (hexadecimal) and "
        "serial number, instead of a port",
    )
    parser.add_argument(
        "--simulate",
        action="store_true",
        help="start a simulated sensor with the same parameter file (or protocol) instead",
    )
    if not registers:
        parser.add_argument(
            "--reconnect",
            action="store_true",
            help="after an unplug, wait for the sensor to come back (the same port name, or the --match "
            "adapter's stable name) and go on: one line per unplug and return, a gap in the samples "
            "(a recording marks it in its reconnects count)",
        )
    if zenoh:
        add_zenoh_arguments(parser)
    if layout and not registers:
        add_layout_arguments(parser)
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--params", metavar="FILE", help="sensor parameter file (.msgpack)")
    source.add_argument(
        "--protocol",
        metavar="N",
        type=int,
        choices=protocols.versions(),
        help=f"bare protocol version {protocols.span()}, without calibration"
        + ("" if registers else " (raw samples only)"),
    )


def add_layout_arguments(parser):
    group = parser.add_argument_group(
        "layout",
        "Where the units sit on the skin and what their values are in. Without --layout, "
        f"PARAMS{SIDE_FILE_SUFFIX} beside the parameter file is read if it is there (docs/foxglove.md, Layout).",
    )
    group.add_argument(
        "--layout",
        metavar="ROWSxCOLUMNS|FILE",
        help="a grid the units fill in the order of their outputs (e.g. 4x8), or a JSON file that places "
        "each output at its row, column and axis",
    )
    group.add_argument("--unit", metavar="NAME", help="the unit of the calibrated values (e.g. N, kPa)")


# The layout file found beside a parameter file: skin.msgpack -> skin.layout.json.
SIDE_FILE_SUFFIX = ".layout.json"


def side_layout_file(params):
    """The layout file beside a parameter file, whether or not it exists."""
    return os.path.splitext(params)[0] + SIDE_FILE_SUFFIX


def placed(args, layout):
    """The layout with the placement and unit the arguments give: --layout,
    else the side file of --params if there is one; --unit over the file's."""
    from ..layout import LayoutError, read_placement, with_placement

    if not hasattr(args, "unit"):  # a command without the layout options
        return layout
    given = args.layout
    params = getattr(args, "params", None)
    if given is None and params is not None and os.path.isfile(side_layout_file(params)):
        given = side_layout_file(params)
    try:
        placement = read_placement(given) if given is not None else None
        return with_placement(layout, placement, args.unit)
    except LayoutError as error:
        raise UserError(str(error)) from None


def add_zenoh_arguments(parser):
    group = parser.add_argument_group(
        "Zenoh session (zenoh:NAME sources, publish)",
        "Without these, a session reaches this machine only (docs/fleet.md, Reach).",
    )
    group.add_argument(
        "--connect",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="connect to this Zenoh endpoint, e.g. tcp/router.lab:7447 (repeatable; turns multicast scouting off)",
    )
    group.add_argument(
        "--listen",
        action="append",
        default=[],
        metavar="ENDPOINT",
        help="listen on this Zenoh endpoint, e.g. tcp/0.0.0.0:7447 for every interface (repeatable; "
        "anyone who reaches it can subscribe and query)",
    )
    group.add_argument(
        "--lan",
        action="store_true",
        help="reach the LAN: listen on every interface and find (and answer) peers by multicast scouting",
    )
    group.add_argument(
        "--mode",
        choices=("peer", "client"),
        help="Zenoh mode: client (everything through what --connect names; the default with --connect "
        "alone) or peer (the default otherwise; peers behind a router need a --listen the others reach)",
    )
    group.add_argument(
        "--zenoh-config",
        metavar="FILE",
        help="a Zenoh configuration file (JSON5: user and password, TLS certificates, access control) "
        "that the options above are set on (default: $ZENOH_CONFIG)",
    )


def zenoh_reach(args):
    """The `Reach` of the Zenoh options add_zenoh_arguments added."""
    from ..zenoh_session import Reach

    return Reach.of(args.connect, args.listen, args.lan, args.mode, args.zenoh_config)


class Connection:
    """A connected `feltwise.Sensor`, the setup it was opened with, its layout,
    its parameter file as the library read it (None without one), and the
    simulator behind it if any."""

    def __init__(self, sensor, setup, layout, parameters=None, simulator=None):
        self.sensor, self.setup, self.layout = sensor, setup, layout
        self.parameters, self.simulator = parameters, simulator

    @property
    def port(self):
        return self.setup.port

    @property
    def version(self):
        return self.layout.version


def parameters_and_layout(args):
    """The parameter file the arguments name, read by the library's loader
    (which refuses what the sensor's would, with the cause), and the layout;
    without one, None and the bare protocol's layout."""
    if args.params is not None:
        from ..paramfile import open_parameter_file

        parameters = open_parameter_file(library_name(args.params, "parameter file"))
        return parameters, placed(args, parameters.layout)
    return None, placed(args, bare_layout(DEFAULT_PROTOCOL if args.protocol is None else args.protocol))


def _extension_module():
    try:
        from .. import sensor  # noqa: F401 (the extension module and numpy)
    except ImportError as error:
        raise UserError(
            f"the extension module feltwise._native is not installed ({error}); run pip install ."
        ) from None


@contextlib.contextmanager
def connect(args, simulator_rate=None, queue=0):
    """The sensor the arguments name, read through `feltwise.Sensor` with a
    queue of `queue` samples (0: the newest sample only)."""
    _extension_module()
    parameters, layout = parameters_and_layout(args)
    match = getattr(args, "match", None)
    reconnect = getattr(args, "reconnect", False)
    if args.simulate + (args.port is not None) + (match is not None) != 1:
        raise UserError("give one of a port, --match VID:PID[:SERIAL] or --simulate")
    if match is not None:
        args.port = matched_port(match, reconnect)
    elif args.port is not None and reconnect:
        suggest_stable_name(args.port)
    if args.port is not None:
        library_name(args.port, "port")

    simulator = None
    try:
        port = args.port
        if args.simulate:
            from ..sim import DEFAULT_RATE, SimulatedSensor

            simulator = SimulatedSensor(
                args.params, version=args.protocol, rate=DEFAULT_RATE if simulator_rate is None else simulator_rate
            )
            port = simulator.start()
        setup = SensorSetup(port, args.params, None if args.params is not None else args.protocol)
        # A port that does not open says why in its PortError (busy, missing,
        # permission denied), shown as it is.
        with setup.open(queue=queue, reconnect=reconnect) as sensor:
            yield Connection(sensor, setup, layout, parameters, simulator)
    finally:
        # The library takes the simulator's going away as an unplugged adapter:
        # its acquisition thread releases the port, nothing is printed.
        if simulator is not None:
            simulator.stop()


def matched_port(match, reconnect):
    """The port --match names: the adapter's /dev/serial/by-id name when it
    has one, which stays the same when the adapter is plugged in again (and
    gets another ttyUSB number); with --reconnect, a line says which."""
    import sys

    from ..ports import find_port

    found = find_port(match)
    if reconnect:
        if found.by_id:
            print(
                f"--match {match}: {found.by_id}, a name that follows the adapter when it is plugged in again",
                file=sys.stderr,
            )
        else:
            print(
                f"--match {match}: {found.device}; it has no stable name (/dev/serial/by-id), so it comes back "
                "only under the same name",
                file=sys.stderr,
            )
    return found.by_id or found.device


def suggest_stable_name(port):
    import os
    import sys

    from ..ports import by_id_names

    stable = by_id_names().get(os.path.realpath(port))
    if stable and os.path.realpath(port) == os.path.abspath(port):
        print(f"--reconnect: {port} may come back under another name; {stable} follows the adapter", file=sys.stderr)


def zero(connection):
    try:
        connection.sensor.zero()
    except RuntimeError as error:
        raise UserError(f"zeroing failed: {error} (is the sensor streaming at 20 samples/s or more?)") from None


def parameters_summary(parameters):
    """The one-line summary of a parameter file for metadata; "loads" for records
    the library takes that the tools cannot lay out."""
    from ..errors import ParameterFileError

    try:
        return parameters.summary
    except (ParameterFileError, KeyError, TypeError, AttributeError):
        return "loads"
