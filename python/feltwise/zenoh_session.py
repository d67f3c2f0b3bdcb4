"""Zenoh sessions for the fleet: how far a session reaches, how it finds the others, its credentials.

`Reach` says it, for a publisher and a subscriber alike:

    (nothing)      this machine only. The session listens on 127.0.0.1 (a
                   free port) and finds the other sessions of this machine by
                   multicast scouting on the loopback interface, with a TTL of
                   0, so no scouting datagram leaves the machine; it connects
                   to the peers it finds that way (not to routers) and takes
                   no addresses from gossip, so nothing it learns from a peer
                   makes it connect off the machine.
    listen=E       listens exactly on E (repeatable), e.g. tcp/0.0.0.0:7447
                   for every interface; no multicast scouting.
    connect=E      connects to E (a router, or another session's listen
                   endpoint); no multicast scouting.
    lan=True       Zenoh's own defaults: listens on every interface, finds and
                   answers peers on the LAN by multicast scouting, gossip on.
    mode           "client" or "peer". A client sends and receives everything
                   through the session it connects to (a router, or a peer),
                   and listens nowhere. Peers connected to a router meet there
                   (gossip) but exchange data directly, so each needs a listen
                   endpoint the others reach; a router does not forward between
                   them. So: a client when connect is given without listen (a
                   session that only connects can be reached through the other
                   end only), a peer otherwise.
    config         a Zenoh configuration file (JSON5), by default the one
                   ZENOH_CONFIG names: Zenoh's whole configuration (user and
                   password, TLS certificates, access control); the options
                   above that are given are set on it, the rest is the file's.

Zenoh's errors come with the paths of the source files they were raised
in, on the machine that built the library: `cause` keeps the message only.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

from .errors import RemoteError

if TYPE_CHECKING:
    import zenoh

MODES = ("peer", "client")
LOOPBACK = "127.0.0.1"
# PROTOCOL/ADDRESS[?METADATA][#CONFIG], as Zenoh writes endpoints.
_ENDPOINT = re.compile(r"[a-z][a-z0-9-]*/[^\s?#]+(\?[^\s#]*)?(#\S*)?")
_SOURCE_PATH = re.compile(r"\s+at\s+\S+\.rs:\d+\.?")
_JSON5_MESSAGE = re.compile(r'Json5Err\(Message \{ msg: "(.*?)", location: ', re.S)


@dataclass(frozen=True)
class Reach:
    """Where a session listens, what it connects to, how it finds others."""

    connect: tuple[str, ...] = ()
    listen: tuple[str, ...] = ()
    lan: bool = False
    mode: Optional[str] = None
    config: Optional[str] = None

    @classmethod
    def of(
        cls,
        connect: str | Sequence[str] = (),
        listen: str | Sequence[str] = (),
        lan: bool = False,
        mode: Optional[str] = None,
        config: Optional[str] = None,
    ) -> Reach:
        """A Reach from an endpoint or a list of them for each of connect and listen."""
        return cls(
            (connect,) if isinstance(connect, str) else tuple(connect),
            (listen,) if isinstance(listen, str) else tuple(listen),
            lan,
            mode,
            config,
        )

    def describe(self) -> str:
        parts = [f"connect {e}" for e in self.connect] + [f"listen {e}" for e in self.listen]
        if self.lan:
            parts.append("the LAN")
        if self.config_file():
            parts.append(f"configuration {self.config_file()}")
        return ", ".join(parts) or "this machine"

    def config_file(self) -> Optional[str]:
        return self.config if self.config is not None else (os.environ.get("ZENOH_CONFIG") or None)


def zenoh_module() -> Any:
    try:
        import zenoh
    except ImportError:
        raise RemoteError("the Zenoh commands need eclipse-zenoh: pip install 'feltwise-comm[fleet]'") from None
    return zenoh


def cause(error: BaseException) -> str:
    """Zenoh's message of an error, on one line, without source paths."""
    text = str(error)
    quoted = _JSON5_MESSAGE.search(text)
    if quoted:
        text = quoted.group(1).replace('\\"', '"')
    text = " ".join(_SOURCE_PATH.sub("", text).split()).replace("[", "").replace("]", "")
    return text.strip(" .") or type(error).__name__


def check_endpoint(endpoint: str) -> str:
    if not isinstance(endpoint, str) or not _ENDPOINT.fullmatch(endpoint):
        raise RemoteError(f"{endpoint!r} is not a Zenoh endpoint: give PROTOCOL/ADDRESS, e.g. tcp/192.168.1.10:7447")
    return endpoint


def _set(config: zenoh.Config, key: str, value: Any) -> None:
    try:
        config.insert_json5(key, json.dumps(value))
    except Exception as error:  # zenoh raises its ZError with the key's complaint
        raise RemoteError(f"Zenoh configuration {key}: {cause(error)}") from None


def _from_file(path: str) -> zenoh.Config:
    api = zenoh_module()
    if not os.path.isfile(path):
        raise RemoteError(f"no Zenoh configuration file {path}")
    try:
        config: zenoh.Config = api.Config.from_file(path)
    except Exception as error:
        raise RemoteError(f"Zenoh configuration {path}: {cause(error)}") from None
    return config


def default_mode(reach: Reach) -> str:
    return "client" if reach.connect and not reach.listen and not reach.lan else "peer"


def session_config(reach: Reach = Reach()) -> zenoh.Config:
    api = zenoh_module()
    for endpoint in (*reach.connect, *reach.listen):
        check_endpoint(endpoint)
    if reach.mode is not None and reach.mode not in MODES:
        raise RemoteError(f"Zenoh mode {reach.mode!r}: give one of {', '.join(MODES)}")
    path = reach.config_file()
    config: zenoh.Config = _from_file(path) if path else api.Config()
    if reach.mode is not None or not path:
        _set(config, "mode", reach.mode or default_mode(reach))
    if path and not reach.lan:
        # The file's own reach, with the endpoints given set on it.
        if reach.connect:
            _set(config, "connect/endpoints", list(reach.connect))
        if reach.listen:
            _set(config, "listen/endpoints", list(reach.listen))
        return config
    if reach.lan:
        _set(config, "scouting/multicast/enabled", True)
        _set(config, "scouting/multicast/interface", "auto")
        _set(config, "scouting/gossip/enabled", True)
        _set(config, "listen/endpoints", list(reach.listen) or ["tcp/[::]:0"])
        _set(config, "connect/endpoints", list(reach.connect))
    elif reach.connect or reach.listen:
        _set(config, "scouting/multicast/enabled", False)
        _set(config, "scouting/gossip/enabled", True)
        _set(config, "connect/endpoints", list(reach.connect))
        _set(config, "listen/endpoints", list(reach.listen))
    else:
        _set(config, "listen/endpoints", [f"tcp/{LOOPBACK}:0"])
        _set(config, "scouting/multicast/enabled", True)
        _set(config, "scouting/multicast/interface", LOOPBACK)
        _set(config, "scouting/multicast/ttl", 0)
        _set(config, "scouting/multicast/autoconnect", {"router": [], "peer": ["peer"], "client": ["router"]})
        _set(config, "scouting/gossip/enabled", False)
    return config


# Sessions opened here, closed when the interpreter exits (remote.py's
# exit hook): a Zenoh thread must not call into an interpreter that is
# finalising.
_opened: list[zenoh.Session] = []


def open_session(reach: Reach = Reach()) -> zenoh.Session:
    api = zenoh_module()
    config = session_config(reach)
    try:
        session: zenoh.Session = api.open(config)
    except Exception as error:
        raise RemoteError(f"cannot open a Zenoh session ({reach.describe()}): {cause(error)}") from None
    _opened[:] = [s for s in _opened if not s.is_closed()]
    _opened.append(session)
    return session


def close(session: Any) -> None:
    try:
        session.close()
    except Exception:  # closed already, or the runtime is going away
        pass


def close_opened() -> None:
    while _opened:
        close(_opened.pop())
