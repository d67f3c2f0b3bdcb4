"""Sensors over Zenoh on loopback beside the local read of the same samples.

For 1, 8 and 32 sensors at 1,000 samples/s each: a feeder process writes
version-1 frames of 16 channels to one pseudo-terminal per sensor, each frame
carrying its write time (ns) and number in its values. Then, in turn:

  local:  one process reads every sensor with the library (the samples the
          tools take), and measures write -> read latency;
  zenoh:  the same process also publishes every sample (feltwise.remote's
          SensorPublisher, the payload of payload.py) on a session listening
          on 127.0.0.1; a second process subscribes to every sensor with
          feltwise.remote.subscribe on its own session and measures
          publish -> subscriber latency (t_host_ns of the sample to its hand-out
          by Subscription.read) and write -> subscriber.

Reported: samples/s arriving, lost samples (seq gaps), latency median and
99th percentile, CPU of the reading (and publishing) process and of the
subscribing process, in % of one core. Scouting is off; nothing leaves the
machine. The feeder's own CPU is not counted.

The module hands a sample out through a shared "new sample" flag whose
waiting call holds the interpreter lock, so one process reading many sensors
polls them with read_raw(0) and tells new frames by their write time.

Run: python3 bench/bench_fleet.py [seconds per run, default 8] [sensor counts, default 1,8,32]

Batches: python3 bench/bench_fleet.py batches [seconds, default 8] [sensor counts, default 1,8,32,64]
[batch ms, default 5] measures one subscribing process against sensors at
1,000 samples/s each, published as fast as Python can by SensorPublisher.put
(one process per 32 sensors, each sample stamped when put) in three ways:
every sample in a payload of its own read one by one with Subscription.read
(as before batches: a thread per sensor), the same payloads read with
Subscription.read_batch (one loop taking what every sensor's subscription
holds, then sleeping 1 ms), and payloads of the samples of BATCH ms read
with read_batch so. Reported:
samples/s sent and arrived, the share that arrived, seq gaps, latency from
put to the reader holding the sample (median, 99th percentile) and the
subscribing process's CPU. No pty and no library reader here: the
publishers stand in for the sensors, so the subscriber is what is measured.
"""

import json
import multiprocessing
import os
import socket
import statistics
import struct
import sys
import threading
import time
import tty

RATE = 1000.0
CHANNELS = 16


def open_pty():
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def frame(seq, now_ns):
    stamp = [(now_ns >> shift) & 0xFFFF for shift in (0, 16, 32, 48)]
    values = stamp + [seq & 0xFFFF, seq >> 16 & 0xFFFF] + [1000] * (CHANNELS - 6)
    return struct.pack(f"<HH{CHANNELS}H", 0xFFFF, CHANNELS, *values)


def stamp_of(raw):
    return int(raw[0]) | int(raw[1]) << 16 | int(raw[2]) << 32 | int(raw[3]) << 48


def feeder(masters, go, stop, written):
    """Every sensor one frame per millisecond; no burst to catch up when late."""
    go.wait()
    start = time.monotonic()
    period = 1.0 / RATE
    next_tick = time.monotonic()
    seq = 0
    while not stop.is_set():
        now = time.monotonic()
        if now < next_tick:
            time.sleep(next_tick - now)
            continue
        stamp = time.time_ns()
        for master in masters:
            try:
                os.write(master, frame(seq, stamp))
            except BlockingIOError:
                pass
        seq += 1
        next_tick = max(next_tick + period, time.monotonic() - 0.01)
    written.value = seq * len(masters) / (time.monotonic() - start)


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def cpu_seconds():
    times = os.times()
    return times.user + times.system


def reader(paths, endpoint, ready, go, stop, results):
    """Reads every sensor; with an endpoint, publishes every sample too."""
    import feltwise_comm_py
    from feltwise.sample import Sample

    sensors = []
    for path in paths:
        comms = feltwise_comm_py.FeltwiseComms()
        comms.init("1")
        comms.connect(path)
        sensors.append(comms)
    publishers = []
    session = None
    if endpoint:
        from feltwise.remote import SensorPublisher, open_session

        session = open_session(listen=[endpoint])
        publishers = [SensorPublisher(session, f"bench{i}", {"bench": True}, lambda: None) for i in range(len(paths))]
    ready.set()
    go.wait()
    last = [None] * len(sensors)
    seqs = [0] * len(sensors)
    latencies = []
    count = 0
    start_cpu, start = cpu_seconds(), time.monotonic()
    while not stop.is_set():
        got = False
        for i, comms in enumerate(sensors):
            raw = comms.read_raw(0)
            if not raw or raw[:4] == last[i]:
                continue
            got = True
            now = time.time_ns()
            last[i] = raw[:4]
            latencies.append((now - stamp_of(raw)) / 1000.0)
            if publishers:
                publishers[i].put(Sample(raw, (), seqs[i], now))
            seqs[i] += 1
            count += 1
        if not got:
            time.sleep(0.0001)
    elapsed, cpu = time.monotonic() - start, cpu_seconds() - start_cpu
    for publisher in publishers:
        publisher.close()
    if session is not None:
        session.close()
    results.put({"count": count, "elapsed": elapsed, "cpu": cpu, "latency_us": latencies[::10]})


def subscriber(count, endpoint, ready, stop, results):
    from feltwise.remote import open_session, subscribe

    session = open_session(connect=[endpoint])
    # The publisher stops first: waiting for it (reconnect) drains what is on the way instead of raising.
    subscriptions = [subscribe(f"bench{i}", session=session, reconnect=True) for i in range(count)]
    time.sleep(1.0)  # the publisher and its routes
    ready.set()
    lock = threading.Lock()
    totals = {"count": 0, "lost": 0, "latency_us": [], "end_to_end_us": []}

    def drain(subscription):
        received, lost, latency, end_to_end = 0, 0, [], []
        while not stop.is_set():
            sample = subscription.read(0.2)
            if sample is None:
                continue
            now = time.time_ns()
            received += 1
            if received > 1:
                lost += sample.dropped
            if received % 10 == 0:
                latency.append((now - sample.t_host_ns) / 1000.0)
                end_to_end.append((now - stamp_of(sample.raw)) / 1000.0)
        with lock:
            totals["count"] += received
            totals["lost"] += lost
            totals["latency_us"] += latency
            totals["end_to_end_us"] += end_to_end

    threads = [threading.Thread(target=drain, args=(s,)) for s in subscriptions]
    start_cpu, start = cpu_seconds(), time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    totals["elapsed"], totals["cpu"] = time.monotonic() - start, cpu_seconds() - start_cpu
    for subscription in subscriptions:
        subscription.close()
    session.close()
    results.put(totals)


def free_endpoint():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{probe.getsockname()[1]}"


def run(count, seconds, over_zenoh):
    context = multiprocessing.get_context("fork")
    ptys = [open_pty() for _ in range(count)]
    endpoint = free_endpoint() if over_zenoh else None
    go, stop, stop_subscriber = context.Event(), context.Event(), context.Event()
    reader_ready, subscriber_ready = context.Event(), context.Event()
    reader_results, subscriber_results = context.Queue(), context.Queue()
    written = context.Value("d", 0.0)
    feed = context.Process(target=feeder, args=([m for m, _, _ in ptys], go, stop, written))
    read = context.Process(
        target=reader, args=([p for _, _, p in ptys], endpoint, reader_ready, go, stop, reader_results)
    )
    processes = [feed, read]
    read.start()
    reader_ready.wait(60)
    if over_zenoh:
        subscribe_process = context.Process(
            target=subscriber, args=(count, endpoint, subscriber_ready, stop_subscriber, subscriber_results)
        )
        processes.append(subscribe_process)
        subscribe_process.start()
        subscriber_ready.wait(60)
    feed.start()
    go.set()
    time.sleep(seconds)
    stop.set()
    local = reader_results.get(timeout=60)
    remote = None
    if over_zenoh:
        time.sleep(0.5)  # the last samples on their way
        stop_subscriber.set()
        remote = subscriber_results.get(timeout=60)
    for process in processes:
        process.join(30)
    for master, slave, _ in ptys:
        os.close(master)
        os.close(slave)
    local["offered"] = written.value
    return local, remote


def row(what, count, offered, result, latencies, cpu_parts):
    rate = result["count"] / result["elapsed"]
    cpu = " + ".join(f"{100 * c / result['elapsed']:.0f}" for c in cpu_parts)
    lost = result["lost"] if "lost" in result else "n/a"
    return (
        f"| {count} | {what} | {offered:,.0f} | {rate:,.0f} | {lost} | "
        f"{statistics.median(latencies):.0f} | "
        f"{percentile(latencies, 0.99):.0f} | {cpu} |"
    )


def sensor_publisher(first, count, endpoint, batch_ms, ready, go, stop, results):
    """Sensors first.. first+count-1 at RATE samples/s each, put as the publish command puts them."""
    import numpy as np

    from feltwise.remote import SensorPublisher, open_session
    from feltwise.sample import Sample

    session = open_session(connect=[endpoint])
    publishers = [SensorPublisher(session, f"fleet{i}", {}, batch_ms=batch_ms) for i in range(first, first + count)]
    deadline = time.monotonic() + 60
    while not all(p.matched for p in publishers) and time.monotonic() < deadline:
        time.sleep(0.05)
    ready.set()
    go.wait()
    raw, calibrated = np.full(CHANNELS, 1000.0), np.zeros(0)
    seq, period = 0, 1.0 / RATE
    start_cpu, start = cpu_seconds(), time.monotonic()
    next_tick = start
    while not stop.is_set():
        now = time.monotonic()
        if now < next_tick:
            time.sleep(next_tick - now)
            continue
        seq += 1
        stamp = time.monotonic_ns()
        for publisher in publishers:
            publisher.put(Sample(raw, calibrated, seq, stamp))
        next_tick = max(next_tick + period, time.monotonic() - 0.01)  # late: no burst to catch up
    elapsed, cpu = time.monotonic() - start, cpu_seconds() - start_cpu
    for publisher in publishers:
        publisher.close()
    results.put({"sent": seq * count, "elapsed": elapsed, "cpu": cpu, "payloads": sum(p.payloads for p in publishers)})
    session.close()


def fleet_subscriber(count, endpoint, how, ready, go, stop, results):
    """Every sensor on one session: `read`, a thread per subscription taking one sample
    after another; `read_batch`, one loop taking what every subscription holds, then
    sleeping a millisecond (a consumer's control loop)."""
    import numpy as np

    from feltwise.remote import open_session, subscribe

    session = open_session(listen=[endpoint])
    subscriptions = [subscribe(f"fleet{i}", session=session, reconnect=True) for i in range(count)]
    ready.set()
    lock = threading.Lock()
    totals = {"count": 0, "lost": 0, "latency_us": []}

    def drain(subscription):
        received, lost, latency = 0, 0, []
        while not stop.is_set():
            sample = subscription.read(0.2)
            if sample is None:
                continue
            received, lost = received + 1, sample.dropped
            if received % 10 == 0:
                latency.append((time.monotonic_ns() - sample.t_host_ns) / 1000.0)
        with lock:
            totals["count"] += received
            totals["lost"] += lost
            totals["latency_us"] += latency

    def poll():
        received, lost, latency = [0] * count, [0] * count, []
        while not stop.is_set():
            for i, subscription in enumerate(subscriptions):
                batch = subscription.read_batch(timeout=0)
                if len(batch):
                    now = time.monotonic_ns()
                    latency.append((now - batch.t_host_ns[(10 - received[i] % 10) % 10 :: 10]) / 1000.0)
                    received[i], lost[i] = received[i] + len(batch), batch.dropped
            time.sleep(0.001)
        totals.update(count=sum(received), lost=sum(lost), latency_us=list(np.concatenate(latency or [[]])))

    go.wait()
    if how == "read":
        threads = [threading.Thread(target=drain, args=(s,)) for s in subscriptions]
    else:
        threads = [threading.Thread(target=poll)]
    start_cpu, start = cpu_seconds(), time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    totals["elapsed"], totals["cpu"] = time.monotonic() - start, cpu_seconds() - start_cpu
    totals["latency_us"] = np.array(totals["latency_us"])
    for subscription in subscriptions:
        subscription.close()
    session.close()
    results.put(totals)


def run_batches(count, seconds, how, batch_ms):
    context = multiprocessing.get_context("fork")
    endpoint = free_endpoint()
    go, stop, stop_subscriber, subscriber_ready = (context.Event() for _ in range(4))
    subscriber_results, publisher_results = context.Queue(), context.Queue()
    subscriber_process = context.Process(
        target=fleet_subscriber, args=(count, endpoint, how, subscriber_ready, go, stop_subscriber, subscriber_results)
    )
    subscriber_process.start()
    subscriber_ready.wait(60)
    groups = [(first, min(32, count - first)) for first in range(0, count, 32)]
    readies = [context.Event() for _ in groups]
    publishers = [
        context.Process(
            target=sensor_publisher, args=(first, size, endpoint, batch_ms, ready, go, stop, publisher_results)
        )
        for (first, size), ready in zip(groups, readies)
    ]
    for process in publishers:
        process.start()
    for ready in readies:
        ready.wait(90)
    go.set()
    time.sleep(seconds)
    stop.set()
    sent = [publisher_results.get(timeout=60) for _ in publishers]
    time.sleep(1.0)  # what is on its way, and a backlog, may still arrive
    stop_subscriber.set()
    received = subscriber_results.get(timeout=120)
    for process in [subscriber_process, *publishers]:
        process.join(30)
    return sent, received


def batches_main(args):
    import numpy as np

    seconds = float(args[0]) if args else 8.0
    counts = [int(c) for c in args[1].split(",")] if len(args) > 1 else [1, 8, 32, 64]
    batch_ms = float(args[2]) if len(args) > 2 else 5.0
    print(
        f"{seconds:g} s per run, {RATE:g} samples/s per sensor of {CHANNELS} values, batches of {batch_ms:g} ms, "
        f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}"
    )
    print(
        "| Sensors | Payloads | Subscriber reads | Sent samples/s | Arrived samples/s | Arrived of sent | Lost "
        "| Latency median (µs) | Latency p99 (µs) | Subscriber CPU % of a core | Publishers CPU % |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    ways = [("one sample each", "read", None), ("one sample each", "read_batch", None)]
    ways.append((f"batches of {batch_ms:g} ms", "read_batch", batch_ms))
    figures = []
    for count in counts:
        for payloads, how, ms in ways:
            sent, received = run_batches(count, seconds, how, ms)
            elapsed = max(s["elapsed"] for s in sent)
            total = sum(s["sent"] for s in sent)
            latency = received["latency_us"]
            median, p99 = (np.percentile(latency, q) if len(latency) else float("nan") for q in (50, 99))
            publishing = " + ".join(f"{100 * s['cpu'] / s['elapsed']:.0f}" for s in sent)
            print(
                f"| {count} | {payloads} | `{how}` | {total / elapsed:,.0f} | {received['count'] / elapsed:,.0f} "
                f"| {100 * received['count'] / max(total, 1):.1f} % | {received['lost']} | {median:,.0f} | {p99:,.0f} "
                f"| {100 * received['cpu'] / received['elapsed']:.0f} "
                f"| {publishing} |",
                flush=True,
            )
            figures.append(
                {
                    "sensors": count,
                    "batch_ms": ms,
                    "reads": how,
                    "sent": total,
                    "arrived": received["count"],
                    "payloads": sum(s["payloads"] for s in sent),
                    "lost": received["lost"],
                    "elapsed": elapsed,
                    "subscriber_cpu": received["cpu"] / received["elapsed"],
                }
            )
    print(
        "Arrived of sent: after a second's grace once the publishers stop. Lost: seq gaps the subscriber saw. "
        "Latency: from the put to the reader holding the sample, every tenth sample. CPU: user + system time "
        "over the run, the subscribing process (which drains for a second more) and each publishing process."
    )
    print(json.dumps(figures))


def main():
    if sys.argv[1:2] == ["batches"]:
        batches_main(sys.argv[2:])
        return
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 8.0
    counts = [int(c) for c in sys.argv[2].split(",")] if len(sys.argv) > 2 else [1, 8, 32]
    print(
        f"{seconds:g} s per run, {RATE:g} samples/s per sensor of {CHANNELS} channels, "
        f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}"
    )
    print(
        "| sensors | path | frames/s written | samples/s arriving | lost | latency median (µs) "
        "| latency p99 (µs) | CPU % of a core |"
    )
    print("|---|---|---|---|---|---|---|---|")
    figures = []
    for count in counts:
        local, _ = run(count, seconds, over_zenoh=False)
        print(
            row(
                "local read: frame written -> read", count, local["offered"], local, local["latency_us"], [local["cpu"]]
            ),
            flush=True,
        )
        published, remote = run(count, seconds, over_zenoh=True)
        remote["elapsed"] = published["elapsed"]
        print(
            row(
                "Zenoh: publish -> subscriber",
                count,
                published["offered"],
                remote,
                remote["latency_us"],
                [published["cpu"], remote["cpu"]],
            ),
            flush=True,
        )
        print(
            row(
                "Zenoh: frame written -> subscriber",
                count,
                published["offered"],
                remote,
                remote["end_to_end_us"],
                [published["cpu"], remote["cpu"]],
            ),
            flush=True,
        )
        figures.append(
            {
                "sensors": count,
                "local": {k: v for k, v in local.items() if k != "latency_us"},
                "offered_zenoh": published["offered"],
                "zenoh": {k: v for k, v in remote.items() if not k.endswith("_us")},
                "publisher_cpu": published["cpu"],
                "published": published["count"],
            }
        )
    print(
        "CPU: the reading process (+ the subscribing process), user + system time over the run. lost: seq "
        "gaps between publisher and subscriber. Frames written but not read were overwritten in the "
        "library's newest-sample hand-off before the reader came round."
    )
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
