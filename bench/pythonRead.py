#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Python's read() against C programs reading the same kind of stream at the same time.

How to rerun (from the repository, after
``cmake --build build-bench --target kelvo kelvo-sim streamPull``)::

    KELVO_LIBRARY=build-bench/libkelvo.so.1 PYTHONPATH=python \\
        /usr/bin/python3 bench/pythonRead.py --build build-bench [--seconds 10] [--rounds 5]
    KELVO_LIBRARY=build-bench/libkelvo.so.1 PYTHONPATH=python \\
        /usr/bin/python3 bench/pythonRead.py --build build-bench --flat-out [--seconds 5] [--rounds 4]

Paced (the default): one simulator paces four devices at about 1 MB/s each
(CONFigure:DEVice 3, 16-byte samples at 62500 Hz, blocks of 625: a block
every 10 ms), and in each round four reader processes run side by side for
SECONDS, each on its own device, so that all get the machine alike while its
load changes; the devices rotate among them from round to round:

  Python read()      this script as a reader process, ``dev.read(timeout=0.5)``
                     in a loop as a user writes it: what is queued, waiting
                     for the first samples (one kelvoReadSamples call that
                     sleeps, one that takes what is left, the float32 decoding);
  Python read(6250)  ``dev.read(6250)`` in a loop: 0.1 s of samples a read;
  C wait             streamPull looping on kelvoReadSamples, sleeping in the
                     library, then taking what is queued;
  C poll             streamPull looping on kelvoGetStreamingData with a 1 ms
                     sleep whenever nothing came, as the CLI used to.

The C programs decode each batch to float32 as read() does (``--c-raw``: they
do not). For each reader and round it prints MB/s, CPU time per MB of the
whole process, of the reading thread alone and of the library's I/O thread,
library calls (Python: reads) and sleeps of the reading thread (voluntary
context switches) per second; then each reader's medians over
the rounds and the medians (and spread) of the per-round ratios of process CPU
per MB, against the targets: Python read(count) / C wait <= 1.1 (a batch of
0.1 s, one wake-up per batch; read() without a count, one Python call per
chunk, is shown beside it), C wait / C poll <= 1.0.

Flat out (``--flat-out``): two devices of one simulator stream as fast as it
can make samples, Python's read() on one and streamPull in wait mode on the
other; targets: Python's bytes per second at least 0.9 times C's, with at
most 1.2 times its CPU per byte.

Exit status 1 when a target is missed. The machine is noisy: use several
rounds; the medians, not one round, are the figures.
"""
from __future__ import annotations

import argparse
import ctypes
import os
import resource
import select
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass

import kelvo
from kelvo import _library

LAYOUT = "CONFigure:DEVice 3"  # a counter and three 24-bit channels: 16 bytes a sample
PACED_RATE, PACED_BLOCK = 62500, 625  # 62500 x 16 bytes: 1 MB/s, a block every 10 ms
FLAT_RATE, FLAT_BLOCK = 10000000, 1000  # far more than the simulator can make


@dataclass
class Figures:
    """One reader's run: what it got and the CPU seconds it spent."""

    bytes: int
    wall: float
    cpu: float
    dropped: int
    thread_cpu: float
    io_cpu: float
    calls: int
    sleeps: int

    def per_mb(self, seconds: float) -> float:
        """`seconds` of CPU per MB delivered, in ms."""
        return seconds / (self.bytes / 1e6) * 1e3 if self.bytes else float("inf")


def start_sim(build: str, devices: int, rate: int, block: int) -> tuple[subprocess.Popen[bytes], list[str]]:
    sim = subprocess.Popen([os.path.join(build, "sim/kelvo-sim"), "--devices", str(devices), "--rate",
                            str(rate), "--block", str(block)], stdout=subprocess.PIPE)
    assert sim.stdout is not None
    out = b""
    while out.count(b"\n") < devices:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        if not ready:
            sys.exit("kelvo-sim printed no paths")
        out += os.read(sim.stdout.fileno(), 4096)
    return sim, out.decode().split()


def io_thread_clock() -> int:
    """The CPU clock of the library's I/O thread (kelvo_lowlevel.h's threadId)."""
    thread = ctypes.c_ulong.in_dll(_library.library(), "threadId").value
    return time.pthread_getcpuclockid(thread)


def python_reader(path: str, seconds: float, count: int | None) -> Figures:
    """Read `path` as a user's loop does: ``dev.read(timeout=0.5)``, or ``dev.read(count)``."""
    io_clock = io_thread_clock()
    with kelvo.open(path) as dev:
        dev.configure(LAYOUT)
        size = dev.sample_size
        samples = reads = 0
        wall_start = time.monotonic()
        cpu_start = time.process_time()
        thread_start = time.thread_time()
        io_start = time.clock_gettime(io_clock)
        sleeps_start = resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw
        dev.start()
        while time.monotonic() - wall_start < seconds:
            samples += len(dev.read(timeout=0.5) if count is None else dev.read(count))
            reads += 1
        cpu = time.process_time() - cpu_start
        thread_cpu = time.thread_time() - thread_start
        io_cpu = time.clock_gettime(io_clock) - io_start
        sleeps = resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw - sleeps_start
        wall = time.monotonic() - wall_start
        dropped = dev.stats["samplesDropped"]
    return Figures(samples * size, wall, cpu, dropped, thread_cpu, io_cpu, reads, sleeps)


def start_reader(args: argparse.Namespace, path: str, how: str) -> subprocess.Popen[str]:
    """A reader process: streamPull for "wait" and "poll", this script for "python" and "python:COUNT"."""
    if how.startswith("python"):
        count = how.partition(":")[2]
        command = [sys.executable, os.path.abspath(__file__), "--reader", path, "--seconds", str(args.seconds)]
        return subprocess.Popen(command + (["--count", count] if count else []), stdout=subprocess.PIPE, text=True)
    command = [os.path.join(args.build, "bench/streamPull"), path, str(args.seconds), LAYOUT, how]
    return subprocess.Popen(command + ([] if args.c_raw else ["decode"]), stdout=subprocess.PIPE, text=True)


def finish_reader(program: subprocess.Popen[str]) -> Figures:
    out, _ = program.communicate()
    if program.returncode != 0:
        sys.exit(f"reader {program.args!r} failed")
    f = out.split()
    return Figures(int(f[0]), float(f[1]), float(f[2]), int(f[3]), float(f[4]), float(f[5]), int(f[6]), int(f[7]))


def run_round(args: argparse.Namespace, sides: list[tuple[str, str]], rate: int, block: int,
              round_number: int) -> dict[str, Figures]:
    """All `sides` (name, how it reads) side by side, each a process on its own device."""
    sim, paths = start_sim(args.build, len(sides), rate, block)
    shift = round_number % len(sides)
    paths = paths[shift:] + paths[:shift]
    try:
        programs = {name: start_reader(args, path, how) for (name, how), path in zip(sides, paths)}
        return {name: finish_reader(program) for name, program in programs.items()}
    finally:
        sim.terminate()
        sim.wait()


def describe(label: str, f: Figures) -> str:
    return (f"{label:27s} {f.bytes / f.wall / 1e6:6.2f} MB/s  CPU per MB: process {f.per_mb(f.cpu):6.2f} ms, "
            f"reading thread {f.per_mb(f.thread_cpu):6.2f}, I/O thread {f.per_mb(f.io_cpu):5.2f}  "
            f"{f.calls / f.wall:5.0f} calls/s  {f.sleeps / f.wall:5.0f} sleeps/s  {f.dropped} dropped")


def run(args: argparse.Namespace, sides: list[tuple[str, str]], rate: int, block: int) -> dict[str, list[Figures]]:
    rounds: dict[str, list[Figures]] = {name: [] for name, _ in sides}
    for round_number in range(args.rounds):
        for name, figures in run_round(args, sides, rate, block, round_number).items():
            rounds[name].append(figures)
            print(describe(f"round {round_number + 1} {name}", figures), flush=True)
    for name, runs in rounds.items():
        print(f"median {name:20s} {statistics.median(f.bytes / f.wall for f in runs) / 1e6:6.2f} MB/s  "
              f"CPU per MB: process {statistics.median(f.per_mb(f.cpu) for f in runs):6.2f} ms, "
              f"reading thread {statistics.median(f.per_mb(f.thread_cpu) for f in runs):6.2f}, "
              f"I/O thread {statistics.median(f.per_mb(f.io_cpu) for f in runs):5.2f}  "
              f"{statistics.median(f.calls / f.wall for f in runs):5.0f} calls/s  "
              f"{statistics.median(f.sleeps / f.wall for f in runs):5.0f} sleeps/s  "
              f"{sum(f.dropped for f in runs)} dropped in all")
    return rounds


def ratio(rounds: dict[str, list[Figures]], top: str, bottom: str, measure: str) -> tuple[float, float, float]:
    """top's / bottom's `measure` (a Figures field) per MB, taken within each round: median, lowest, highest."""
    ratios = [getattr(a, measure) / a.bytes / (getattr(b, measure) / b.bytes)
              for a, b in zip(rounds[top], rounds[bottom])]
    return statistics.median(ratios), min(ratios), max(ratios)


def print_ratio(rounds: dict[str, list[Figures]], top: str, bottom: str, target: str) -> float:
    process, low, high = ratio(rounds, top, bottom, "cpu")
    thread = ratio(rounds, top, bottom, "thread_cpu")[0]
    print(f"{top + ' / ' + bottom:29s} CPU per MB: process {process:.3f} (rounds {low:.3f} to {high:.3f}; "
          f"target {target}), reading thread {thread:.3f}")
    return process


def paced(args: argparse.Namespace) -> bool:
    print(f"paced: {LAYOUT}, {PACED_RATE} Hz, blocks of {PACED_BLOCK} "
          f"({PACED_RATE * 16 / 1e6:.1f} MB/s per device), {args.rounds} rounds of {args.seconds:g} s"
          f"{', C without decoding' if args.c_raw else ''}")
    count = PACED_RATE // 10
    sides = [("Python read()", "python"), (f"Python read({count})", f"python:{count}"), ("C wait", "wait"),
             ("C poll", "poll")]
    rounds = run(args, sides, PACED_RATE, PACED_BLOCK)
    # A stream is read in batches: read(count) sleeps in the library until
    # the whole batch is there. read() without a count hands out each chunk
    # as it comes, one Python call per chunk, and has no target.
    python_wait = print_ratio(rounds, f"Python read({count})", "C wait", "<= 1.1")
    print_ratio(rounds, "Python read()", "C wait", "none")
    wait_poll = print_ratio(rounds, "C wait", "C poll", "<= 1.0")
    return python_wait <= 1.1 and wait_poll <= 1.0


def flat_out(args: argparse.Namespace) -> bool:
    print(f"flat out: {LAYOUT}, as fast as the simulator makes samples, {args.rounds} rounds of {args.seconds:g} s"
          f"{', C without decoding' if args.c_raw else ''}")
    rounds = run(args, [("Python read()", "python"), ("C wait", "wait")], FLAT_RATE, FLAT_BLOCK)
    speed = statistics.median(p.bytes / p.wall / (c.bytes / c.wall)
                              for p, c in zip(rounds["Python read()"], rounds["C wait"]))
    print(f"Python read() / C wait        bytes per second: {speed:.3f} (target >= 0.9)")
    cost = print_ratio(rounds, "Python read()", "C wait", "<= 1.2")
    return speed >= 0.9 and cost <= 1.2


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (kelvo-sim, bench/streamPull)")
    parser.add_argument("--seconds", type=float, default=10.0, help="seconds per reader and round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--flat-out", action="store_true", help="stream as fast as the simulator can, not paced")
    parser.add_argument("--c-raw", action="store_true", help="the C programs do not decode what they read")
    # The Python readers are processes of this script, as the C ones are of streamPull.
    parser.add_argument("--reader", metavar="DEVICE", help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.reader:
        f = python_reader(args.reader, args.seconds, args.count)
        print(f.bytes, f.wall, f.cpu, f.dropped, f.thread_cpu, f.io_cpu, f.calls, f.sleeps)
        return 0
    met = flat_out(args) if args.flat_out else paced(args)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
