"""Sensors over Zenoh and recordings that survive signals: publish, subscribe, MCAP, SIGTERM.

Every Zenoh session here has explicit endpoints on 127.0.0.1 (a free port
per test) with scouting off, so the tests neither send multicast nor meet
another engineer's sessions; every loop has a deadline.
"""

import base64
import contextlib
import csv
import ipaddress
import itertools
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import types

import msgpack
import numpy as np
import pytest

from toolrun import example, feltwise, no_traceback, wait_for

zenoh = pytest.importorskip("zenoh")
from feltwise import payload  # noqa: E402
from feltwise.cli.errors import UserError  # noqa: E402
from feltwise.errors import (  # noqa: E402
    NoPublisherError,
    PublisherLostError,
    RemoteError,
    SensorError,
)
from feltwise.remote import SensorPublisher, open_session, subscribe  # noqa: E402
from feltwise.sample import Batch, Sample  # noqa: E402
from feltwise.writers import load_npz  # noqa: E402
from feltwise.zenoh_session import Reach, session_config  # noqa: E402

PIPES = {"stdin": subprocess.DEVNULL, "stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True}
# A parameter file whose one record reads raw channel 10**9.
HUGE_CHANNEL_FILE = msgpack.packb(
    [3, [{"SensorParameters": {"sensor_type": 1, "input_map": {10**9: 0}, "output_map": {0: 0}}}]]
)


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


@contextlib.contextmanager
def publisher(
    name, endpoint, params="mixed_pad", rate=1000, duration=60, extra=("--allow-zero",), reach=None, env=None
):
    """`feltwise publish --simulate` in a child process, listening on endpoint (or reaching as
    `reach` says); ends it with SIGTERM."""
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "feltwise",
            "publish",
            "--simulate",
            "--params",
            example(params),
            "--rate",
            str(rate),
            "--name",
            name,
            *(["--listen", endpoint] if reach is None else reach),
            "--duration",
            str(duration),
            *extra,
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=None if env is None else dict(os.environ, **env),
    )
    try:
        line = first_line_within(process)
        assert line.startswith("publishing"), line + (process.stderr.read() if process.poll() is not None else "")
        yield process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()


def take(subscription, count, timeout=60):
    samples, deadline = [], time.monotonic() + timeout
    while len(samples) < count and time.monotonic() < deadline:
        sample = subscription.read(1.0)
        if sample is not None:
            samples.append(sample)
    return samples


# --- the payload ------------------------------------------------------------------


@pytest.mark.parametrize("raw, calibrated", [([1000.0, 2.5, 65535.0], [0.25, -1.0]), ([7.0] * 64, []), ([], [])])
def test_payload_round_trips_and_has_its_documented_layout(raw, calibrated):
    sample = types.SimpleNamespace(
        raw=raw, calibrated=calibrated, seq=2**40 + 3, t_host_ns=1_765_000_000_123_456_789, dropped=2, reconnects=7
    )
    data = payload.encode(sample)
    assert len(data) == 32 + 8 * (len(raw) + len(calibrated))
    assert data[:4] == b"FWS1"
    assert int.from_bytes(data[4:6], "little") == len(raw) and int.from_bytes(data[8:16], "little") == 2**40 + 3
    assert int.from_bytes(data[28:32], "little") == 7 == payload.reconnects_of(data), "offset 28: reconnects"
    back = payload.decode(data)
    assert (back.seq, back.t_host_ns, back.dropped) == (sample.seq, sample.t_host_ns, 2)
    assert getattr(back, "reconnects", 7) == 7
    assert back.raw.dtype == np.float64 and list(back.raw) == raw and list(back.calibrated) == calibrated
    assert payload.problem(data) is None


@pytest.mark.parametrize(
    "data, words",
    [
        (b"FWS1", "shorter than the 32-byte header"),
        (b"FWS3" + bytes(28), "format 3 of the sample payload, which this version of feltwise does not read"),
        (b"XYZ1" + bytes(28), "magic b'XYZ1', not b'FWS1' or b'FWS2'"),
        (payload.encode(Sample([1.0, 2.0], [], 0, 0))[:-1], "expected 48"),
        (b"FWS1" + b"\xff" * 4 + bytes(24 + 8 * 2 * 65535 + 8), "longer than the largest sample"),
        (b"FWS2" + bytes(28), "a batch of 0 samples"),
        (b"FWS2\x02\x00\x01\x00\x03" + bytes(7 + 8 * 3 * 6 - 1), "for a batch of 3 samples of 2 raw and 1"),
        (b"FWS2\xff\xff\xff\xff\xff\xff\xff\xff" + bytes(8), "expected"),
        (b"FWS2" + bytes((4 << 20) - 3), "longer than the largest batch (4194304 bytes)"),
    ],
)
def test_payload_refuses_what_is_not_a_sample(data, words):
    assert words in payload.problem(data)
    for decode in (payload.decode, lambda data: payload.decode_rows([data])):
        with pytest.raises(payload.PayloadError, match=re.escape(words)):
            decode(data)


def rows_of(count, first_seq=1, n=3, m=2):
    """Columns of `count` samples whose every value is distinct (and some are not finite)."""
    index = np.arange(count)
    raw = index[:, None] * 100.0 + np.arange(n) + 0.125
    calibrated = -(index[:, None] * 100.0 + np.arange(m)) / 3
    if count and n and m:
        raw[0, 0], calibrated[-1, -1] = np.inf, -0.0
    seq = np.arange(first_seq, first_seq + count, dtype=np.uint64) * 2 - 1  # every other frame
    t_host_ns = 1_765_000_000_000_000_000 + index * 999_983
    return raw, calibrated, seq, t_host_ns, np.full(count, 1), index % 4


@pytest.mark.parametrize("count, n, m", [(1, 0, 0), (5, 3, 2), (300, 64, 64)])
def test_a_batch_payload_is_its_columns_one_after_another(count, n, m):
    columns = rows_of(count, n=n, m=m)
    data = payload.encode_rows(*columns)
    assert len(data) == 16 + 8 * count * (3 + n + m)
    assert data[:4] == b"FWS2" and struct.unpack_from("<HHII", data, 4) == (n, m, count, 0)
    offsets = np.cumsum([16, 8 * count, 8 * count, 4 * count, 4 * count, 8 * count * n])
    in_order = [columns[i] for i in (2, 3, 4, 5, 0, 1)]
    for column, dtype, offset in zip(in_order, ["<u8", "<i8", "<u4", "<u4", "<f8", "<f8"], offsets):
        on_wire = np.frombuffer(data, dtype, count=np.size(column), offset=int(offset))
        np.testing.assert_array_equal(on_wire.reshape(np.shape(column)), column)
    assert payload.inspect(data) == (count, None)
    # Mixed with single samples of the same shape: one run, in order, every field exact.
    single = [payload.encode(Sample(*(c[i] for c in columns))) for i in range(min(count, 2))]
    rows = payload.decode_rows([single[0], data, *single])
    expected = [np.concatenate([c[:1], c, c[: len(single)]]) for c in columns]
    for got, want in zip(rows, expected):
        np.testing.assert_array_equal(got, want)
        assert got.flags.writeable and got.dtype.isnative
    assert rows.raw.shape == (count + 1 + len(single), n)


# --- publish and subscribe over loopback ---------------------------------------------


@pytest.mark.parametrize("batch", [(), ("--batch-ms", "5")])
def test_a_subscriber_sees_every_seq_gets_info_late_and_zeroes_remotely(batch):
    endpoint = free_endpoint()
    with publisher("pad", endpoint, extra=("--allow-zero", *batch)) as process:
        with subscribe("pad", connect=[endpoint]) as subscription:
            samples = take(subscription, 3000)
            assert len(samples) == 3000
            seqs = np.array([s.seq for s in samples])
            assert np.all(np.diff(seqs) == 1), "no seq gap at 1 kHz over loopback"
            assert sum(s.dropped for s in samples[1:]) == 0
            assert samples[-1].raw.shape == (10,) and samples[-1].calibrated.shape == (9,)
            latency_ms = (time.monotonic_ns() - samples[-1].t_host_ns) / 1e6
            assert 0 <= latency_ms < 5000
            subscription.zero()
            assert take(subscription, 10), "samples go on after a remote zero"
        # Late: the publisher has been streaming for seconds when this one starts.
        with subscribe("pad", connect=[endpoint]) as late:
            info = late.info(timeout=10)
            assert take(late, 5)
    _, err = process.communicate(timeout=30)
    assert info["protocol"] == 3 and info["raw_channels"] == 10 and info["calibrated_outputs"] == 9
    assert info["format"] == ("FWS2" if batch else "FWS1") and info["parameters"]["file"] == "mixed_pad.msgpack"
    assert info.get("batch_ms") == (5.0 if batch else None)
    assert "7 records" in info["parameters"]["summary"]
    assert "zeroed 1 times on request" in err
    assert ("samples/s in " in err) == bool(batch), "a batching publisher says how many payloads it sent"


def test_no_publisher_means_no_info_and_a_failed_zero_in_one_line():
    endpoint = free_endpoint()
    done = feltwise("stream", "zenoh:nobody", "--listen", endpoint, "--duration", "1")
    assert done.returncode == 1 and no_traceback(done)
    assert "no publisher answers for zenoh:nobody" in done.stderr


def test_stream_view_and_record_a_published_sensor(tmp_path):
    from mcap.reader import make_reader

    endpoint = free_endpoint()
    remote = ["zenoh:left", "--connect", endpoint]
    with publisher("left", endpoint):
        streamed = feltwise("stream", *remote, "--duration", "2", "--zero")
        png = tmp_path / "left.png"
        viewed = feltwise("view", *remote, "--after", "0.5", "--snapshot", png)
        recording = tmp_path / "left.mcap"
        recorded = feltwise("record", *remote, "--count", "2000", "-o", recording)
    assert streamed.returncode == 0, streamed.stderr
    assert "zenoh:left  protocol 3  calibrated  zeroed" in streamed.stdout
    assert "latency" in streamed.stdout and "dropped" not in streamed.stdout
    assert viewed.returncode == 0, viewed.stderr
    assert png.read_bytes().startswith(b"\x89PNG") and png.stat().st_size > 10000
    assert recorded.returncode == 0, recorded.stderr
    assert "wrote 2000 samples (9 calibrated, 10 raw values each" in recorded.stdout
    with open(recording, "rb") as file:
        reader = make_reader(file)
        summary = reader.get_summary()
        assert [c.topic for c in summary.channels.values()] == ["/feltwise/left", "/feltwise/left/map"]
        assert [(s.name, s.encoding) for s in summary.schemas.values()] == [
            ("feltwise.Sample", "jsonschema"),
            ("foxglove.RawImage", "jsonschema"),
        ]
        assert summary.statistics.message_count == 2 * 2000
        seqs = [message.sequence for _, _, message in reader.iter_messages(topics=["/feltwise/left"])]
        assert np.all(np.diff(seqs) == 1), "no seq gap"
        metadata = {m.name: m.metadata for m in reader.iter_metadata()}
        assert "7 records" in metadata["feltwise.parameters"]["summary"]
        assert metadata["feltwise.host"]["hostname"] == socket.gethostname()
        attachments = list(reader.iter_attachments())
        assert attachments[0].data == open(example("mixed_pad"), "rb").read()


def test_record_mcap_from_a_local_sensor_reads_back():
    import json

    from mcap.reader import make_reader

    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"feltwise-{os.getpid()}.mcap")
    try:
        done = feltwise("record", "--simulate", "--params", example("taxel_pad_4x4"), "--count", "50", "-o", path)
        assert done.returncode == 0, done.stderr
        with open(path, "rb") as file:
            messages = [
                (channel.message_encoding, json.loads(message.data))
                for schema, channel, message in make_reader(file).iter_messages()
                if schema.name == "feltwise.Sample"
            ]
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
    assert len(messages) == 50 and {encoding for encoding, _ in messages} == {"json"}
    seqs = [m["seq"] for _, m in messages]
    assert seqs == list(range(seqs[0], seqs[0] + 50)), "the library's seq: every frame, no gap"
    assert len(messages[0][1]["raw"]) == 16 and len(messages[0][1]["calibrated"]) == 16


# --- a fleet that survives its network ----------------------------------------------------
#
# The hub is a Zenoh router in this process, on a free port of 127.0.0.1: publishers and
# subscribers connect to it as they would to a lab's zenohd, and the tests put, query and
# subscribe through it directly.


@pytest.fixture(scope="module")
def hub():
    endpoint = free_endpoint()
    config = zenoh.Config()
    config.insert_json5("mode", '"router"')
    config.insert_json5("listen/endpoints", json.dumps([endpoint]))
    config.insert_json5("scouting/multicast/enabled", "false")
    session = zenoh.open(config)
    yield types.SimpleNamespace(endpoint=endpoint, **{n: getattr(session, n) for n in HUB_METHODS})
    session.close()


HUB_METHODS = ("put", "get", "declare_subscriber", "declare_queryable", "declare_publisher", "liveliness", "zid")


def listening_addresses(pid):
    """The addresses a process listens on for TCP, from /proc."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            inodes.add(os.readlink(f"/proc/{pid}/fd/{fd}").removeprefix("socket:[").rstrip("]"))
    found = []
    for table in ("tcp", "tcp6"):
        with open(f"/proc/{pid}/net/{table}") as file:
            for line in file.read().splitlines()[1:]:
                local, state, inode = line.split()[1], line.split()[3], line.split()[9]
                if state == "0A" and inode in inodes:
                    words = bytes.fromhex(local.split(":")[0])
                    found.append(
                        ipaddress.ip_address(b"".join(words[i : i + 4][::-1] for i in range(0, len(words), 4)))
                    )
    return found


@pytest.mark.parametrize("reach", [[], ["--lan"]], ids=["default", "lan"])
def test_a_default_publisher_is_reachable_from_this_machine_only(reach):
    name = f"reach{os.getpid()}_{len(reach)}"  # other sessions of this machine see it too
    with publisher(name, None, reach=reach) as process:
        addresses = listening_addresses(process.pid)
        with subscribe(name) as subscription:  # a default subscriber finds it
            assert take(subscription, 20, timeout=30)
    assert addresses and all(a.is_loopback for a in addresses) == (not reach), addresses
    config = session_config(Reach.of(lan=bool(reach)))
    settings = [json.loads(config.get_json(key)) for key in ("scouting/multicast/interface", "scouting/gossip/enabled")]
    assert settings == (["auto", True] if reach else ["127.0.0.1", False])


def credentials(tmp_path, kind, port):
    """Zenoh configurations for a publisher that wants `kind` of authentication, a peer that
    has the credentials and one that lacks them: (publisher's, good peer's, bad peer's)."""
    scheme = "tls" if kind == "mtls" else "tcp"
    endpoint = f"{scheme}/127.0.0.1:{port}"
    base = {"scouting": {"multicast": {"enabled": False}}}
    if kind == "usrpwd":
        (tmp_path / "users.txt").write_text("lab:secret\n")
        auth = {"user": "lab", "password": "secret", "dictionary_file": str(tmp_path / "users.txt")}
        own = {"transport": {"auth": {"usrpwd": auth}}}
        good = {"transport": {"auth": {"usrpwd": {"user": "lab", "password": "secret"}}}}
        bad = {"transport": {"auth": {"usrpwd": {"user": "lab", "password": "guess"}}}}
    else:
        ca, cert, key = certificates(tmp_path, "lab")
        _, other_cert, other_key = certificates(tmp_path, "intruder")
        tls = {"root_ca_certificate": ca, "enable_mtls": True}
        both = dict(tls, **pair("listen", cert, key), **pair("connect", cert, key))
        own = good = {"transport": {"link": {"tls": both}}}
        bad = {"transport": {"link": {"tls": dict(tls, **pair("connect", other_cert, other_key))}}}
    files = []
    for role, extra in (("publisher", {"listen": {"endpoints": [endpoint]}}), ("good", {}), ("bad", {})):
        content = {**base, **{"publisher": own, "good": good, "bad": bad}[role], **extra}
        (tmp_path / f"{role}.json5").write_text(json.dumps(content))
        files.append(str(tmp_path / f"{role}.json5"))
    return endpoint, files


def pair(side, cert, key):
    return {f"{side}_certificate": cert, f"{side}_private_key": key}


def certificates(tmp_path, who):
    """A CA of its own and a certificate for 127.0.0.1 it signed: paths of the CA, cert, key."""
    import datetime

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def signed(subject, key, issuer, issuer_key, ca):
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
            .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
        )
        if not ca:
            usages = [ExtendedKeyUsageOID.SERVER_AUTH, ExtendedKeyUsageOID.CLIENT_AUTH]
            san = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
            builder = builder.add_extension(x509.SubjectAlternativeName(san), critical=False)
            builder = builder.add_extension(x509.ExtendedKeyUsage(usages), critical=False)
        return builder.sign(issuer_key, hashes.SHA256())

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    paths = [tmp_path / f"{who}_{part}.pem" for part in ("ca", "cert", "key")]
    pem = serialization.Encoding.PEM
    paths[0].write_bytes(signed(f"{who} CA", ca_key, f"{who} CA", ca_key, True).public_bytes(pem))
    paths[1].write_bytes(signed(who, key, f"{who} CA", ca_key, False).public_bytes(pem))
    paths[2].write_bytes(key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    return [str(path) for path in paths]


@pytest.mark.parametrize("kind", ["usrpwd", "mtls"])
def test_a_peer_without_the_credentials_gets_nothing_and_cannot_zero(tmp_path, kind):
    endpoint, (own, good, bad) = credentials(tmp_path, kind, int(free_endpoint().rsplit(":", 1)[1]))
    with publisher("guarded", None, reach=[], env={"ZENOH_CONFIG": own}) as process:
        with subscribe("guarded", connect=endpoint, config=bad) as outsider:
            assert take(outsider, 1, timeout=3) == []
            with pytest.raises(NoPublisherError):
                outsider.zero(timeout=2)
        with subscribe("guarded", connect=endpoint, config=good) as insider:
            assert len(take(insider, 20)) == 20 and insider.info()["raw_channels"] == 10
    _, err = process.communicate(timeout=30)
    assert "zeroed 0 times on request" in err


def test_wildcard_queries_zero_nothing_and_replies_carry_each_sensors_key(hub):
    reach = ["--connect", hub.endpoint]
    with publisher("wild_a", None, reach=reach) as a, publisher("wild_b", None, reach=reach, extra=()) as b:

        def replies(key):
            return sorted(str(r.ok.key_expr) for r in hub.get(key, timeout=5) if r.ok is not None)

        assert wait_for(lambda: len(replies("feltwise/*/info")) == 2), "both publishers declared"
        infos, looked = replies("feltwise/*/info"), replies("feltwise/**")
        with subscribe("wild_a", session=hub) as allowed, subscribe("wild_b", session=hub) as refused:
            allowed.zero()
            with pytest.raises(RemoteError, match="does not allow a remote zero"):
                refused.zero()
    assert infos == ["feltwise/wild_a/info", "feltwise/wild_b/info"]
    assert looked == infos, "a wildcard query gets the infos, and zeroes nothing"
    assert "zeroed 1 times on request" in a.communicate(timeout=30)[1]
    assert "zeroed 0 times on request, refused 1 zero requests" in b.communicate(timeout=30)[1]


def test_what_is_not_a_sample_is_skipped_and_counted_and_the_queue_is_bounded(hub, tmp_path):
    big = payload.encode(Sample(np.zeros(65535), np.zeros(65535), 1, 0))
    with subscribe("foreign", session=hub, max_bytes=3 * len(big)) as subscription:
        for junk in (b"", b"hello", b"FWS1" + bytes(40), bytes(16 << 20)):
            hub.put("feltwise/foreign/sample", junk)
        for seq in range(1, 11):
            hub.put("feltwise/foreign/sample", big[:8] + seq.to_bytes(8, "little") + big[16:])
        assert wait_for(lambda: subscription.skipped == 4 and subscription.overflowed == 7)
        samples = take(subscription, 3, timeout=10)
    assert [s.seq for s in samples] == [8, 9, 10], "the queue kept the newest 3 MB"
    # A recording of a published sensor goes on past a foreign payload, and says so.
    output = tmp_path / "pad.csv"
    with publisher("foreign_pad", None, reach=["--connect", hub.endpoint], rate=200, extra=("--batch-ms", "20")):
        recording = subprocess.Popen(
            [sys.executable, "-m", "feltwise", "record", "zenoh:foreign_pad", "--connect", hub.endpoint]
            + ["--count", "600", "-o", str(output)],
            **PIPES,
        )
        assert wait_for(lambda: output.exists() and output.stat().st_size > 0, timeout=60)
        hub.put("feltwise/foreign_pad/sample", b"not a sample")
        out, err = recording.communicate(timeout=120)
    assert recording.returncode == 0, err
    assert "wrote 600 samples" in out and "skipped 1 payloads that were not samples" in err
    assert "that are not samples (12 bytes: shorter than the 32-byte header (16 bytes in a batch))" in err


# --- batches: the samples of a few milliseconds in one payload ----------------------------


class PinnedClock:
    """The wall clock's offset, the same on both ends: stamps cross the wire exactly."""

    OFFSET = 1_765_000_000_000_000_000

    def unix_ns(self, t):
        return t + self.OFFSET

    def monotonic_ns(self, t):
        return t - self.OFFSET


def sensor_samples(count=40, lost=((9, 3), (23, 1)), back_at=(16,)):
    """Samples as feltwise.Sensor hands them out: frames lost before some rows, the sensor back after an unplug."""
    samples, seq, dropped, reconnects, lost = [], 0, 0, 0, dict(lost)
    for i in range(count):
        seq += 1 + lost.get(i, 0)
        dropped += lost.get(i, 0)
        reconnects += i in back_at
        raw = np.arange(10.0) * 1000 + i + 0.5
        calibrated = np.array([np.nan, np.inf, -0.0, 1e-300, -i, 0.1 * i, 2.0**60, -1.5, i / 7])
        samples.append(Sample(raw, calibrated, seq, 10**12 + 1_000_003 * i + 17 * i * i, dropped, reconnects))
    return samples


def as_batch(samples):
    columns = [np.array([getattr(s, field) for s in samples]) for field in ("raw", "calibrated", "seq", "t_host_ns")]
    reconnects = np.array([s.reconnects for s in samples], np.uint32)
    return Batch(*columns[:2], columns[2].astype(np.uint64), columns[3], samples[-1].dropped, reconnects)


@contextlib.contextmanager
def linked(hub, name, batch_ms, capacity=65536, reconnect=False):
    """A publisher and a subscription of `name`, each on a session of its own connected to the hub, matched."""
    publishing, subscribing = (open_session(connect=[hub.endpoint]) for _ in range(2))
    try:
        with subscribe(name, session=subscribing, capacity=capacity, reconnect=reconnect) as subscription:
            subscription._receiver.clock = PinnedClock()  # (both ends measure their own otherwise)
            with SensorPublisher(publishing, name, {}, batch_ms=batch_ms) as sender:
                sender._clock = PinnedClock()
                assert wait_for(lambda: sender.matched and subscription.present, timeout=30)
                yield types.SimpleNamespace(sender=sender, subscription=subscription, session=publishing)
    finally:
        subscribing.close()
        publishing.close()


def read_rows(subscription, count, how):
    """`count` samples, read one by one or in batches (of at most 5), and `dropped`
    as the reads said it: of each sample, or of each batch's last."""
    samples, dropped, deadline = [], {}, time.monotonic() + 60
    while len(samples) < count and time.monotonic() < deadline:
        if how == "read":
            sample = subscription.read(1.0)
            if sample is not None:
                samples.append(sample)
                dropped[len(samples) - 1] = sample.dropped
            continue
        batch = subscription.read_batch(5 if how == "read_batch(5)" else None, timeout=1.0)
        assert len(batch) <= (5 if how == "read_batch(5)" else count)
        samples += batch.samples()
        if len(batch):
            dropped[len(samples) - 1] = batch.dropped
    return samples, dropped


@pytest.mark.parametrize(
    "feed, batch_ms, how",
    [
        ("put", 1000, "read"),
        ("put", 1000, "read_batch"),
        ("put", None, "read_batch"),
        ("put_batch", 1000, "read_batch(5)"),
        ("put_batch", None, "read"),
    ],
)
def test_batched_samples_arrive_every_one_in_order_and_exact(hub, feed, batch_ms, how):
    sent = sensor_samples()
    with linked(hub, f"exact_{feed}_{how}".replace("(5)", "5"), batch_ms) as link:
        # Batches of 7: the frames lost before rows 9 and 23 and the unplug before row 16 fall inside them.
        for start in range(0, len(sent), 7):
            if feed == "put":
                for sample in sent[start : start + 7]:
                    link.sender.put(sample)
            else:
                link.sender.put_batch(as_batch(sent[start : start + 7]))
            link.sender.flush()
        got, dropped = read_rows(link.subscription, len(sent), how)
        assert link.sender.payloads == (6 if batch_ms else 40)
    assert len(got) == len(sent)
    assert dropped == {row: sent[row].dropped for row in dropped} and (how != "read" or len(dropped) == 40)
    for back, sample in zip(got, sent):
        assert (back.seq, back.t_host_ns, back.reconnects) == (sample.seq, sample.t_host_ns, sample.reconnects)
        np.testing.assert_array_equal(back.raw, sample.raw)
        np.testing.assert_array_equal(back.calibrated, sample.calibrated)
        assert back.raw.dtype == back.calibrated.dtype == np.float64


@pytest.mark.parametrize("feed", ["put", "put_batch"])
def test_a_batch_stops_at_a_mebibyte_and_the_next_goes_on(hub, feed):
    # 2,000 values a sample: 65 samples fill a 1 MiB batch, so 150 go in three payloads.
    sent = [Sample(np.full(2000, float(i)), np.arange(3.0) - i, i + 1, 10**12 + i) for i in range(150)]
    with linked(hub, f"wide_{feed}", batch_ms=1000) as link:
        if feed == "put":
            for sample in sent:
                link.sender.put(sample)
        else:
            link.sender.put_batch(as_batch(sent))
        link.sender.flush()
        got, _ = read_rows(link.subscription, len(sent), "read_batch")
        assert link.sender.payloads == 3 and link.sender.published == 150
    assert [s.seq for s in got] == list(range(1, 151)) and [s.t_host_ns for s in got] == [s.t_host_ns for s in sent]
    np.testing.assert_array_equal(np.array([s.raw for s in got]), np.array([s.raw for s in sent]))
    np.testing.assert_array_equal(np.array([s.calibrated for s in got]), np.array([s.calibrated for s in sent]))


def test_a_batch_spans_a_publisher_that_came_back(hub):
    with linked(hub, "comeback", batch_ms=1000, reconnect=True) as link:
        for sample in sensor_samples(10, lost=(), back_at=()):
            link.sender.put(sample)
        link.sender.close()  # sends the batch, and its name goes
        assert wait_for(lambda: link.subscription.losses == 1, timeout=30)
        with SensorPublisher(link.session, "comeback", {}, batch_ms=1000) as again:
            again._clock = PinnedClock()
            assert wait_for(lambda: link.subscription.present, timeout=30)
            for sample in sensor_samples(5, lost=(), back_at=(3,)):  # a new process: seq starts again
                again.put(sample)
        assert wait_for(lambda: link.subscription.queued == 15, timeout=30)
        batch = link.subscription.read_batch()
    assert list(batch.seq) == [*range(1, 11), *range(1, 6)]
    assert list(batch.reconnects) == [0] * 10 + [1, 1, 1, 2, 2], "a return counts, and the sensor's own"
    assert batch.dropped == 0, "a seq that starts again is a new publisher, not a loss"


def test_a_batch_spans_the_samples_a_full_queue_lost(hub):
    sent = sensor_samples(22, lost=(), back_at=())
    with linked(hub, "overflowing", batch_ms=1000, capacity=8) as link:
        link.sender.put_batch(as_batch(sent[:2]))
        link.sender.flush()
        assert [s.seq for s in take(link.subscription, 2)] == [1, 2]
        for start in range(2, 22, 5):  # four batches of five: the queue holds one
            link.sender.put_batch(as_batch(sent[start : start + 5]))
            link.sender.flush()
        assert wait_for(lambda: link.subscription.overflowed == 15, timeout=30)
        batch = link.subscription.read_batch()
    assert list(batch.seq) == list(range(18, 23)) and batch.dropped == 15
    assert [batch.sample(i).dropped for i in range(5)] == [15] * 5


GOOD_BATCH = payload.encode_rows(*rows_of(3))


@pytest.mark.parametrize(
    "junk, words",
    [
        (GOOD_BATCH[:-8], "for a batch of 3 samples of 3 raw and 2 calibrated values (expected"),
        (GOOD_BATCH[:8] + bytes(8), "a batch of 0 samples"),
        (b"FWS3" + GOOD_BATCH[4:], "format 3 of the sample payload"),
        (b"FWS2" + bytes(4 << 20), "longer than the largest batch"),
    ],
)
def test_a_malformed_batch_is_refused_and_the_subscription_goes_on(hub, junk, words):
    name = f"crooked{len(junk)}"
    with subscribe(name, session=hub) as subscription:
        for data in (GOOD_BATCH, junk, payload.encode_rows(*rows_of(3, first_seq=4))):
            hub.put(f"feltwise/{name}/sample", data)
        assert wait_for(lambda: subscription.queued == 6 and subscription.skipped == 1, timeout=30)
        batch = subscription.read_batch(timeout=5)
    assert words in subscription.refusal
    assert list(batch.seq) == [1, 3, 5, 7, 9, 11] and batch.dropped == 5, "every other frame lost"


def test_read_batch_ends_where_the_value_counts_change(hub):
    with subscribe("reshaped", session=hub) as subscription:
        for data in (GOOD_BATCH, payload.encode(Sample(np.zeros(7), [], 7, 0)), payload.encode_rows(*rows_of(2, 5))):
            hub.put("feltwise/reshaped/sample", data)
        assert wait_for(lambda: subscription.queued == 6, timeout=30)
        first = subscription.read_batch(max_samples=2)
        batches = [first] + [subscription.read_batch() for _ in range(3)]
    assert [(list(b.seq), b.raw.shape[1]) for b in batches] == [([1, 3], 3), ([5], 3), ([7], 7), ([9, 11], 3)]
    assert [b.dropped for b in batches] == [1, 2, 3, 5]


MALFORMED_INFOS = {
    "not_json": b"{protocol: 3",
    "a_list": b"[3, 10, 9]",
    "bad_count": json.dumps({"protocol": 3, "raw_channels": "ten", "calibrated_outputs": 0}).encode(),
    "huge_count": json.dumps({"protocol": 3, "raw_channels": 1_000_000_000, "calibrated_outputs": 0}).encode(),
    "bad_base64": json.dumps(
        {"protocol": 3, "raw_channels": 1, "calibrated_outputs": 0, "parameters": {"msgpack_base64": "!!"}}
    ).encode(),
    "bad_msgpack": json.dumps(
        {"protocol": 3, "raw_channels": 1, "calibrated_outputs": 0, "parameters": {"msgpack_base64": "wcHB"}}
    ).encode(),
    "huge_layout": json.dumps(
        {
            "protocol": 3,
            "raw_channels": 1,
            "calibrated_outputs": 1,
            "parameters": {"msgpack_base64": base64.b64encode(HUGE_CHANNEL_FILE).decode()},
        }
    ).encode(),
}


@pytest.fixture
def fake_publishers(hub):
    """Answers feltwise/NAME/info for the names of MALFORMED_INFOS with their reply."""

    def answer(query):
        name = str(query.key_expr).split("/")[1]
        if name in MALFORMED_INFOS:
            query.reply(f"feltwise/{name}/info", MALFORMED_INFOS[name])

    queryable = hub.declare_queryable("feltwise/*/info", zenoh.handlers.Callback(answer, indirect=False))
    yield hub
    queryable.undeclare()


@pytest.mark.parametrize("name", sorted(MALFORMED_INFOS))
def test_a_malformed_info_is_one_line_and_bounded_work(fake_publishers, name):
    from feltwise.cli.source import layout_from_info

    with subscribe(name, session=fake_publishers) as subscription:
        with pytest.raises((RemoteError, UserError)) as caught:
            layout_from_info(subscription.info(timeout=5), name)
    message = str(caught.value)
    assert f"zenoh:{name}" in message and "\n" not in message and len(message) < 300


def test_stream_says_a_malformed_info_in_one_line(fake_publishers):
    done = feltwise("stream", "zenoh:huge_count", "--connect", fake_publishers.endpoint, "--duration", "1")
    assert done.returncode == 1 and no_traceback(done)
    assert done.stderr.count("\n") == 1 and "raw_channels is 1000000000" in done.stderr


@pytest.mark.parametrize("start", ["after", "together"])
def test_a_name_is_one_sensor(hub, start):
    name = f"one_{start}"
    command = [sys.executable, "-m", "feltwise", "publish", "--simulate", "--protocol", "1", "--name", name]
    command += ["--connect", hub.endpoint, "--duration", "60"]
    processes = [subprocess.Popen(command, **PIPES)]
    try:
        if start == "after":
            assert first_line_within(processes[0]).startswith("publishing")
        processes.append(subprocess.Popen(command, **PIPES))
        assert wait_for(lambda: any(p.poll() is not None for p in processes), timeout=60), "one of them stops"
        time.sleep(1.0)
        running = [p for p in processes if p.poll() is None]
        ended = [p for p in processes if p.poll() is not None]
        assert len(running) == 1 and len(ended) == 1
        _, err = ended[0].communicate(timeout=30)
        with subscribe(name, session=hub) as subscription:
            seqs = [s.seq for s in take(subscription, 300)]
    finally:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            process.communicate(timeout=30)
    assert ended[0].returncode == 1 and "Traceback" not in err
    assert f"zenoh:{name}" in err and ("published already" in err or "at the same time" in err), err
    assert np.all(np.diff(seqs) == 1), "one stream, not two interleaved"


def test_a_killed_publisher_is_reported_or_waited_for(hub):
    reach = ["--connect", hub.endpoint]
    command = [sys.executable, "-m", "feltwise", "stream", "zenoh:mortal", *reach, "--duration", "120"]
    with publisher("mortal", None, reach=reach, rate=200) as first:
        streams = [subprocess.Popen(command + extra, **PIPES) for extra in ([], ["--reconnect"])]
        with subscribe("mortal", session=hub) as gives_up, subscribe("mortal", session=hub, reconnect=True) as waits:
            assert take(gives_up, 50) and take(waits, 50)
            assert all(first_line_within(s, stream=s.stdout).startswith("zenoh:mortal") for s in streams)
            first.kill()
            with pytest.raises(PublisherLostError, match="zenoh:mortal: the publisher went away"):
                take(gives_up, 10**6)
            _, err = streams[0].communicate(timeout=60)
            assert wait_for(lambda: not waits.present, timeout=30)
            while waits.read(0.5) is not None:
                pass  # what came before the kill; then it waits, returning None
            with publisher("mortal", None, reach=reach, rate=200):
                back = take(waits, 50)
                counts = (waits.losses, waits.returns)
                said = lines_within(streams[1].stderr, 2).splitlines()
                assert said[0].startswith("zenoh:mortal: the publisher went away") and "waiting" in said[0]
                assert said[1].startswith("the sensor on zenoh:mortal is back"), said
            streams[1].send_signal(signal.SIGTERM)
            streams[1].communicate(timeout=60)
    assert streams[0].returncode == 1 and "Traceback" not in err and "zenoh:mortal: the publisher went away" in err
    assert streams[1].returncode == 0, "--reconnect waited and went on"
    assert len(back) == 50 and counts == (1, 1)
    assert getattr(back[-1], "reconnects", 1) == 1, "a publisher's return is a reconnect on the path"


@pytest.mark.parametrize("mode", ["peer", "client"])
def test_a_router_delivers_from_two_publishers(hub, mode):
    # Clients go through the router; peers meet there and then connect to each other's listener.
    listen = "tcp/127.0.0.1:0" if mode == "peer" else []
    reach = ["--connect", hub.endpoint] + (["--mode", "peer", "--listen", listen] if listen else [])
    names = [f"routed_{mode}_{i}" for i in range(2)]
    with publisher(names[0], None, reach=reach), publisher(names[1], None, reach=reach):
        session = open_session(connect=hub.endpoint, listen=listen, mode=mode)
        try:
            subscriptions = [subscribe(name, session=session) for name in names]
            counts = [len(take(s, 500)) for s in subscriptions]
            assert subscriptions[0].info()["name"] == names[0]
        finally:
            session.close()
    assert counts == [500, 500]


@pytest.mark.parametrize(
    "args, words",
    [
        (["stream", "zenoh:x", "--connect", "foo"], "'foo' is not a Zenoh endpoint"),
        (["stream", "zenoh:x", "--listen", "tcp/198.51.100.1:1"], "listen tcp/198.51.100.1:1"),
        (["stream", "zenoh:x", "--zenoh-config", "/nonexistent.json5"], "no Zenoh configuration file"),
        (["stream", b"zenoh:\xff".decode(errors="surrogateescape")], "is not a sensor name"),
        (["publish", "--simulate", "--name", "a/b"], "'a/b' is not a sensor name"),
    ],
    ids=["endpoint", "listen", "config", "not_utf8", "name"],
)
def test_zenoh_mistakes_are_one_line_without_source_paths(args, words):
    done = feltwise(*args, "--duration", "1")
    assert done.returncode == 1 and no_traceback(done), done.stderr
    assert words in done.stderr and done.stderr.count("\n") == 1 and ".rs:" not in done.stderr


@pytest.mark.parametrize("value, words", [("0", "must be above 0"), ("1001", "at most 1000 ms"), ("soon", "not a")])
def test_batch_ms_is_above_0_and_at_most_a_second(hub, value, words):
    done = feltwise("publish", "--simulate", "--name", "x", "--batch-ms", value)
    assert done.returncode == 2 and f"--batch-ms: {words}" in done.stderr and no_traceback(done), done.stderr
    with pytest.raises(ValueError, match="batch_ms is above 0 and at most 1000"):
        SensorPublisher(hub, "x", {}, batch_ms=float(value) if value != "soon" else -1.0)


def test_remote_raises_sensor_errors_and_info_raises_on_no_answer(hub):
    with subscribe("nobody", session=hub) as subscription:
        for ask in (lambda: subscription.info(timeout=0.5), lambda: subscription.zero(timeout=0.5)):
            with pytest.raises(NoPublisherError):
                ask()
    with pytest.raises(RemoteError):
        subscribe("two/parts", session=hub)
    assert issubclass(NoPublisherError, SensorError) and issubclass(RemoteError, RuntimeError)


EXITING = """
import sys, threading, time
from feltwise.remote import SensorPublisher, open_session, subscribe
from feltwise.sample import Sample
if sys.argv[1] == "subscribe":
    subscription = subscribe("exiting", connect=sys.argv[2])
    def loop():
        for sample in subscription:
            pass
else:
    publisher = SensorPublisher(open_session(connect=sys.argv[2]), sys.argv[3], {})
    def loop():
        for seq in range(1, 10**9):
            publisher.put(Sample([1.0] * 16, [], seq, time.monotonic_ns()))
            publisher.serve()
            time.sleep(0.0005)
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
sys.exit(3)
"""


@pytest.mark.smoke
@pytest.mark.parametrize("variant", ["subscribe", "publish"])
def test_a_program_exits_with_its_own_status_while_a_daemon_thread_uses_zenoh(hub, variant):
    feeding = threading.Event()

    def feed():
        with SensorPublisher(hub, "exiting", {}) as feeder:
            for seq in itertools.count(1):
                if feeding.is_set():
                    break
                feeder.put(Sample([1.0] * 16, [], seq, time.monotonic_ns()))
                time.sleep(0.001)

    thread = threading.Thread(target=feed)
    thread.start()
    statuses = []
    try:
        for batch in range(4):  # 20 runs, 5 at a time
            runs = [
                subprocess.Popen([sys.executable, "-c", EXITING, variant, hub.endpoint, f"exiting_{batch}_{run}"])
                for run in range(5)
            ]
            statuses += [run.wait(timeout=120) for run in runs]
    finally:
        feeding.set()
        thread.join()
    assert statuses == [3] * 20


# --- signals -------------------------------------------------------------------------------


def processes_running(word):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                if word.encode() in file.read():
                    found.append(int(pid))
    return found


def lines_within(stream, count, timeout=60):
    """The first `count` lines a child writes to `stream`, read from the pipe as they come."""
    text, deadline = b"", time.monotonic() + timeout
    while text.count(b"\n") < count and select.select([stream], [], [], max(0, deadline - time.monotonic()))[0]:
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            break
        text += chunk
    return text.decode()


def first_line_within(process, timeout=60, stream=None):
    stream = process.stderr if stream is None else stream
    ready, _, _ = select.select([stream], [], [], timeout)
    return stream.readline() if ready else ""


@pytest.mark.parametrize("fmt", ["csv", "npz", "mcap"])
def test_sigterm_during_record_leaves_a_whole_file_and_no_process(tmp_path, fmt):
    from mcap.reader import make_reader

    params = tmp_path / "signal_pad.msgpack"  # a name to find the simulator's process by
    shutil.copy(example("taxel_pad_4x4"), params)
    output = tmp_path / f"touch.{fmt}"
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "feltwise",
            "record",
            "--simulate",
            "--params",
            params,
            "--duration",
            "20",
            "-o",
            output,
        ],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # Signalled once the recording says it holds samples (its line at a quarter of
        # the duration), however long a loaded machine took to start it.
        said, deadline = "", time.monotonic() + 120
        while not said.startswith("25%") and time.monotonic() < deadline:
            said = first_line_within(process, timeout=max(0, deadline - time.monotonic()))
            if not said:
                break
        held = int(said.split()[1]) if said.startswith("25%") else 0
        signalled_ns = time.time_ns()
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert held > 0, f"no progress line: {said!r}"
    assert process.returncode == 0, err  # as for Ctrl-C
    assert "wrote" in out and "Traceback" not in err
    if fmt == "csv":
        with open(output, newline="") as file:
            times = [float(row[0]) * 1e9 for row in list(csv.reader(file))[1:]]
    elif fmt == "npz":
        times = load_npz(output)["unix_time"] * 1e9
    else:
        with open(output, "rb") as file:
            times = [
                message.publish_time
                for schema, _, message in make_reader(file).iter_messages()
                if schema.name == "feltwise.Sample"
            ]
    assert len(times) >= held, "every sample the recording held before the signal is in the file"
    assert times[-1] >= signalled_ns - 1e9, "at most the last second lost"
    assert not processes_running(str(params)), "the simulated sensor ended with the recording"


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGHUP])
def test_signals_end_stream_as_ctrl_c_does(signal_number):
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "stream", "--simulate", "--protocol", "1", "--every", "0.2"],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        ready, _, _ = select.select([process.stdout], [], [], 60)
        assert ready and process.stdout.readline()
        time.sleep(1.0)
        process.send_signal(signal_number)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, err
    assert "streamed" in out and "Traceback" not in err
