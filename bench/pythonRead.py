#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Python's read() against C programs reading the same kind of stream at the same time.

How to rerun (from the repository, after
``cmake --build build-bench --target kelvo kelvo-sim streamPull``)::

    KELVO_LIBRARY=build-bench/libkelvo.so.1 PYTHONPATH=python \\
        /usr/bin/python3 bench/pythonRead.py --build build-bench [--seconds 10] [--rounds 5]
    KELVO_LIBRARY=build-bench/libkelvo.so.1 PYTHONPATH=python \\
        /usr/bin/python3 bench/pythonRead.py --build build-bench --flat-out [--seconds 5] [--rounds 4]

Paced (the default): one simulator paces three devices at about 1 MB/s each
(CONFigure:DEVice 3, 16-byte samples at 62500 Hz, blocks of 625: a block
every 10 ms), and in each round three readers run side by side for SECONDS,
each on its own device, so that all three get the machine alike while its
load changes; the devices rotate among them from round to round:

  Python   this process, ``dev.read(timeout=0.5)`` in a loop, as a user
           writes it (one kelvoReadSamples call that sleeps, then one that
           takes what is left, then the float32 decoding);
  C wait   streamPull looping on kelvoReadSamples, sleeping in the library;
  C poll   streamPull looping on kelvoGetStreamingData with a 1 ms sleep
           whenever nothing came, as the CLI used to.

The C programs decode each batch to float32 as read() does (``--c-raw``: they
do not). For each reader and round it prints MB/s, CPU time per MB of the
whole process, of the reading thread alone and of the library's I/O thread,
and library calls (Python: reads) per second; then each reader's medians over
the rounds and the medians of the per-round ratios of process CPU per MB
against the targets: Python / C wait <= 1.1, C wait / C poll <= 1.0.

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

    def per_mb(self, seconds: float) -> float:
        """`seconds` of CPU per MB delivered, in ms."""
        return seconds / (self.bytes / 1e6) * 1e3 if self.bytes else float("inf")


def start_sim(build: str, devices: int, rate: int, block: int) -> tuple[subprocess.Popen, list[str]]:
    sim = subprocess.Popen([os.path.join(build, "tools/sim/kelvo-sim"), "--devices", str(devices), "--rate",
                            str(rate), "--block", str(block)], stdout=subprocess.PIPE)
    out = b""
    while out.count(b"\n") < devices:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        if not ready:
            sys.exit("kelvo-sim printed no paths")
        out += os.read(sim.stdout.fileno(), 4096)
    return sim, out.decode().split()


def start_c(build: str, path: str, seconds: float, mode: str, decode: bool) -> subprocess.Popen:
    command = [os.path.join(build, "bench/streamPull"), path, str(seconds), LAYOUT, mode]
    return subprocess.Popen(command + (["decode"] if decode else []), stdout=subprocess.PIPE, text=True)


def finish_c(program: subprocess.Popen) -> Figures:
    out, _ = program.communicate()
    if program.returncode != 0:
        sys.exit("streamPull failed")
    f = out.split()
    return Figures(int(f[0]), float(f[1]), float(f[2]), int(f[3]), float(f[4]), float(f[5]), int(f[6]))


def io_thread_clock() -> int:
    """The CPU clock of the library's I/O thread (kelvo_lowlevel.h's threadId)."""
    thread = ctypes.c_ulong.in_dll(_library.library(), "threadId").value
    return time.pthread_getcpuclockid(thread)


def python_round(path: str, seconds: float) -> Figures:
    io_clock = io_thread_clock()
    with kelvo.open(path) as dev:
        dev.configure(LAYOUT)
        size = dev.sample_size
        samples = reads = 0
        wall_start = time.monotonic()
        cpu_start = time.process_time()
        thread_start = time.thread_time()
        io_start = time.clock_gettime(io_clock)
        dev.start()
        while time.monotonic() - wall_start < seconds:
            samples += len(dev.read(timeout=0.5))
            reads += 1
        cpu = time.process_time() - cpu_start
        thread_cpu = time.thread_time() - thread_start
        io_cpu = time.clock_gettime(io_clock) - io_start
        wall = time.monotonic() - wall_start
        dropped = dev.stats["samplesDropped"]
    return Figures(samples * size, wall, cpu, dropped, thread_cpu, io_cpu, reads)


def run_round(args: argparse.Namespace, sides: list[tuple[str, str | None]], rate: int, block: int,
              round_number: int) -> dict[str, Figures]:
    """All `sides` side by side, each on its own device; a side's mode None is this process."""
    sim, paths = start_sim(args.build, len(sides), rate, block)
    shift = round_number % len(sides)
    paths = paths[shift:] + paths[:shift]
    try:
        programs = {name: start_c(args.build, path, args.seconds, mode, not args.c_raw)
                    for (name, mode), path in zip(sides, paths) if mode is not None}
        python_path = next(path for (_, mode), path in zip(sides, paths) if mode is None)
        figures = {"Python": python_round(python_path, args.seconds)}
        figures.update({name: finish_c(program) for name, program in programs.items()})
    finally:
        sim.terminate()
        sim.wait()
    return {name: figures[name] for name, _ in sides}


def describe(label: str, f: Figures) -> str:
    return (f"{label:22s} {f.bytes / f.wall / 1e6:7.2f} MB/s  CPU per MB: process {f.per_mb(f.cpu):6.2f} ms, "
            f"reading thread {f.per_mb(f.thread_cpu):6.2f}, I/O thread {f.per_mb(f.io_cpu):6.2f}  "
            f"{f.calls / f.wall:7.0f} calls/s  {f.dropped} dropped")


def run(args: argparse.Namespace, sides: list[tuple[str, str | None]], rate: int,
        block: int) -> dict[str, list[Figures]]:
    rounds: dict[str, list[Figures]] = {name: [] for name, _ in sides}
    for round_number in range(args.rounds):
        for name, figures in run_round(args, sides, rate, block, round_number).items():
            rounds[name].append(figures)
            print(describe(f"round {round_number + 1} {name}", figures), flush=True)
    for name, runs in rounds.items():
        print(f"median {name:15s} {statistics.median(f.bytes / f.wall for f in runs) / 1e6:7.2f} MB/s  "
              f"CPU per MB: process {statistics.median(f.per_mb(f.cpu) for f in runs):6.2f} ms, "
              f"reading thread {statistics.median(f.per_mb(f.thread_cpu) for f in runs):6.2f}, "
              f"I/O thread {statistics.median(f.per_mb(f.io_cpu) for f in runs):6.2f}  "
              f"{statistics.median(f.calls / f.wall for f in runs):7.0f} calls/s  "
              f"{sum(f.dropped for f in runs)} dropped in all")
    return rounds


def ratio(rounds: dict[str, list[Figures]], top: str, bottom: str, measure: str) -> float:
    """The median over rounds of top's / bottom's `measure` (a Figures field) per MB, taken within each round."""
    return statistics.median(getattr(a, measure) / a.bytes / (getattr(b, measure) / b.bytes)
                             for a, b in zip(rounds[top], rounds[bottom]))


def paced(args: argparse.Namespace) -> bool:
    print(f"paced: {LAYOUT}, {PACED_RATE} Hz, blocks of {PACED_BLOCK} "
          f"({PACED_RATE * 16 / 1e6:.1f} MB/s per device), {args.rounds} rounds of {args.seconds:g} s"
          f"{', C without decoding' if args.c_raw else ''}")
    rounds = run(args, [("Python", None), ("C wait", "wait"), ("C poll", "poll")], PACED_RATE, PACED_BLOCK)
    python_wait = ratio(rounds, "Python", "C wait", "cpu")
    wait_poll = ratio(rounds, "C wait", "C poll", "cpu")
    print(f"Python / C wait, process CPU per MB: {python_wait:.3f} (target <= 1.1); reading thread "
          f"{ratio(rounds, 'Python', 'C wait', 'thread_cpu'):.3f}")
    print(f"C wait / C poll, process CPU per MB: {wait_poll:.3f} (target <= 1.0); reading thread "
          f"{ratio(rounds, 'C wait', 'C poll', 'thread_cpu'):.3f}")
    return python_wait <= 1.1 and wait_poll <= 1.0


def flat_out(args: argparse.Namespace) -> bool:
    print(f"flat out: {LAYOUT}, as fast as the simulator makes samples, {args.rounds} rounds of {args.seconds:g} s")
    rounds = run(args, [("Python", None), ("C wait", "wait")], FLAT_RATE, FLAT_BLOCK)
    speed = statistics.median(p.bytes / p.wall / (c.bytes / c.wall) for p, c in zip(rounds["Python"], rounds["C wait"]))
    cost = ratio(rounds, "Python", "C wait", "cpu")
    print(f"Python / C wait bytes per second: {speed:.3f} (target >= 0.9)")
    print(f"Python / C wait CPU per byte:     {cost:.3f} (target <= 1.2)")
    return speed >= 0.9 and cost <= 1.2


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (kelvo-sim, bench/streamPull)")
    parser.add_argument("--seconds", type=float, default=10.0, help="seconds per reader and round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--flat-out", action="store_true", help="stream as fast as the simulator can, not paced")
    parser.add_argument("--c-raw", action="store_true", help="the C programs do not decode what they read")
    args = parser.parse_args()
    met = flat_out(args) if args.flat_out else paced(args)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
