"""Sensors over Zenoh: the key layout, the sessions, the publishing side and `subscribe`.

Keys, for a sensor published under NAME:

    feltwise/NAME/sample   put, every sample, the fixed binary payload of payload.py
    feltwise/NAME/info     queryable: JSON with the protocol, channel and output counts,
                           units and the parameter file (summary and bytes)
    feltwise/NAME/zero     queryable: zeroes the sensor, answers {"zeroed": true} or an error

Threads: the publishing side never runs Python in Zenoh's threads. Its
queryables use Zenoh's own channels and the publishing loop answers them
between samples, so a zero runs on the thread that reads the sensor, as the
library wants. The subscribing side copies each payload into a queue in
Zenoh's callback and decodes it on the reader's thread.

Sessions: without endpoints Zenoh runs as a peer with its defaults (it finds
peers on the machine and the LAN by multicast scouting). With --connect or
--listen the session goes exactly there, scouting off: across sites that is
a zenohd router (--connect tcp/router:7447); in tests, 127.0.0.1. A
ZENOH_CONFIG file in the environment replaces all of this.
"""

import collections
import json
import os
import threading
import time

from . import payload
from .errors import UserError
from .sample import ClockOffset

PREFIX = "feltwise"
SCHEME = "zenoh:"
FORBIDDEN_IN_NAMES = set("/*$?#@ \t\n")


def check_name(name):
    if not name or FORBIDDEN_IN_NAMES & set(name):
        raise UserError(f"{name!r} is not a sensor name (one key chunk: no '/', '*', '$', '?', '#', '@' or spaces)")
    return name


def sample_key(name):
    return f"{PREFIX}/{check_name(name)}/sample"


def info_key(name):
    return f"{PREFIX}/{check_name(name)}/info"


def zero_key(name):
    return f"{PREFIX}/{check_name(name)}/zero"


def zenoh_module():
    try:
        import zenoh
    except ImportError:
        raise UserError("the Zenoh commands need eclipse-zenoh: pip install 'feltwise-comm[fleet]'") from None
    return zenoh


def session_config(connect=(), listen=()):
    zenoh = zenoh_module()
    if os.environ.get("ZENOH_CONFIG"):
        try:
            return zenoh.Config.from_env()
        except Exception as error:  # zenoh raises its own ZError with the file's complaint
            raise UserError(f"ZENOH_CONFIG: {error}") from None
    config = zenoh.Config()
    if connect or listen:
        config.insert_json5("scouting/multicast/enabled", "false")
        config.insert_json5("scouting/gossip/enabled", "false")
        try:
            config.insert_json5("connect/endpoints", json.dumps(list(connect)))
            config.insert_json5("listen/endpoints", json.dumps(list(listen)))
        except Exception as error:
            raise UserError(f"bad Zenoh endpoint: {error}") from None
    return config


def open_session(connect=(), listen=()):
    zenoh = zenoh_module()
    config = session_config(connect, listen)
    try:
        return zenoh.open(config)
    except Exception as error:
        where = ", ".join([*connect, *listen]) or "the default configuration"
        raise UserError(f"cannot open a Zenoh session ({where}): {error}") from None


class SensorPublisher:
    """Publishes one sensor's samples and answers its info and zero queries.

    `put` takes a `Sample` as feltwise.Sensor gives it (monotonic stamp,
    `dropped` counted since connect) and sends what the payload holds: the
    stamp in Unix time, `dropped` as the frames lost since the previous one.

    `zero` is a function that zeroes the sensor (raising UserError or
    RuntimeError on failure); `serve()` answers the queries waiting and must
    be called from the thread that reads the sensor."""

    def __init__(self, session, name, info, zero):
        zenoh = zenoh_module()
        self.name, self.info, self._zero = name, info, zero
        self._publisher = session.declare_publisher(
            sample_key(name),
            encoding=zenoh.Encoding(payload.ENCODING),
            reliability=zenoh.Reliability.RELIABLE,
            congestion_control=zenoh.CongestionControl.DROP,
        )
        self._info_queries = session.declare_queryable(info_key(name))
        self._zero_queries = session.declare_queryable(zero_key(name))
        self.published = 0
        self.zeroed = 0
        self._clock = ClockOffset()
        self._dropped = None

    def put(self, sample):
        gap = sample.dropped - (self._dropped if self._dropped is not None else sample.dropped)
        self._dropped = sample.dropped
        self._publisher.put(
            payload.encode(sample._replace(t_host_ns=self._clock.unix_ns(sample.t_host_ns), dropped=max(0, gap)))
        )
        self.published += 1

    def serve(self):
        while (query := self._info_queries.handler.try_recv()) is not None:
            with query:
                query.reply(query.key_expr, json.dumps(self.info).encode(), encoding="application/json")
        while (query := self._zero_queries.handler.try_recv()) is not None:
            with query:
                try:
                    self._zero()
                except (UserError, RuntimeError) as error:
                    query.reply_err(json.dumps({"error": str(error)}).encode())
                else:
                    self.zeroed += 1
                    query.reply(query.key_expr, json.dumps({"zeroed": True}).encode(), encoding="application/json")

    def close(self):
        for entity in (self._publisher, self._info_queries, self._zero_queries):
            entity.undeclare()


class Subscription:
    """The samples of one published sensor, as `Sample` objects, in order.

    Every payload is queued, up to `capacity` (then the oldest go, and count
    as dropped): iterate, or `read(timeout)` for the next one. The samples
    are feltwise.Sensor's: `t_host_ns` is the publisher's stamp on this
    host's monotonic clock (exact when both wall clocks are synchronised),
    `dropped` counts the frames lost since this subscription's first sample,
    at the sensor or on the way (gaps in seq). `info()` and `zero()` ask the
    publisher."""

    def __init__(self, name, connect=(), listen=(), session=None, capacity=65536):
        self.name = check_name(name)
        self._owns_session = session is None
        self.session = open_session(connect, listen) if session is None else session
        self.capacity = capacity
        self._queue = collections.deque()
        self._ready = threading.Condition()
        self._last_seq = None
        self._dropped = 0
        self._clock = ClockOffset()
        self.overflowed = 0
        self.received = 0
        self.closed = False
        self._subscriber = self.session.declare_subscriber(sample_key(name), self._on_sample)

    def _on_sample(self, zsample):
        data = zsample.payload.to_bytes()
        with self._ready:
            if len(self._queue) >= self.capacity:
                self._queue.popleft()
                self.overflowed += 1
            self._queue.append(data)
            self._ready.notify()

    def read(self, timeout=None):
        """The next sample, or None after `timeout` seconds (None: wait for one)."""
        with self._ready:
            if not self._ready.wait_for(lambda: self._queue or self.closed, timeout):
                return None
            if not self._queue:
                return None
            data = self._queue.popleft()
        try:
            sample = payload.decode(data)
        except payload.PayloadError as error:
            raise UserError(f"zenoh:{self.name}: a sample that is not ours ({error})") from None
        if self._last_seq is not None and sample.seq > self._last_seq:
            self._dropped += max(sample.dropped, sample.seq - self._last_seq - 1)
        self._last_seq = sample.seq
        self.received += 1
        return sample._replace(t_host_ns=self._clock.monotonic_ns(sample.t_host_ns), dropped=self._dropped)

    def __iter__(self):
        while not self.closed:
            sample = self.read(0.5)
            if sample is not None:
                yield sample

    samples = __iter__

    def _query(self, key, timeout):
        replies = self.session.get(key, timeout=timeout)
        for reply in replies:
            if reply.ok is not None:
                return json.loads(reply.ok.payload.to_bytes())
            error = reply.err.payload.to_bytes().decode(errors="replace")
            try:
                error = json.loads(error).get("error", error)
            except ValueError:
                pass
            raise UserError(f"zenoh:{self.name}: {error}")
        return None

    def info(self, timeout=5.0):
        """The publisher's info, or None when no publisher answers within `timeout`."""
        return self._query(info_key(self.name), timeout)

    def wait_for_info(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            info = self.info(min(2.0, max(0.1, deadline - time.monotonic())))
            if info is not None:
                return info
            if time.monotonic() >= deadline:
                raise UserError(
                    f"no publisher answers for zenoh:{self.name} "
                    f"(is `feltwise publish --name {self.name}` running, and reachable?)"
                )
            time.sleep(0.2)

    def zero(self, timeout=10.0):
        if self._query(zero_key(self.name), timeout) is None:
            raise UserError(f"zenoh:{self.name}: no publisher answered the zero request")

    def close(self):
        if self.closed:
            return
        with self._ready:
            self.closed = True
            self._ready.notify_all()
        self._subscriber.undeclare()
        if self._owns_session:
            self.session.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def subscribe(name, connect=(), listen=(), session=None, capacity=65536):
    """A `Subscription` to the sensor published as NAME: iterate it for its samples."""
    if isinstance(connect, str):
        connect = [connect]
    if isinstance(listen, str):
        listen = [listen]
    return Subscription(name, connect, listen, session, capacity)
