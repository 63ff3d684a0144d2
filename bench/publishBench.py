#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""kelvo publish at its default settings against four simulated devices
streaming flat out, to one subscriber over tcp on 127.0.0.1.

Each round starts a simulator of its own, a subscriber (this script run
with --subscriber, in a process of its own), then `kelvo publish` for
SECONDS, ended with SIGINT as a user ends it; the subscriber reads on until
nothing came for a second. Per round it prints:

- received / sent: the samples the subscriber got against those the
  publisher sent from the first message the subscriber saw on (target
  >= 0.999);
- messages lost: gaps in each device's sequence numbers from the first
  message received to the publisher's last (target 0);
- the latency from each message's sent ticks (the publisher's clock as it
  handed the message to ZeroMQ) to its receipt, median and p99 over the
  round's messages (target: median <= 1 ms); both clocks are this machine's;
- messages per second per device against the bound the batching gives,
  100 + bytes per second / 65536, plus one message per gap (a gap sends
  what is held before it; at flat out the simulator skips samples it
  cannot write, which its counter shows), and the device's MB/s.

Exit status 1 when a target is missed in any round.

    /usr/bin/python3 bench/publishBench.py --build build [--seconds 5] [--rounds 10]
"""
from __future__ import annotations

import argparse
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import time

LAYOUT = "CONFigure:DEVice 3"  # a counter and three 24-bit channels: 16 bytes a sample
SAMPLE_BYTES = 16
DATA_V3 = struct.Struct("<4sIQQIIqqqdq")


def ticks_now() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 100


def subscribe(endpoint: str) -> None:
    """The subscriber: prints one JSON document of what it got per topic."""
    import zmq

    sub = zmq.Context().socket(zmq.SUB)
    # What kelvo subscribe asks for; far more than a round needs.
    sub.setsockopt(zmq.RCVHWM, 100000)
    sub.setsockopt(zmq.RECONNECT_IVL, 10)  # joins soon after the publisher binds
    sub.setsockopt(zmq.SUBSCRIBE, b"kelvo/")
    sub.connect(endpoint)
    print("ready", flush=True)
    seen: dict[str, dict] = {}
    latencies: list[int] = []
    poller = zmq.Poller()
    poller.register(sub, zmq.POLLIN)
    poller.register(sys.stdin, zmq.POLLIN)
    # Until the publisher has ended (a line on standard input) and nothing
    # came for a second since: its stop may hold the last messages back
    # longer than that while it stops the devices.
    publisher_ended = False
    while True:
        events = dict(poller.poll(1000 if publisher_ended else 120000))
        if not events:
            break
        if sys.stdin.fileno() in events:
            sys.stdin.readline()
            publisher_ended = True
            poller.unregister(sys.stdin)
        if sub not in events:
            continue
        frames = sub.recv_multipart(copy=False)
        received = ticks_now()
        if len(frames) != 3 or len(frames[1].buffer) != DATA_V3.size:
            continue
        _, version, seq, first, count, size, _, _, _, _, sent = DATA_V3.unpack(frames[1].buffer)
        topic = frames[0].bytes.decode()
        s = seen.setdefault(topic, {"first_seq": seq, "first_index": first, "last_seq": seq - 1, "messages": 0,
                                    "samples": 0, "lost": 0})
        s["lost"] += seq - s["last_seq"] - 1
        s["last_seq"] = seq
        s["messages"] += 1
        s["samples"] += count
        latencies.append(received - sent)
    latencies.sort()
    print(json.dumps({"devices": seen, "latency_ticks": [latencies[len(latencies) // 2] if latencies else -1,
                                                         latencies[len(latencies) * 99 // 100] if latencies else -1]}))


def start_sim(build: str) -> tuple[subprocess.Popen, list[str]]:
    # As fast as the simulator makes samples: far more than a pseudo-terminal carries.
    sim = subprocess.Popen([os.path.join(build, "sim/kelvo-sim"), "--devices", "4", "--rate", "10000000",
                            "--block", "1000"], stdout=subprocess.PIPE)
    out = b""
    while out.count(b"\n") < 4:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        if not ready:
            sim.kill()
            sys.exit("kelvo-sim printed no paths")
        out += os.read(sim.stdout.fileno(), 4096)
    return sim, out.decode().split()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def publisher_figures(text: str) -> dict[str, dict[str, float]]:
    """Per device of publish's closing summary: samples, rate, messages and
    gaps (at flat out the simulator skips samples it cannot write: its
    counter jumps)."""
    devices = {}
    for block in re.finditer(r"(\S+) +\S+\n  samples +(\d+)\n  rate +([\d.]+) samples/s\n((?:.*\n)*?)"
                             r"  messages +(\d+)", text):
        gaps = sum(int(n) for n in re.findall(r": (\d+) gaps?, ", block[4]))
        gaps += sum(int(n) for n in re.findall(r"reconnects: (\d+)", block[4]))
        devices["kelvo/" + block[1]] = {"samples": int(block[2]), "rate": float(block[3]),
                                        "messages": int(block[5]), "gaps": gaps}
    return devices


def one_round(build: str, seconds: float) -> dict[str, float]:
    sim, paths = start_sim(build)
    endpoint = f"tcp://127.0.0.1:{free_port()}"
    try:
        subscriber = subprocess.Popen([sys.executable, __file__, "--subscriber", endpoint], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        if subscriber.stdout.readline().strip() != "ready":
            sys.exit("the subscriber did not start")
        publisher = subprocess.Popen([os.path.join(build, "cli/kelvo"), "publish", *paths, "--config", LAYOUT,
                                      "--bind", endpoint], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)
        time.sleep(seconds)
        publisher.send_signal(signal.SIGINT)
        published, _ = publisher.communicate(timeout=60)
        received, _ = subscriber.communicate("ended\n", timeout=120)
    finally:
        sim.terminate()
        sim.wait()
    sent = publisher_figures(published)
    if publisher.returncode not in (0, 3) or len(sent) != 4:
        sys.exit(f"kelvo publish failed ({publisher.returncode}):\n{published}")
    got = json.loads(received)
    devices = got["devices"]
    if set(devices) != set(sent):
        sys.exit(f"the subscriber got {sorted(devices)}, the publisher sent {sorted(sent)}")
    lost = tail_lost = 0
    expected_samples = received_samples = 0
    per_device = []
    for topic, s in sent.items():
        r = devices[topic]
        # Those after the last received count as lost too.
        lost += r["lost"] + s["messages"] - 1 - r["last_seq"]
        tail_lost += s["messages"] - 1 - r["last_seq"]
        expected_samples += s["samples"] - r["first_index"]
        received_samples += r["samples"]
        duration = s["samples"] / s["rate"] if s["rate"] > 0 else seconds
        bytes_per_second = s["rate"] * SAMPLE_BYTES
        # A gap sends what is held before its message: one more message each.
        per_device.append({"messages_per_s": s["messages"] / duration,
                           "bound": 100 + bytes_per_second / 65536, "gaps_per_s": s["gaps"] / duration,
                           "mb_s": bytes_per_second / 1e6, "joined_at": r["first_seq"]})
    return {"ratio": received_samples / expected_samples if expected_samples else 0.0, "lost": lost,
            "tail_lost": tail_lost,
            "median_ms": got["latency_ticks"][0] / 1e4, "p99_ms": got["latency_ticks"][1] / 1e4,
            "devices": per_device}


def load() -> str:
    return " ".join(open("/proc/loadavg").read().split()[:3])


def main() -> int:
    if len(sys.argv) == 3 and sys.argv[1] == "--subscriber":
        subscribe(sys.argv[2])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (cli/kelvo, sim/kelvo-sim)")
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds per round")
    parser.add_argument("--rounds", type=int, default=10)
    args = parser.parse_args()
    print(f"load average {load()}, {os.cpu_count()} cores")
    rounds = []
    for n in range(args.rounds):
        r = one_round(args.build, args.seconds)
        rounds.append(r)
        rates = "  ".join(f"{d['messages_per_s']:.1f}/{d['bound']:.1f}+{d['gaps_per_s']:.1f} gaps ({d['mb_s']:.2f} MB/s)"
                          for d in r["devices"])
        print(f"round {n + 1}: received/sent {r['ratio']:.5f}  lost {r['lost']} messages ({r['tail_lost']} at the end)  latency median "
              f"{r['median_ms']:.3f} ms p99 {r['p99_ms']:.3f} ms  messages/s per device against the bound: "
              f"{rates}  joined at {[d['joined_at'] for d in r['devices']]}  (load {load()})", flush=True)
    medians = sorted(r["median_ms"] for r in rounds)
    worst_ratio = min(r["ratio"] for r in rounds)
    total_lost = sum(r["lost"] for r in rounds)
    within_bound = all(d["messages_per_s"] <= d["bound"] + d["gaps_per_s"] for r in rounds for d in r["devices"])
    print(f"all rounds: lowest received/sent {worst_ratio:.5f} (target >= 0.999), {total_lost} messages lost "
          f"(target 0), latency median {medians[len(medians) // 2]:.3f} ms (median of the rounds; target <= 1 ms), "
          f"worst p99 {max(r['p99_ms'] for r in rounds):.3f} ms, messages/s within 100 + bytes/s / 65536 + gaps/s: "
          f"{within_bound}")
    return 0 if worst_ratio >= 0.999 and total_lost == 0 and medians[len(medians) // 2] <= 1.0 else 1


if __name__ == "__main__":
    sys.exit(main())
