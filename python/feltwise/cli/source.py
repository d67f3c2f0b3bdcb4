"""Where stream, view and record take their samples from: a sensor here, or one published over Zenoh.

`open_source(args)` gives a `Source` either way: `read(timeout_s)` returns the
next `Sample` (feltwise.Sensor's, which reads a local sensor) or None,
`read_batch(timeout_s, most, least)` the samples queued as one `Batch` or None,
`zero()` zeroes the sensor (over Zenoh, a query to the publisher), `layout`
places the units on a grid, `describe` names it, `parameters` is the local
parameter file as the library read it (paramfile.ParameterFile, or None).
A zenoh:NAME source learns its protocol, counts and parameter file from the
publisher's info, so it needs no --params (one given here is used instead).
"""

import contextlib
import sys
import time

from ..layout import bare_layout
from ..paramfile import layout_from_content
from ..remote import MAX_COUNT, SCHEME
from .connection import connect, placed, zero
from .errors import UserError

# Frames kept for a reader that sees every one (stream, record): a second at
# 1,000 frames/s, so a slow disk or a busy machine costs nothing.
QUEUE = 1024


class LocalSource:
    remote = False

    def __init__(self, connection):
        self.connection = connection
        self.layout, self.version = connection.layout, connection.version
        self.describe = connection.port
        self.parameters = connection.parameters

    def read(self, timeout_s):
        """The next sample (the oldest queued one), or None after timeout_s
        seconds without one, or once the port is lost (`connected()` says so)."""
        from ..errors import DeviceLostError

        try:
            return next(self.connection.sensor.samples(timeout_s), None)
        except DeviceLostError:
            return None

    def read_batch(self, timeout_s, most=None, least=1):
        """The queued samples, oldest first, as one Batch of at most `most`
        rows, once `least` are there or after timeout_s seconds; None when
        none came or once the port is lost (`connected()` says so)."""
        from ..errors import DeviceLostError

        try:
            batch = self.connection.sensor.read_batch(most, timeout_s, min_samples=least)
        except DeviceLostError:
            return None
        return batch if len(batch) else None

    def zero(self):
        zero(self.connection)

    def connected(self):
        return self.connection.sensor.is_connected()

    def reconnects(self):
        return self.connection.sensor.reconnects


class RemoteSource:
    """A sensor published over Zenoh. Not connected while its publisher is
    away (Watch says so, and ends the command or, with --reconnect, waits);
    a publisher's return counts as a reconnect. Says in one line when it
    skips payloads that are not samples."""

    remote = True

    def __init__(self, subscription, info, layout):
        self.subscription, self.info, self.layout = subscription, info, layout
        self.version = info.get("protocol")
        self.describe = f"{SCHEME}{subscription.name}"
        self.parameters = None
        self._skipped = 0

    def read(self, timeout_s):
        from ..errors import PublisherLostError

        try:
            sample = self.subscription.read(timeout_s)
        except PublisherLostError:
            return None  # not connected(): Watch says so
        self._say_skips()
        return sample

    def read_batch(self, timeout_s, most=None, least=1):
        """As LocalSource.read_batch; a batch is whatever has arrived (`least` does not apply)."""
        from ..errors import PublisherLostError

        try:
            batch = self.subscription.read_batch(most, timeout_s)
        except PublisherLostError:
            return None
        self._say_skips()
        return batch if len(batch) else None

    def _say_skips(self):
        if self.subscription.skipped and not self._skipped:
            print(
                f"{self.describe}: skipping payloads on feltwise/{self.subscription.name}/sample that are not samples "
                f"({self.subscription.refusal})",
                file=sys.stderr,
            )
        self._skipped = self.subscription.skipped

    def zero(self):
        self.subscription.zero()

    def connected(self):
        return self.subscription.present or self.subscription.losses == 0

    def reconnects(self):
        return self.subscription.returns


def layout_from_info(info, name="the publisher"):
    """The grid of a published sensor, from its (checked) info: one line for
    anything in it that is not a parameter file, and no work that grows with
    the numbers it claims."""
    import msgpack

    from .. import sensor_types
    from ..remote import parameter_bytes

    data = parameter_bytes(name, info)
    if data is None:
        return bare_layout(info["protocol"], info["raw_channels"])
    source = f"zenoh:{name}'s parameter file"
    try:
        content = msgpack.unpackb(data, strict_map_key=False)
    except Exception as error:  # msgpack's own errors, of several kinds
        raise UserError(f"{source} is not msgpack ({error})") from None
    layout = layout_from_content(content, source, sensor_types.codes())
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
    from ..remote import Subscription
    from .connection import zenoh_reach

    name = port[len(SCHEME) :]
    try:
        name.encode("utf-8")  # Zenoh keys are UTF-8
    except UnicodeEncodeError:
        shown = name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        raise UserError(f"{SCHEME}{shown} is not a sensor name (names are UTF-8 text)") from None
    subscription = Subscription(name, zenoh_reach(args), reconnect=getattr(args, "reconnect", False))
    try:
        info = subscription.wait_for_info()
        if args.params is not None:
            from ..paramfile import open_parameter_file

            layout = open_parameter_file(args.params).layout
        else:
            layout = layout_from_info(info, name)
        yield RemoteSource(subscription, info, placed(args, layout))
    finally:
        subscription.close()
        if subscription.skipped:
            print(f"{SCHEME}{name}: skipped {subscription.skipped} payloads that were not samples", file=sys.stderr)


def lost(source):
    """The line that says a source is gone."""
    if source.remote:
        return f"{source.describe}: the publisher went away (its Zenoh session ended or is unreachable)"
    return f"lost the sensor on {source.describe} (unplugged?)"


class Watch:
    """What a command says about its sensor while it reads: one line when the
    sensor is unplugged and one when it is back (`reconnect`; without it the
    unplug ends the command once the samples before it are taken), and, with
    a `limit`, the end after that many seconds without a sample (with
    `reconnect`: one line, and the command waits on).

    Call `sample()` for every sample and `idle()` when a read found none."""

    POLL_S = 0.1

    def __init__(self, source, reconnect=False, limit=None):
        self.source, self.reconnect, self.limit = source, reconnect, limit
        self.last = time.monotonic()
        self.lost_at = None
        self.silent = False
        self.reconnects = source.reconnects()
        self._next_poll = 0.0

    def sample(self):
        now = time.monotonic()
        if self.silent:
            self._say(f"samples from {self.source.describe} again after {now - self.last:.1f} s")
            self.silent = False
        self.last = now
        if self.reconnect and now >= self._next_poll:
            self._poll(now)

    def idle(self):
        now = time.monotonic()
        self._poll(now)
        if self.lost_at is not None or self.limit is None or now - self.last <= self.limit:
            return
        if not self.reconnect:
            raise UserError(
                f"no samples from {self.source.describe} for {self.limit:g} s"
                + (f" (is it protocol {self.source.version}?)" if not self.source.remote else "")
            )
        if not self.silent:
            self._say(f"no samples from {self.source.describe} for {self.limit:g} s; waiting for them (--reconnect)")
            self.silent = True

    def _poll(self, now):
        self._next_poll = now + self.POLL_S
        count = self.source.reconnects()
        # A local sensor counts its returns; a remote one is back when it is there again.
        if count > self.reconnects or (self.source.remote and self.lost_at is not None and self.source.connected()):
            if self.lost_at is None:  # unplugged and back between two looks
                self._say(lost(self.source))
            away = "" if self.lost_at is None else f" after {now - self.lost_at:.1f} s"
            again = f" (reconnect {count})" if count else ""
            self._say(f"the sensor on {self.source.describe} is back{away}{again}")
            self.reconnects, self.lost_at, self.last, self.silent = count, None, now, False
        elif self.lost_at is None and not self.source.connected():
            if not self.reconnect:
                raise UserError(lost(self.source))
            self._say(f"{lost(self.source)}; waiting for it to come back")
            self.lost_at = now

    @staticmethod
    def _say(line):
        print(line, file=sys.stderr, flush=True)
