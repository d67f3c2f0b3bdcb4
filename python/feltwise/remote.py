"""Sensors over Zenoh: the key layout, the publishing side and `subscribe`.

Keys, for a sensor published under NAME:

    feltwise/NAME/sample   put, every sample, the fixed binary payload of payload.py
    feltwise/NAME/info     queryable: JSON with the protocol, channel and output counts,
                           units and the parameter file (summary and bytes)
    feltwise/NAME/zero     queryable: zeroes the sensor, answers {"zeroed": true} or an error;
                           only a query for this exact key, and only when the publisher allows it
    feltwise/NAME/alive/CLAIM
                           liveliness token of the publisher that has the name (CLAIM: its
                           Unix time of claiming in ns, 20 digits, a dash, its Zenoh id)

Replies carry the sensor's own key, so a query for feltwise/*/info gets one
reply per sensor.

A name is one sensor. A publisher looks for tokens under feltwise/NAME/alive
before it takes the name and refuses when there is one; two that start at
once both declare theirs, see each other's, and the later claim stops.
Subscribers watch the same tokens: when the last one goes (its session
ended, its process died, its link failed) the publisher is gone, and
`read` says so (or, with `reconnect=True`, waits for one to come back).

Threads: the publishing side never runs Python in Zenoh's threads but for
the token watch, which sets a flag. Its queryables use Zenoh's own channels
and the publishing loop answers them between samples, so a zero runs on the
thread that reads the sensor, as the library wants. The subscribing side
checks each payload's size and header in Zenoh's callback (no value is
read there), queues what is a sample, counts what is not, and decodes on
the reader's thread. Every subscription and publisher still open when the
interpreter exits is closed by an exit hook, and the sessions opened here
with it, so no Zenoh thread calls into an interpreter that is finalising.

Sessions: zenoh_session.py (by default, this machine only).
"""

from __future__ import annotations

import atexit
import base64
import binascii
import collections
import json
import threading
import time
import unicodedata
import weakref
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

from . import payload, zenoh_session
from .errors import NameTakenError, NoPublisherError, PublisherLostError, RemoteError
from .sample import ClockOffset, Sample
from .zenoh_session import Reach, close_opened, zenoh_module
from .zenoh_session import close as _close

if TYPE_CHECKING:
    import zenoh

__all__ = [
    "NameClaim",
    "Reach",
    "SensorPublisher",
    "Subscription",
    "check_info",
    "check_name",
    "open_session",
    "subscribe",
]

PREFIX = "feltwise"
SCHEME = "zenoh:"
FORBIDDEN_IN_NAMES = set("/*$?#@ \t\n")
MAX_NAME = 128
MAX_COUNT = payload.MAX_VALUES
# An info reply carries the parameter file (the tools take at most 64 MiB)
# in base64; nothing larger is read.
MAX_REPLY = 96 << 20
QUEUE_BYTES = 64 << 20
CLAIM_TIMEOUT = 2.0

Endpoints = Union[str, Sequence[str]]


def check_name(name: str) -> str:
    if (
        not isinstance(name, str)
        or not name
        or len(name) > MAX_NAME
        or FORBIDDEN_IN_NAMES & set(name)
        or any(unicodedata.category(c)[0] in "CZ" for c in name)
    ):
        raise RemoteError(
            f"{name!r} is not a sensor name (one key chunk of at most {MAX_NAME} printable characters: "
            "no '/', '*', '$', '?', '#', '@' or spaces)"
        )
    return name


def sample_key(name: str) -> str:
    return f"{PREFIX}/{check_name(name)}/sample"


def info_key(name: str) -> str:
    return f"{PREFIX}/{check_name(name)}/info"


def zero_key(name: str) -> str:
    return f"{PREFIX}/{check_name(name)}/zero"


def alive_key(name: str) -> str:
    return f"{PREFIX}/{check_name(name)}/alive"


def _one_line(text: str, limit: int = 300) -> str:
    text = " ".join(text.split())
    text = "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)
    return text if len(text) <= limit else text[:limit] + "..."


def _error_text(reply_error: Any) -> str:
    data = reply_error.payload.to_bytes()[:4096].decode(errors="replace")
    try:
        parsed = json.loads(data)
    except ValueError:
        return _one_line(data) or "an error without a message"
    if isinstance(parsed, dict) and isinstance(parsed.get("error"), str):
        return _one_line(parsed["error"])
    return _one_line(data)


def _count(info: dict[str, Any], key: str, name: str) -> int:
    value = info.get(key)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_COUNT:
        raise RemoteError(
            f"zenoh:{name}: a malformed info reply ({key} is {_one_line(repr(value), 40)}, "
            f"not a count of 0 to {MAX_COUNT})"
        )
    return value


def check_info(name: str, data: bytes) -> dict[str, Any]:
    """The publisher's info from the bytes of its reply, its fields checked:
    a one-line RemoteError for anything that is not an info of ours, and no
    work that grows with the numbers in it."""
    if len(data) > MAX_REPLY:
        raise RemoteError(f"zenoh:{name}: an info reply of {len(data)} bytes (at most {MAX_REPLY})")
    try:
        info = json.loads(data)
    except (ValueError, RecursionError) as error:
        raise RemoteError(f"zenoh:{name}: the info reply is not JSON ({_one_line(str(error), 80)})") from None
    if not isinstance(info, dict):
        raise RemoteError(f"zenoh:{name}: the info reply is not a JSON object")
    protocol = info.get("protocol")
    if isinstance(protocol, bool) or not isinstance(protocol, int) or not 0 <= protocol <= 255:
        raise RemoteError(f"zenoh:{name}: a malformed info reply (protocol is {_one_line(repr(protocol), 40)})")
    _count(info, "raw_channels", name)
    _count(info, "calibrated_outputs", name)
    parameters = info.get("parameters")
    if parameters is not None:
        if not isinstance(parameters, dict):
            raise RemoteError(f"zenoh:{name}: a malformed info reply (parameters is not an object)")
        for key in ("file", "summary", "sha256", "msgpack_base64"):
            if parameters.get(key) is not None and not isinstance(parameters[key], str):
                raise RemoteError(f"zenoh:{name}: a malformed info reply (parameters.{key} is not text)")
    for key in ("name", "format", "host", "port"):
        if info.get(key) is not None and not isinstance(info[key], str):
            raise RemoteError(f"zenoh:{name}: a malformed info reply ({key} is not text)")
    return info


def parameter_bytes(name: str, info: dict[str, Any]) -> Optional[bytes]:
    """The parameter file a checked info carries, or None; checked against its sha256."""
    import hashlib

    parameters = info.get("parameters") or {}
    encoded = parameters.get("msgpack_base64")
    if not encoded:
        return None
    try:
        data = base64.b64decode(encoded, validate=True)
    except (binascii.Error, ValueError):
        raise RemoteError(f"zenoh:{name}: the info's parameter file is not base64") from None
    digest = parameters.get("sha256")
    if digest is not None and hashlib.sha256(data).hexdigest() != digest.lower():
        raise RemoteError(f"zenoh:{name}: the info's parameter file does not match its sha256")
    return data


def _query(session: zenoh.Session, name: str, key: str, timeout: float) -> Optional[bytes]:
    """The first answer to a query for key: its bytes, a RemoteError for an
    error reply, None when nobody answered in time."""
    try:
        replies = session.get(key, timeout=timeout)
        for reply in replies:
            if reply.ok is not None:
                if len(reply.ok.payload) > MAX_REPLY:
                    raise RemoteError(f"zenoh:{name}: a reply of {len(reply.ok.payload)} bytes (at most {MAX_REPLY})")
                return reply.ok.payload.to_bytes()
            raise RemoteError(f"zenoh:{name}: {_error_text(reply.err)}")
    except RemoteError:
        raise
    except Exception as error:  # the session was closed under the query
        raise RemoteError(f"zenoh:{name}: the query for {key} failed ({_one_line(str(error), 120)})") from None
    return None


def _direct(callback: Callable[[Any], None]) -> Any:
    """`callback` as Zenoh runs it on the thread that received the data.
    zenoh's default for a Python callable runs it on a Python thread of
    zenoh's own, which is not a daemon: a program whose main thread returns
    would wait for ever for it to end, before any exit hook could close the
    subscriber. Run directly, the callbacks here stay short (a flag, or a
    size and header check and a copy)."""
    return zenoh_module().handlers.Callback(callback, indirect=False)


def _undeclare(*entities: Any) -> None:
    for entity in entities:
        try:
            entity.undeclare()
        except Exception:  # its session was closed first
            pass


# Subscriptions and publishers still open, closed by the exit hook.
_live: weakref.WeakSet[Any] = weakref.WeakSet()
_exiting = False


@atexit.register
def _close_at_exit() -> None:
    global _exiting
    _exiting = True
    for entity in list(_live):
        try:
            entity.close()
        except Exception:  # the exit goes on whatever one of them says
            pass
    close_opened()


class NameClaim:
    """The name of one sensor, held by one publisher: a liveliness token
    under feltwise/NAME/alive/. Raises NameTakenError when another
    publisher has the name; `check()` raises it later should a publisher
    that started at the same time have claimed it first."""

    def __init__(self, session: zenoh.Session, name: str, timeout: float = CLAIM_TIMEOUT):
        self.name = check_name(name)
        self._session = session
        liveliness = session.liveliness()
        holders = [r.ok for r in liveliness.get(f"{alive_key(name)}/*", timeout=timeout) if r.ok is not None]
        if holders:
            raise NameTakenError(
                f"zenoh:{name} is published already{self._who()}: a name is one sensor (choose another --name)"
            )
        self.claim = f"{time.time_ns():020d}-{session.zid()}"
        self._rival: Optional[str] = None
        self._token = liveliness.declare_token(f"{alive_key(name)}/{self.claim}")
        self._watch = liveliness.declare_subscriber(f"{alive_key(name)}/*", _direct(self._on_token), history=True)

    def _on_token(self, sample: zenoh.Sample) -> None:  # Zenoh's thread
        api = zenoh_module()
        claim = str(sample.key_expr).rsplit("/", 1)[-1]
        if sample.kind == api.SampleKind.PUT and claim < self.claim:
            self._rival = claim

    def _who(self) -> str:
        try:
            data = _query(self._session, self.name, info_key(self.name), 1.0)
            info = check_info(self.name, data) if data is not None else {}
        except RemoteError:
            return ""
        host, port = info.get("host"), info.get("port")
        return f" (by {_one_line(host, 60)}, {_one_line(port or '?', 60)})" if host else ""

    def check(self) -> None:
        if self._rival is not None:
            raise NameTakenError(
                f"another publisher claimed zenoh:{self.name} at the same time{self._who()}; this one stops"
            )

    def release(self) -> None:
        _undeclare(self._watch, self._token)


class SensorPublisher:
    """Publishes one sensor's samples and answers its info and zero queries.

    `put` takes a `Sample` as feltwise.Sensor gives it (monotonic stamp,
    `dropped` counted since connect) and sends what the payload holds: the
    stamp in Unix time, `dropped` as the frames lost since the previous one,
    `reconnects` as the sample has it.

    `zero` is a function that zeroes the sensor (raising on failure), or
    None: then a zero query gets an error reply, and the sensor is not
    touched. A zero runs only for a query of feltwise/NAME/zero itself; a
    query with wildcards (feltwise/**) never zeroes. `serve()` answers the
    queries waiting and must be called from the thread that reads the
    sensor; it raises NameTakenError should another publisher have claimed
    the name at the same time. The name is claimed (NameClaim) unless a
    claim is given."""

    def __init__(
        self,
        session: zenoh.Session,
        name: str,
        info: dict[str, Any],
        zero: Optional[Callable[[], object]] = None,
        claim: Optional[NameClaim] = None,
    ):
        api = zenoh_module()
        self.name, self._zero = check_name(name), zero
        self.info = dict(info, zero_allowed=zero is not None)
        self.claim = claim if claim is not None else NameClaim(session, name)
        try:
            self._publisher = session.declare_publisher(
                sample_key(name),
                encoding=api.Encoding(payload.ENCODING),
                reliability=api.Reliability.RELIABLE,
                congestion_control=api.CongestionControl.DROP,
            )
            self._info_queries = session.declare_queryable(info_key(name))
            self._zero_queries = session.declare_queryable(zero_key(name))
        except Exception as error:
            if claim is None:
                self.claim.release()
            raise RemoteError(f"zenoh:{name}: cannot publish ({_one_line(str(error), 120)})") from None
        self._info_bytes = json.dumps(self.info).encode()
        self.published = 0
        self.zeroed = 0
        self.refused = 0
        self.closed = False
        self._clock = ClockOffset()
        self._dropped: Optional[int] = None
        _live.add(self)

    def put(self, sample: Sample) -> None:
        if self.closed:
            if _exiting:
                return  # the interpreter is exiting: a daemon thread's last samples go nowhere
            raise RemoteError(f"zenoh:{self.name}: the publisher is closed")
        gap = sample.dropped - (self._dropped if self._dropped is not None else sample.dropped)
        self._dropped = sample.dropped
        self._publisher.put(
            payload.encode(sample._replace(t_host_ns=self._clock.unix_ns(sample.t_host_ns), dropped=max(0, gap)))
        )
        self.published += 1

    def serve(self) -> None:
        if self.closed:
            return
        self.claim.check()
        while (query := self._info_queries.try_recv()) is not None:
            with query:
                query.reply(info_key(self.name), self._info_bytes, encoding="application/json")
        while (query := self._zero_queries.try_recv()) is not None:
            with query:
                self._answer_zero(query)

    def _answer_zero(self, query: zenoh.Query) -> None:
        if str(query.key_expr) != zero_key(self.name):
            return  # a wildcard: looking around, not asking for a zero
        if self._zero is None:
            self.refused += 1
            query.reply_err(json.dumps({"error": "this publisher does not allow a remote zero (--allow-zero)"}))
            return
        try:
            self._zero()
        except Exception as error:  # its message goes back to the asker
            query.reply_err(json.dumps({"error": _one_line(str(error))}))
        else:
            self.zeroed += 1
            query.reply(zero_key(self.name), json.dumps({"zeroed": True}), encoding="application/json")

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        _live.discard(self)
        _undeclare(self._publisher, self._info_queries, self._zero_queries)
        self.claim.release()

    def __enter__(self) -> SensorPublisher:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Subscription:
    """The samples of one published sensor, as `Sample` objects, in order.

    Every payload whose header says it is a sample is queued, up to
    `capacity` samples and `max_bytes` bytes (then the oldest go, and count
    as dropped); what is not a sample is skipped and counted in `skipped`.
    Iterate, or `read(timeout)` for the next one. The samples are
    feltwise.Sensor's: `t_host_ns` is the publisher's stamp on this host's
    monotonic clock (exact when both wall clocks are synchronised),
    `dropped` counts the frames lost since this subscription's first
    sample, at the sensor or on the way (gaps in seq), `reconnects` the
    publisher's sensor reconnects plus the times this subscription saw its
    publisher go and a publisher come back.

    When the publisher goes away, `read` (and iteration) raise
    PublisherLostError once the samples queued are taken; with
    `reconnect=True` they wait instead (`read` returns None meanwhile,
    `present` is False) and go on with the next publisher of the name.
    `info()` and `zero()` ask the publisher and raise NoPublisherError when
    none answers."""

    def __init__(
        self,
        name: str,
        reach: Optional[Reach] = None,
        session: Optional[zenoh.Session] = None,
        capacity: int = 65536,
        max_bytes: int = QUEUE_BYTES,
        reconnect: bool = False,
    ):
        self.name = check_name(name)
        self.reach = reach = reach if reach is not None else Reach()
        self.capacity, self.max_bytes, self.reconnect = capacity, max_bytes, reconnect
        self._queue: collections.deque[tuple[bytes, int]] = collections.deque()
        self._queued_bytes = 0
        self._ready = threading.Condition()
        self._last_seq: Optional[int] = None
        self._dropped = 0
        self._clock = ClockOffset()
        self._holders: set[str] = set()
        self.overflowed = 0
        self.received = 0
        self.skipped = 0
        self.losses = 0
        self.returns = 0
        self.present = False
        self.closed = False
        self._owns_session = session is None
        self.session = zenoh_session.open_session(reach) if session is None else session
        try:
            self._subscriber = self.session.declare_subscriber(sample_key(name), _direct(self._on_sample))
            self._alive = self.session.liveliness().declare_subscriber(
                f"{alive_key(name)}/*", _direct(self._on_token), history=True
            )
        except Exception as error:
            if self._owns_session:
                _close(self.session)
            raise RemoteError(f"zenoh:{name}: cannot subscribe ({_one_line(str(error), 120)})") from None
        _live.add(self)

    # --- Zenoh's threads: check, count, queue; nothing is decoded here

    def _on_sample(self, zsample: zenoh.Sample) -> None:
        size = len(zsample.payload)
        data = zsample.payload.to_bytes() if payload.HEADER_SIZE <= size <= payload.MAX_SIZE else b""
        with self._ready:
            if self.closed:
                return
            if not data or payload.problem(data) is not None:
                self.skipped += 1
                self._ready.notify_all()
                return
            self._queue.append((data, self.returns))
            self._queued_bytes += len(data)
            while len(self._queue) > self.capacity or self._queued_bytes > self.max_bytes:
                self._queued_bytes -= len(self._queue.popleft()[0])
                self.overflowed += 1
            self._ready.notify_all()

    def _on_token(self, sample: zenoh.Sample) -> None:
        api = zenoh_module()
        with self._ready:
            if sample.kind == api.SampleKind.PUT:
                self._holders.add(str(sample.key_expr))
                if not self.present:
                    self.present = True
                    if self.losses > self.returns:
                        self.returns += 1
            else:
                self._holders.discard(str(sample.key_expr))
                if self.present and not self._holders:
                    self.present = False
                    self.losses += 1
            self._ready.notify_all()

    # --- the reader's thread

    def _lost(self) -> bool:
        return self.losses > self.returns and not self.present and not self.reconnect

    def read(self, timeout: Optional[float] = None) -> Optional[Sample]:
        """The next sample, or None after `timeout` seconds (None: wait for
        one). Raises PublisherLostError when the publisher went away and the
        subscription does not wait for it."""
        with self._ready:
            if not self._ready.wait_for(lambda: self._queue or self.closed or self._lost(), timeout):
                return None
            if not self._queue:
                if self._lost() and not self.closed:
                    raise PublisherLostError(
                        f"zenoh:{self.name}: the publisher went away (its Zenoh session ended or is unreachable)"
                    )
                return None
            data, returns = self._queue.popleft()
            self._queued_bytes -= len(data)
        sample = payload.decode(data)
        if self._last_seq is not None and sample.seq > self._last_seq:
            self._dropped += max(sample.dropped, sample.seq - self._last_seq - 1)
        self._last_seq = sample.seq
        self.received += 1
        fields = (
            sample.raw,
            sample.calibrated,
            sample.seq,
            self._clock.monotonic_ns(sample.t_host_ns),
            self._dropped,
            payload.reconnects_of(data) + returns,
        )
        return Sample._make(fields[: len(Sample._fields)])

    def __iter__(self) -> Iterator[Sample]:
        while not self.closed:
            sample = self.read(0.5)
            if sample is not None:
                yield sample

    samples = __iter__

    def info(self, timeout: float = 5.0) -> dict[str, Any]:
        """The publisher's info (fields checked); NoPublisherError when no
        publisher answers within `timeout` seconds."""
        data = _query(self.session, self.name, info_key(self.name), timeout)
        if data is None:
            raise NoPublisherError(f"zenoh:{self.name}: no publisher answered within {timeout:g} s")
        return check_info(self.name, data)

    def wait_for_info(self, timeout: float = 10.0) -> dict[str, Any]:
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.info(min(2.0, max(0.1, deadline - time.monotonic())))
            except NoPublisherError:
                if time.monotonic() >= deadline:
                    raise NoPublisherError(self._nobody()) from None
            time.sleep(0.2)

    def _nobody(self) -> str:
        text = f"no publisher answers for zenoh:{self.name} (is `feltwise publish --name {self.name}` running"
        try:
            reached = bool(self.session.info.peers_zid() or self.session.info.routers_zid())
        except Exception:  # a closed session: no hint
            reached = True
        if not reached:
            return f"{text}? nothing was reached from here: {self.reach.describe()})"
        return f"{text}, and reachable from here?)"

    def zero(self, timeout: float = 10.0) -> None:
        """Zero the sensor through its publisher (which must allow it)."""
        if _query(self.session, self.name, zero_key(self.name), timeout) is None:
            raise NoPublisherError(f"zenoh:{self.name}: no publisher answered the zero request")

    def close(self) -> None:
        with self._ready:
            if self.closed:
                return
            self.closed = True
            self._ready.notify_all()
        _live.discard(self)
        _undeclare(self._subscriber, self._alive)
        if self._owns_session:
            _close(self.session)

    def __enter__(self) -> Subscription:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def open_session(
    connect: Endpoints = (),
    listen: Endpoints = (),
    *,
    lan: bool = False,
    mode: Optional[str] = None,
    config: Optional[str] = None,
) -> zenoh.Session:
    """A Zenoh session that reaches as far as the arguments say (those of
    `subscribe`; without any, this machine only), closed at exit if still open."""
    return zenoh_session.open_session(Reach.of(connect, listen, lan, mode, config))


def subscribe(
    name: str,
    connect: Endpoints = (),
    listen: Endpoints = (),
    session: Optional[zenoh.Session] = None,
    capacity: int = 65536,
    *,
    lan: bool = False,
    mode: Optional[str] = None,
    config: Optional[str] = None,
    reconnect: bool = False,
    max_bytes: int = QUEUE_BYTES,
) -> Subscription:
    """A `Subscription` to the sensor published as NAME: iterate it for its samples.

    Without endpoints the session reaches this machine only; `connect`
    (an endpoint or a list: a router, a publisher's --listen), `listen`,
    `lan`, `mode` ("peer" or "client") and `config` (a Zenoh configuration
    file; default $ZENOH_CONFIG) are those of zenoh_session.Reach. A
    `session` given is used as it is (and left open)."""
    reach = Reach.of(connect, listen, lan, mode, config)
    return Subscription(name, reach, session, capacity, max_bytes, reconnect)
