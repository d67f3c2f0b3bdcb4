"""The live Foxglove view and MCAP recording of feltwise.foxglove, measured.

live:   `feltwise view --simulate --params FILE --foxglove 127.0.0.1:0` at the
        simulator's rate (100 samples/s by default, --rate for another via
        `feltwise simulate`); a WebSocket client speaking foxglove.sdk.v1
        subscribes to the sample and map topics for SECONDS and counts the
        samples it gets against the span of their seq, and the age of each
        (its arrival minus its time stamp, both Unix time on this machine).
encode: FoxgloveMessages.encode for one sample of 64 outputs (both topics),
        and McapWriter.write per sample, in microseconds.

Run: python3 bench/bench_foxglove.py [seconds, default 10]
"""

import json
import pathlib
import re
import signal
import statistics
import struct
import subprocess
import sys
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[1]


def live(seconds):
    from websockets.sync.client import connect

    params = REPO / "examples" / "params" / "taxel_pad_4x4.msgpack"
    process = subprocess.Popen(
        [sys.executable, "-m", "feltwise", "view", "--simulate", "--params", params, "--foxglove", "127.0.0.1:0"],
        stdin=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        port = int(re.search(r"ws://127\.0\.0\.1:(\d+)", process.stderr.readline()).group(1))
        seqs, ages = [], []
        with connect(f"ws://127.0.0.1:{port}", subprotocols=["foxglove.sdk.v1"], max_size=None) as client:
            channels = {}
            while len(channels) < 2:
                message = json.loads(client.recv(timeout=30))
                if message["op"] == "advertise":
                    channels.update({c["schemaName"]: c["id"] for c in message["channels"]})
            client.send(
                json.dumps(
                    {
                        "op": "subscribe",
                        "subscriptions": [
                            {"id": 1, "channelId": channels["feltwise.Sample"]},
                            {"id": 2, "channelId": channels["foxglove.RawImage"]},
                        ],
                    }
                )
            )
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                message = client.recv(timeout=30)
                if isinstance(message, str) or struct.unpack_from("<I", message, 1)[0] != 1:
                    continue
                body = json.loads(message[13:])
                stamp = body["timestamp"]["sec"] * 10**9 + body["timestamp"]["nsec"]
                ages.append((time.time_ns() - stamp) / 1e6)
                seqs.append(body["seq"])
    finally:
        process.send_signal(signal.SIGTERM)
        process.communicate(timeout=60)
    span = seqs[-1] - seqs[0] + 1
    print(
        f"live: {len(seqs)} of {span} samples ({100 * len(seqs) / span:.2f}%) in {seconds:g} s, "
        f"age median {statistics.median(ages):.1f} ms, p99 {np.percentile(ages, 99):.1f} ms"
    )


def encode():
    from feltwise.foxglove import FoxgloveMessages
    from feltwise.layout import Layout, Taxel
    from feltwise.sample import Sample
    from feltwise.writers import McapWriter

    layout = Layout(0, 64, 64, [Taxel(i, i, 0.0) for i in range(64)])
    messages = FoxgloveMessages(layout, "/feltwise/bench")
    samples = [Sample(np.arange(64.0) + i, np.arange(64.0) * 0.5 + i, i, 10**9 + i * 10**6, 0, 0) for i in range(5000)]
    start = time.perf_counter()
    for sample in samples:
        messages.encode(sample, 1_765_000_000_123_456_789)
    print(f"encode: {(time.perf_counter() - start) / len(samples) * 1e6:.0f} us a sample of 64 values (two topics)")
    path = pathlib.Path("/tmp") / f"bench-foxglove-{time.time_ns()}.mcap"
    try:
        writer = McapWriter(str(path), 64, 64, {"port": "bench"}, layout=layout)
        start = time.perf_counter()
        for sample in samples:
            writer.write(sample, time.time_ns())
        writer.close()
        per_sample_us = (time.perf_counter() - start) / len(samples) * 1e6
        print(f"mcap: {per_sample_us:.0f} us a sample, {path.stat().st_size / len(samples):.0f} bytes a sample")
    finally:
        path.unlink(missing_ok=True)


if __name__ == "__main__":
    encode()
    live(float(sys.argv[1]) if len(sys.argv) > 1 else 10.0)
