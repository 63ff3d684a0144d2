#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""kelvo record and kelvo publish → subscribe against four simulated devices.

record: four devices streaming 1 MB/s each (62500 samples/s of 16 bytes)
into an HDF5 file for SECONDS, ended with SIGINT as a user ends it. Just
before the signal it reads the CPU time of the writer thread (named
kelvo-writer; from its schedstat, to the nanosecond, where utime's 10 ms
steps are a few per cent of a round's figure) and of the whole process from
/proc; it prints the ms of CPU per MB recorded of both, the rate per device
and the samples dropped (target: none dropped, every device at its 62500
samples/s).

publish: four devices streaming flat out, published over tcp on 127.0.0.1
to one kelvo subscribe for SECONDS; it prints the publisher's input (the
samples it sent and those it dropped), what it sent and the subscriber's MB/s, their ratio (target >= 0.95) and the latency the
subscriber measured from each chunk's arrival at the publisher to its
receipt (median and p99), and the CPU per MB sent of the sender thread
(kelvo-sender), the publisher and the subscriber. Both programs are ended
with SIGINT. The subscriber's rate is taken from its first to
its last message, the publisher's over its run.

record --baseline-build DIR compares the writer thread against another
build's kelvo (an earlier commit's, say): it alternates rounds of the two,
each against the same simulator program (the one of --build), and prints
both figures and their ratio, current / baseline (target <= 1.10).

Each round starts a simulator of its own. Exit status 1 when a target is
missed.

    /usr/bin/python3 bench/recordingBench.py --build build record [--seconds 10] [--rounds 3]
    /usr/bin/python3 bench/recordingBench.py --build build record --baseline-build ../old/build [--rounds 3]
    /usr/bin/python3 bench/recordingBench.py --build build publish [--seconds 10] [--rounds 3] [--hwm N]
"""
from __future__ import annotations

import argparse
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

LAYOUT = "CONFigure:DEVice 3"  # a counter and three 24-bit channels: 16 bytes a sample
SAMPLE_BYTES = 16
RECORD_RATE = 62500  # samples/s: 1 MB/s a device
TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
VERBOSE = False


def start_sim(build: str, rate: int, block: int) -> tuple[subprocess.Popen, list[str]]:
    sim = subprocess.Popen([os.path.join(build, "sim/kelvo-sim"), "--devices", "4", "--rate", str(rate),
                            "--block", str(block)], stdout=subprocess.PIPE)
    out = b""
    while out.count(b"\n") < 4:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        if not ready:
            sim.kill()
            sys.exit("kelvo-sim printed no paths")
        out += os.read(sim.stdout.fileno(), 4096)
    return sim, out.decode().split()


def stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.terminate()
    process.wait()


def cpu_seconds(stat_path: str) -> float:
    """utime + stime of a process or thread."""
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND


def thread_cpu_seconds(pid: int, tid: int) -> float:
    """The thread's time on a CPU, to the nanosecond where the kernel keeps
    schedstat; utime + stime (10 ms steps) where not."""
    try:
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9
    except (FileNotFoundError, IndexError, ValueError):
        return cpu_seconds(f"/proc/{pid}/task/{tid}/stat")


def find_thread(pid: int, name: str, timeout: float = 20) -> int:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            for tid in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{tid}/comm") as f:
                    if f.read().strip() == name:
                        return int(tid)
        except FileNotFoundError:
            pass  # a thread ended meanwhile
        time.sleep(0.05)
    sys.exit(f"no thread {name} in process {pid}")


def device_summaries(text: str) -> list[dict[str, float]]:
    """The per-device blocks of record's and publish's closing summary."""
    devices = []
    for block in re.finditer(r"  samples +(\d+)\n  rate +([\d.]+) samples/s\n  dropped +(\d+)\n"
                             r"  framing errors +(\d+)", text):
        devices.append({"samples": int(block[1]), "rate": float(block[2]), "dropped": int(block[3]),
                        "framing": int(block[4])})
    return devices


def record_round(build: str, seconds: float, sim_build: str | None = None) -> dict[str, float]:
    sim, paths = start_sim(sim_build or build, RECORD_RATE, 500)
    out_file = os.path.join(tempfile.gettempdir(), f"kelvo-recordbench-{os.getpid()}.h5")
    try:
        record = subprocess.Popen([os.path.join(build, "cli/kelvo"), "record", *paths, "--config", LAYOUT,
                                   "--seconds", "86400", "--out", out_file], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        writer = find_thread(record.pid, "kelvo-writer")
        time.sleep(seconds)
        writer_cpu = thread_cpu_seconds(record.pid, writer)
        process_cpu = cpu_seconds(f"/proc/{record.pid}/stat")
        record.send_signal(signal.SIGINT)
        out, _ = record.communicate(timeout=60)
    finally:
        stop(sim)
        if os.path.exists(out_file):
            os.remove(out_file)
    if VERBOSE:
        print(out)
    devices = device_summaries(out)
    if record.returncode not in (0, 3) or len(devices) != 4:
        sys.exit(f"kelvo record failed ({record.returncode}):\n{out}")
    megabytes = sum(d["samples"] for d in devices) * SAMPLE_BYTES / 1e6
    return {"mb": megabytes, "writer_ms_per_mb": writer_cpu * 1e3 / megabytes,
            "process_ms_per_mb": process_cpu * 1e3 / megabytes, "min_rate": min(d["rate"] for d in devices),
            "dropped": sum(d["dropped"] + d["framing"] for d in devices)}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def subscriber_figures(text: str) -> list[dict[str, float]]:
    devices = []
    for line in re.finditer(r"(kelvo/\S+) +(\d+) messages +(\d+) samples +([\d.]+) samples/s +lost (\d+) messages\n"
                            r"  latency +median ([\d.]+) ms +p99 ([\d.]+) ms", text):
        devices.append({"samples": int(line[3]), "rate": float(line[4]), "lost": int(line[5]),
                        "median_ms": float(line[6]), "p99_ms": float(line[7])})
    return devices


def publish_round(build: str, seconds: float, hwm: int | None) -> dict[str, float]:
    # As fast as the simulator can make samples: far more than it can.
    sim, paths = start_sim(build, 10000000, 1000)
    kelvo = os.path.join(build, "cli/kelvo")
    endpoint = f"tcp://127.0.0.1:{free_port()}"
    try:
        subscriber = subprocess.Popen([kelvo, "subscribe", endpoint], stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, text=True)
        time.sleep(0.5)
        publisher = subprocess.Popen([kelvo, "publish", *paths, "--config", LAYOUT, "--bind", endpoint,
                                      *(["--hwm", str(hwm)] if hwm else [])], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        sender = find_thread(publisher.pid, "kelvo-sender")
        time.sleep(seconds)
        sender_cpu = cpu_seconds(f"/proc/{publisher.pid}/task/{sender}/stat")
        publisher_cpu = cpu_seconds(f"/proc/{publisher.pid}/stat")
        subscriber_cpu = cpu_seconds(f"/proc/{subscriber.pid}/stat")
        publisher.send_signal(signal.SIGINT)
        published, _ = publisher.communicate(timeout=60)
        # What is still on its way arrives meanwhile.
        time.sleep(1)
        subscriber.send_signal(signal.SIGINT)
        received, _ = subscriber.communicate(timeout=30)
    finally:
        stop(sim)
    if VERBOSE:
        print(published + received)
    sent = device_summaries(published)
    got = subscriber_figures(received)
    if publisher.returncode not in (0, 3) or len(sent) != 4 or len(got) != 4:
        sys.exit(f"publish ({publisher.returncode}) or subscribe failed:\n{published}\n{received}")
    sent_samples = sum(d["samples"] for d in sent)
    sent_mb = sent_samples * SAMPLE_BYTES / 1e6
    # What came from the devices: what was sent and what a full queue dropped.
    input_rate = sum(d["rate"] * (1 + d["dropped"] / d["samples"]) for d in sent if d["samples"])
    return {"in_mb_s": input_rate * SAMPLE_BYTES / 1e6,
            "sent_mb_s": sum(d["rate"] for d in sent) * SAMPLE_BYTES / 1e6,
            "out_mb_s": sum(d["rate"] for d in got) * SAMPLE_BYTES / 1e6,
            "delivered": sum(d["samples"] for d in got) / sent_samples if sent_samples else 0.0,
            "lost_messages": sum(d["lost"] for d in got),
            "publisher_dropped": sum(d["dropped"] for d in sent),
            "median_ms": sorted(d["median_ms"] for d in got)[len(got) // 2],
            "p99_ms": max(d["p99_ms"] for d in got),
            "sender_ms_per_mb": sender_cpu * 1e3 / sent_mb, "publisher_ms_per_mb": publisher_cpu * 1e3 / sent_mb,
            "subscriber_ms_per_mb": subscriber_cpu * 1e3 / sent_mb}


def load() -> str:
    return " ".join(open("/proc/loadavg").read().split()[:3])


def print_record_round(label: str, r: dict[str, float]) -> None:
    print(f"{label}: {r['mb']:7.1f} MB  writer {r['writer_ms_per_mb']:5.2f} ms CPU per MB  "
          f"process {r['process_ms_per_mb']:5.2f} ms CPU per MB  slowest device "
          f"{r['min_rate']:8.1f} samples/s  dropped {r['dropped']}  (load {load()})")


def record_totals(rounds: list[dict[str, float]]) -> tuple[float, float, int, bool]:
    """Writer and process ms per MB over all rounds, the samples dropped and
    whether every device kept its rate."""
    megabytes = sum(r["mb"] for r in rounds)
    writer = sum(r["writer_ms_per_mb"] * r["mb"] for r in rounds) / megabytes
    process = sum(r["process_ms_per_mb"] * r["mb"] for r in rounds) / megabytes
    # The rate is taken over the whole run, its start and end included.
    keeps_up = min(r["min_rate"] for r in rounds) >= 0.98 * RECORD_RATE
    return writer, process, sum(r["dropped"] for r in rounds), keeps_up


def run_record(args: argparse.Namespace) -> bool:
    if args.baseline_build:
        return run_record_against_baseline(args)
    rounds = []
    for n in range(args.rounds):
        rounds.append(record_round(args.build, args.seconds))
        print_record_round(f"round {n + 1}", rounds[-1])
    writer, process, dropped, keeps_up = record_totals(rounds)
    print(f"all rounds: writer {writer:.2f} ms CPU per MB, process {process:.2f} ms CPU per MB, "
          f"{dropped} samples dropped (target 0), every device >= 0.98 x {RECORD_RATE} samples/s: {keeps_up}")
    return dropped == 0 and keeps_up


def run_record_against_baseline(args: argparse.Namespace) -> bool:
    """Rounds of the two builds in turn, the first of each pair swapping, so
    that a machine getting busier or quieter weighs on both alike."""
    builds = {"baseline": args.baseline_build, "current": args.build}
    rounds: dict[str, list[dict[str, float]]] = {"baseline": [], "current": []}
    for n in range(args.rounds):
        for which in (("baseline", "current") if n % 2 == 0 else ("current", "baseline")):
            rounds[which].append(record_round(builds[which], args.seconds, sim_build=args.build))
            print_record_round(f"round {n + 1} {which:8}", rounds[which][-1])
    totals = {which: record_totals(r) for which, r in rounds.items()}
    for which, (writer, process, dropped, keeps_up) in totals.items():
        print(f"{which:8} ({builds[which]}): writer {writer:.2f} ms CPU per MB, process {process:.2f} ms CPU "
              f"per MB, {dropped} samples dropped, every device >= 0.98 x {RECORD_RATE} samples/s: {keeps_up}")
    ratio = totals["current"][0] / totals["baseline"][0]
    print(f"writer CPU per MB, current / baseline: {ratio:.3f} (target <= 1.10); process: "
          f"{totals['current'][1] / totals['baseline'][1]:.3f}")
    current_clean = totals["current"][2] == 0 and totals["current"][3]
    return ratio <= 1.10 and current_clean


def run_publish(args: argparse.Namespace) -> bool:
    rounds = []
    for n in range(args.rounds):
        r = publish_round(args.build, args.seconds, args.hwm)
        rounds.append(r)
        print(f"round {n + 1}: publisher input {r['in_mb_s']:6.2f} MB/s, sent {r['sent_mb_s']:6.2f} MB/s  subscriber {r['out_mb_s']:6.2f} MB/s  "
              f"ratio {r['out_mb_s'] / r['in_mb_s']:.3f}  delivered {r['delivered']:.4f} of the samples  "
              f"latency median {r['median_ms']:.3f} ms p99 {r['p99_ms']:.3f} ms  lost {r['lost_messages']} "
              f"messages  publisher dropped {r['publisher_dropped']}  CPU per MB sent: sender thread "
              f"{r['sender_ms_per_mb']:.2f} ms, publisher {r['publisher_ms_per_mb']:.2f} ms, subscriber "
              f"{r['subscriber_ms_per_mb']:.2f} ms  (load {load()})")
    ratio = min(r["out_mb_s"] / r["in_mb_s"] for r in rounds)
    medians = sorted(r["median_ms"] for r in rounds)
    print(f"all rounds: lowest subscriber/publisher ratio {ratio:.3f} (target >= 0.95), latency median "
          f"{medians[len(medians) // 2]:.3f} ms (median of the rounds), worst p99 "
          f"{max(r['p99_ms'] for r in rounds):.3f} ms")
    return ratio >= 0.95


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (cli/kelvo, sim/kelvo-sim)")
    parser.add_argument("--seconds", type=float, default=10.0, help="seconds per round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("which", choices=["record", "publish"])
    parser.add_argument("--hwm", type=int, help="publish: the publisher's --hwm (default its own)")
    parser.add_argument("--verbose", action="store_true", help="print the programs' summaries too")
    parser.add_argument("--baseline-build", metavar="DIR",
                        help="record: alternate rounds with DIR's kelvo and compare the writer's CPU per MB")
    args = parser.parse_args()
    if args.baseline_build and args.which != "record":
        parser.error("--baseline-build goes with record")
    global VERBOSE
    VERBOSE = args.verbose
    print(f"load average {load()}, {os.cpu_count()} cores")
    return 0 if (run_record if args.which == "record" else run_publish)(args) else 1


if __name__ == "__main__":
    sys.exit(main())
