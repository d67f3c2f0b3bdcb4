"""Where stream, view and record take their samples from: a sensor here, or one published over Zenoh.

`open_source(args)` gives a `Source` either way: `read(timeout_s)` returns the
next `Sample` (feltwise.Sensor's, which reads a local sensor) or None,
`zero()` zeroes the sensor (over Zenoh, a query to the publisher), `layout`
places the units on a grid, `describe` names it.
A zenoh:NAME source learns its protocol, counts and parameter file from the
publisher's info, so it needs no --params (one given here is used instead).
"""

import base64
import contextlib
import sys
import time

from .connection import connect, zero
from .errors import UserError
from .paramfile import bare_layout, layout_from_content, read_msgpack
from .remote import SCHEME

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

    def reconnects(self):
        return self.connection.sensor.reconnects


class RemoteSource:
    remote = True

    def __init__(self, subscription, info, layout):
        self.subscription, self.info, self.layout = subscription, info, layout
        self.version = info.get("protocol")
        self.describe = f"{SCHEME}{subscription.name}"
        self.params_path = None

    def read(self, timeout_s):
        return self.subscription.read(timeout_s)

    def zero(self):
        self.subscription.zero()

    def connected(self):
        return True  # a publisher that went away is a silence, reported by the caller

    def reconnects(self):
        return 0


def layout_from_info(info):
    params = info.get("parameters") or {}
    if params.get("msgpack_base64"):
        import msgpack

        content = msgpack.unpackb(base64.b64decode(params["msgpack_base64"]), strict_map_key=False)
        return layout_from_content(content, "the publisher's parameter file")
    return bare_layout(info.get("protocol", 1), info.get("raw_channels", 16))


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
    from .remote import subscribe

    name = port[len(SCHEME) :]
    try:
        name.encode("utf-8")  # Zenoh keys are UTF-8
    except UnicodeEncodeError:
        shown = name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        raise UserError(f"{SCHEME}{shown} is not a sensor name (names are UTF-8 text)") from None
    subscription = subscribe(name, args.connect, args.listen)
    try:
        info = subscription.wait_for_info()
        if args.params is not None:
            layout = layout_from_content(read_msgpack(args.params), args.params)
        else:
            layout = layout_from_info(info)
        yield RemoteSource(subscription, info, layout)
    finally:
        subscription.close()


def params_bytes(path):
    from .paramfile import read_file

    return None if path is None else read_file(path)


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
                self._say(f"lost the sensor on {self.source.describe} (unplugged?)")
            away = "" if self.lost_at is None else f" after {now - self.lost_at:.1f} s"
            again = f" (reconnect {count})" if count else ""
            self._say(f"the sensor on {self.source.describe} is back{away}{again}")
            self.reconnects, self.lost_at, self.last, self.silent = count, None, now, False
        elif self.lost_at is None and not self.source.connected():
            if not self.reconnect:
                raise UserError(f"lost the sensor on {self.source.describe} (unplugged?)")
            self._say(f"lost the sensor on {self.source.describe} (unplugged?); waiting for it to come back")
            self.lost_at = now

    @staticmethod
    def _say(line):
        print(line, file=sys.stderr, flush=True)
