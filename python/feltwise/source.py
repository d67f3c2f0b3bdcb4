"""Where stream, view and record take their samples from: a sensor here, or one published over Zenoh.

`open_source(args)` gives a `Source` either way: `read(timeout_s)` returns the
next `Sample` (feltwise.Sensor's, which reads a local sensor) or None,
`zero()` zeroes the sensor (over Zenoh, a query to the publisher), `layout`
places the units on a grid, `describe` names it.
A zenoh:NAME source learns its protocol, counts and parameter file from the
publisher's info, so it needs no --params (one given here is used instead).
"""

import contextlib
import sys
import time

from .connection import connect, zero
from .errors import UserError
from .paramfile import bare_layout, layout_from_content, read_msgpack
from .remote import MAX_COUNT, SCHEME

# Frames kept for a reader that sees every one (stream, record): a second at
# 1,000 frames/s, so a slow disk or a busy machine costs nothing.
QUEUE = 1024


class LocalSource:
    remote = False

    def __init__(self, connection):
        self.connection = connection
        self.layout, self.version = connection.layout, connection.version
        self.describe = connection.port
        self.params_path = None if connection.init_text.isdigit() else connection.init_text

    def read(self, timeout_s):
        """The next sample (the oldest queued one), or None after timeout_s
        seconds without one, or once the port is lost (`connected()` says so)."""
        from .errors import DeviceLostError

        try:
            return next(self.connection.sensor.samples(timeout_s), None)
        except DeviceLostError:
            return None

    def zero(self):
        zero(self.connection)

    def connected(self):
        return self.connection.sensor.is_connected()


class RemoteSource:
    """A sensor published over Zenoh. Says in one line on stderr when its
    publisher goes away and comes back (with --reconnect; without, `read`
    raises PublisherLostError), and what it skipped as not a sample."""

    remote = True

    def __init__(self, subscription, info, layout):
        self.subscription, self.info, self.layout = subscription, info, layout
        self.version = info.get("protocol")
        self.describe = f"{SCHEME}{subscription.name}"
        self.params_path = None
        self._losses = self._returns = self._skipped = 0

    def read(self, timeout_s):
        sample = self.subscription.read(timeout_s)
        self._report()
        return sample

    def _report(self):
        subscription = self.subscription
        if subscription.losses > self._losses:
            self._losses = subscription.losses
            print(f"{self.describe}: the publisher went away; waiting for it to come back", file=sys.stderr)
        if subscription.returns > self._returns:
            self._returns = subscription.returns
            print(f"{self.describe}: a publisher is back", file=sys.stderr)
        if subscription.skipped and not self._skipped:
            print(
                f"{self.describe}: skipping payloads on feltwise/{subscription.name}/sample that are not samples",
                file=sys.stderr,
            )
        self._skipped = subscription.skipped

    def zero(self):
        self.subscription.zero()

    def connected(self):
        return True  # a publisher that went away raises in read, or is waited for

    def waiting(self):
        """Waiting for a publisher that went away to come back (--reconnect)."""
        return self.subscription.losses > self.subscription.returns


def layout_from_info(info, name="the publisher"):
    """The grid of a published sensor, from its (checked) info: one line for
    anything in it that is not a parameter file, and no work that grows with
    the numbers it claims."""
    import msgpack

    from .remote import parameter_bytes

    data = parameter_bytes(name, info)
    if data is None:
        return bare_layout(info["protocol"], info["raw_channels"])
    source = f"zenoh:{name}'s parameter file"
    try:
        content = msgpack.unpackb(data, strict_map_key=False)
    except Exception as error:  # msgpack's own errors, of several kinds
        raise UserError(f"{source} is not msgpack ({error})") from None
    layout = layout_from_content(content, source)
    if max(layout.channel_count, layout.output_count) > MAX_COUNT:
        raise UserError(f"{source} names channels or outputs beyond {MAX_COUNT}")
    return layout


@contextlib.contextmanager
def open_source(args, queue=QUEUE):
    """The source the arguments name; a local sensor keeps `queue` frames
    (0: the newest only, for a view that shows nothing else)."""
    port = args.port or ""
    if not port.startswith(SCHEME):
        with connect(args, queue=queue) as connection:
            yield LocalSource(connection)
        return
    if args.simulate or getattr(args, "match", None):
        raise UserError(f"{port} is a published sensor: --simulate and --match do not apply")
    from .connection import zenoh_reach
    from .remote import Subscription

    name = port[len(SCHEME) :]
    subscription = Subscription(name, zenoh_reach(args), reconnect=getattr(args, "reconnect", False))
    source = None
    try:
        info = subscription.wait_for_info()
        if args.params is not None:
            layout = layout_from_content(read_msgpack(args.params), args.params)
        else:
            layout = layout_from_info(info, name)
        source = RemoteSource(subscription, info, layout)
        yield source
    finally:
        subscription.close()
        if subscription.skipped:
            print(
                f"{SCHEME}{name}: skipped {subscription.skipped} payloads that were not samples",
                file=sys.stderr,
            )


def params_bytes(path):
    if path is None:
        return None
    with open(path, "rb") as file:
        return file.read()


class Silence:
    """Raises after `limit` seconds without a sample (a publisher that went away)."""

    def __init__(self, source, limit=5.0):
        self.source, self.limit = source, limit
        self.last = time.monotonic()

    def sample(self):
        self.last = time.monotonic()

    def check(self):
        if getattr(self.source, "waiting", lambda: False)():
            self.last = time.monotonic()  # a publisher away, waited for (--reconnect)
            return
        if not self.source.connected():
            raise UserError(f"lost the sensor on {self.source.describe} (unplugged?)")
        if time.monotonic() - self.last > self.limit:
            raise UserError(
                f"no samples from {self.source.describe} for {self.limit:g} s"
                + (f" (is it protocol {self.source.version}?)" if not self.source.remote else "")
            )
