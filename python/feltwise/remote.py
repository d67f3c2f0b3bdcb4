"""Sensors over Zenoh: the key layout, the publishing side and `subscribe`.

Keys, for a sensor published under NAME:

    feltwise/NAME/sample   put, every sample, the fixed binary payload of payload.py: one
                           sample each (format 1), or the samples of a few ms (format 2,
                           a publisher's batch_ms)
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
thread that reads the sensor, as the library wants; a batch that is due
goes out there too. The subscribing side checks each payload's size and
header in Zenoh's callback (no value is read there), queues what is a
payload of samples, counts what is not, and decodes on the reader's thread,
the payloads waiting taken at once and read in one numpy pass
(batching.py). Every subscription and publisher still open when the
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
import struct
import threading
import time
import unicodedata
import weakref
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

import numpy as np
import numpy.typing as npt

from . import payload, zenoh_session
from .batching import Received, Receiver, RowBuffer, join
from .errors import NameTakenError, NoPublisherError, PublisherLostError, RemoteError
from .sample import Batch, ClockOffset, Sample
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
MAX_BATCH_MS = 1000.0
# Samples a per-sample read takes from the queue at once and decodes together.
READ_AHEAD = 256

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
    `reconnects` as the sample has it. `put_batch` takes a `Batch` of them.

    With `batch_ms`, samples are gathered and sent as one format-2 payload
    once the first of them has waited `batch_ms` milliseconds (or the batch
    reaches 1 MiB): a subscriber handles one payload where it had dozens,
    and a sample reaches it up to `batch_ms` later. `put` and `serve` send
    a batch that is due; `due_in` says how long the publishing loop may
    wait for the sensor before the batch is due; `flush` sends it now, and
    `close` sends what is gathered.

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
        batch_ms: Optional[float] = None,
    ):
        api = zenoh_module()
        if batch_ms is not None and not 0 < batch_ms <= MAX_BATCH_MS:
            raise ValueError(f"batch_ms is above 0 and at most {MAX_BATCH_MS:g}, not {batch_ms}")
        self.name, self._zero = check_name(name), zero
        batching = {"format": payload.BATCH_MAGIC.decode(), "batch_ms": batch_ms} if batch_ms else {}
        self.info = dict(info, zero_allowed=zero is not None, **batching)
        self.claim = claim if claim is not None else NameClaim(session, name)
        try:
            self._publisher = session.declare_publisher(
                sample_key(name),
                encoding=api.Encoding(payload.ENCODING),
                reliability=api.Reliability.RELIABLE,
                # A sample on its own is one small message: a link that cannot take it
                # loses it (a gap in seq) rather than holding up the reading loop. A batch
                # is up to 1 MiB in some 16 fragments, which DROP loses whole should a hop's
                # queue stay full for 50 ms (a loaded machine or router, a slow link): a
                # publisher that batches waits for the link instead, while the sensor's
                # queue keeps the frames read meanwhile and counts what overflows it.
                congestion_control=api.CongestionControl.BLOCK if batch_ms else api.CongestionControl.DROP,
            )
            self._info_queries = session.declare_queryable(info_key(name))
            self._zero_queries = session.declare_queryable(zero_key(name))
        except Exception as error:
            if claim is None:
                self.claim.release()
            raise RemoteError(f"zenoh:{name}: cannot publish ({_one_line(str(error), 120)})") from None
        self._info_bytes = json.dumps(self.info).encode()
        self.published = 0
        self.payloads = 0
        self.zeroed = 0
        self.refused = 0
        self.closed = False
        self._clock = ClockOffset()
        self._dropped: Optional[int] = None
        self.batch_ns = 0 if batch_ms is None else int(batch_ms * 1e6)
        self._batch = None if batch_ms is None else RowBuffer()
        self._due = 0
        _live.add(self)

    def _open(self) -> bool:
        if self.closed:
            if _exiting:
                return False  # the interpreter is exiting: a daemon thread's last samples go nowhere
            raise RemoteError(f"zenoh:{self.name}: the publisher is closed")
        return True

    def put(self, sample: Sample) -> None:
        if not self._open():
            return
        gap = sample.dropped - (self._dropped if self._dropped is not None else sample.dropped)
        self._dropped = sample.dropped
        t_host_ns = self._clock.unix_ns(sample.t_host_ns)
        batch = self._batch
        if batch is None:
            self._publisher.put(payload.encode(sample._replace(t_host_ns=t_host_ns, dropped=max(0, gap))))
            self.published += 1
            self.payloads += 1
            return
        raw, calibrated = np.asarray(sample.raw), np.asarray(sample.calibrated)
        if not batch.holds(raw.shape[0], calibrated.shape[0]):
            self.flush()
        if not batch.rows:
            self._due = time.monotonic_ns() + self.batch_ns
        batch.append(raw, calibrated, sample.seq, t_host_ns, gap, getattr(sample, "reconnects", 0))
        if batch.full or time.monotonic_ns() >= self._due:
            self.flush()

    def put_batch(self, samples: Batch) -> None:
        """Every row of a `Batch` as `put` would send it (feltwise.Sensor.read_batch's)."""
        if not self._open() or not len(samples):
            return
        seq = samples.seq.astype(np.uint64)
        gaps = np.zeros(len(seq), np.int64)
        gaps[1:] = np.where(seq[1:] > seq[:-1], seq[1:] - seq[:-1] - np.uint64(1), 0).astype(np.int64)
        # Drops between rows show as gaps in seq; the rest came before the first row.
        before = samples.dropped - int(gaps.sum())
        gaps[0] = max(0, before - (self._dropped if self._dropped is not None else before))
        np.clip(gaps, 0, 0xFFFFFFFF, out=gaps)
        self._dropped = samples.dropped
        reconnects = samples.reconnects if len(samples.reconnects) else np.zeros(len(seq), np.uint32)
        t_host_ns = samples.t_host_ns.astype(np.int64) + self._clock.unix_ns(0)  # + the clocks' offset
        columns: tuple[npt.NDArray[Any], ...] = (samples.raw, samples.calibrated, seq, t_host_ns, gaps, reconnects)
        if self._batch is None:
            for row in range(len(seq)):
                fields = (column[row] for column in columns)
                self._publisher.put(payload.encode(Sample(*fields)))
            self.published += len(seq)
            self.payloads += len(seq)
            return
        batch, start = self._batch, 0
        while start < len(seq):
            if not batch.holds(samples.raw.shape[1], samples.calibrated.shape[1]):
                self.flush()
            if not batch.rows:
                self._due = time.monotonic_ns() + self.batch_ns
            start += batch.extend([column[start:] for column in columns])
            if batch.full or time.monotonic_ns() >= self._due:
                self.flush()

    def flush(self) -> None:
        """Sends the samples gathered for a batch now."""
        batch = self._batch
        if batch is None or not batch.rows:
            return
        data, rows = batch.encode(), batch.rows
        batch.clear()
        self._publisher.put(data)
        self.published += rows
        self.payloads += 1

    @property
    def matched(self) -> bool:
        """Whether a subscriber of the samples is there (Zenoh's matching status)."""
        try:
            status = self._publisher.matching_status
            return bool(getattr(status, "matching", status))
        except Exception:  # undeclared, or its session closed
            return False

    def due_in(self, longest: float) -> float:
        """Seconds until the batch gathered is due, at most `longest` (and that when none is gathered)."""
        if self._batch is None or not self._batch.rows:
            return longest
        return min(longest, max(0.0, (self._due - time.monotonic_ns()) / 1e9))

    def serve(self) -> None:
        if self.closed:
            return
        if self._batch is not None and self._batch.rows and time.monotonic_ns() >= self._due:
            self.flush()
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
        try:
            self.flush()
        except Exception:  # its session was closed first: the samples gathered go nowhere
            pass
        self.closed = True
        _live.discard(self)
        _undeclare(self._publisher, self._info_queries, self._zero_queries)
        self.claim.release()

    def __enter__(self) -> SensorPublisher:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class Subscription:
    """The samples of one published sensor, as `Sample` objects or `Batch`es, in order.

    Every payload whose header says it holds samples (one, or a publisher's
    batch) is queued, up to `capacity` samples and `max_bytes` bytes (then
    the oldest payloads go, and their samples count as dropped); what is not
    is skipped, counted in `skipped`, and `refusal` says why the last one
    was. Iterate, or `read(timeout)` for the next sample, or
    `read_batch(max_samples, timeout)` for every sample queued as one
    `Batch`, whatever payloads they came in. The samples are
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
        # (payload, samples in it, publisher returns when it came)
        self._queue: collections.deque[tuple[bytes, int, int]] = collections.deque()
        self._queued_bytes = 0
        self._queued_rows = 0
        self._ready = threading.Condition()
        self._reading = threading.Lock()
        self._receiver = Receiver()
        self._pending: Optional[Received] = None  # rows taken from the queue and not yet handed out
        self._next = 0
        self._holders: set[str] = set()
        self.overflowed = 0
        self.received = 0
        self.skipped = 0
        self.refusal: Optional[str] = None
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
        size, data, rows = len(zsample.payload), b"", 0
        refused = payload.size_problem(size)
        if refused is None:
            data = zsample.payload.to_bytes()
            rows, refused = payload.inspect(data)
        with self._ready:
            if self.closed:
                return
            if refused is not None:
                self.skipped += 1
                self.refusal = refused
                return
            self._queue.append((data, rows, self.returns))
            self._queued_bytes += len(data)
            self._queued_rows += rows
            while self._queued_rows > self.capacity or self._queued_bytes > self.max_bytes:
                old, count, _ = self._queue.popleft()
                self._queued_bytes -= len(old)
                self._queued_rows -= count
                self.overflowed += count
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

    @property
    def queued(self) -> int:
        """Samples that came and wait in the queue."""
        with self._ready:
            return self._queued_rows

    def _lost(self) -> bool:
        return self.losses > self.returns and not self.present and not self.reconnect

    def _take(self, timeout: Optional[float], rows: int, shape: Optional[bytes] = None) -> list[tuple[bytes, int, int]]:
        """Payloads from the head of the queue, of `rows` samples or just past them
        and of one shape: waits up to `timeout` for one and raises
        PublisherLostError once none is left of a publisher that went away; with
        a `shape` (what the reader holds already), takes only payloads of it that
        are there."""
        continuing = shape is not None
        with self._ready:
            if not continuing and not self._ready.wait_for(lambda: self._queue or self.closed or self._lost(), timeout):
                return []
            if not self._queue:
                if not continuing and self._lost() and not self.closed:
                    raise PublisherLostError(
                        f"zenoh:{self.name}: the publisher went away (its Zenoh session ended or is unreachable)"
                    )
                return []
            shape = payload.shape_of(self._queue[0][0]) if shape is None else shape
            taken: list[tuple[bytes, int, int]] = []
            count = 0
            while self._queue and count < rows and payload.shape_of(self._queue[0][0]) == shape:
                entry = self._queue.popleft()
                self._queued_bytes -= len(entry[0])
                self._queued_rows -= entry[1]
                count += entry[1]
                taken.append(entry)
            return taken

    def read(self, timeout: Optional[float] = None) -> Optional[Sample]:
        """The next sample, or None after `timeout` seconds (None: wait for
        one). Raises PublisherLostError when the publisher went away and the
        subscription does not wait for it."""
        with self._reading:
            pending = self._pending
            if pending is None or self._next >= pending.rows:
                taken = self._take(timeout, READ_AHEAD)
                if not taken:
                    return None
                self._pending = pending = self._receiver.receive(taken)
                self._next = 0
            self._next += 1
            self.received += 1
            return pending.sample(self._next - 1)

    def read_batch(self, max_samples: Optional[int] = None, timeout: Optional[float] = 0.5) -> Batch:
        """Every sample queued (at most `max_samples`) as one `Batch`, in order;
        waits up to `timeout` seconds (None: for ever) for one, and returns an
        empty batch when none came. The batch's `dropped` is `Sample.dropped`
        of its last row. A publisher that changed its value counts ends a
        batch: the next one has the new counts. Raises PublisherLostError as
        `read` does."""
        if max_samples is not None and (isinstance(max_samples, bool) or not isinstance(max_samples, int)):
            raise TypeError(f"max_samples is a count or None, not {max_samples!r}")
        if max_samples is not None and max_samples < 1:
            raise ValueError(f"max_samples is at least 1, not {max_samples}")
        limit = max_samples if max_samples is not None else self.capacity + READ_AHEAD
        with self._reading:
            parts: list[Received] = []
            have, shape = 0, None
            pending = self._pending
            if pending is not None and self._next < pending.rows:
                parts.append(pending.part(self._next, self._next + limit))
                have = parts[0].rows
                self._next += have
                shape = struct.pack("<HH", pending.raw.shape[1], pending.calibrated.shape[1])
            if have < limit:
                taken = self._take(timeout, limit - have, shape)
                if taken:
                    received = self._receiver.receive(taken)
                    parts.append(received.part(0, limit - have))
                    self._pending, self._next = received, parts[-1].rows
            if not parts:
                return self._receiver.empty()
            rows = join(parts)
            self.received += rows.rows
            return rows.batch(int(rows.dropped[-1]))

    def batches(self, max_samples: Optional[int] = None, timeout: float = 0.5) -> Iterator[Batch]:
        """`read_batch` again and again until the subscription is closed; yields the batches that have samples."""
        while not self.closed:
            batch = self.read_batch(max_samples, timeout)
            if len(batch):
                yield batch

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
