#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Python's read() against a C program pulling with kelvoGetStreamingData.

Each round streams two devices of one simulator flat out for SECONDS, at the
same time: the C program (streamPull) reads one, this process reads the
other with kelvo's read() (decoded to float32). Running side by side, both
get the machine alike even while its load changes; the sides swap devices
from round to round. It prints both sides' bytes per second, CPU time per
megabyte of the process and of the reading thread alone (the rest is the
library's I/O thread, alike on both sides) and the samples the library
dropped because its queue was full; then the ratios against the targets:
Python delivers at least 0.9 times the C program's bytes per second, with at
most 1.2 times its CPU per byte. Exit status 1 when a target is missed.

    KELVO_LIBRARY=build/libkelvo.so.1 PYTHONPATH=python \\
        /usr/bin/python3 bench/pythonRead.py --build build [--seconds 5] [--rounds 2]
"""
from __future__ import annotations

import argparse
import os
import select
import subprocess
import sys
import time

import kelvo

LAYOUT = "CONFigure:DEVice 3"  # a counter and three 24-bit channels: 16 bytes a sample


def start_sim(build: str, devices: int) -> tuple[subprocess.Popen, list[str]]:
    # As fast as the simulator can make samples: far more than it can.
    sim = subprocess.Popen([os.path.join(build, "tools/sim/kelvo-sim"), "--devices", str(devices), "--rate",
                            "10000000", "--block", "1000"], stdout=subprocess.PIPE)
    out = b""
    while out.count(b"\n") < devices:
        ready, _, _ = select.select([sim.stdout], [], [], 10)
        if not ready:
            sys.exit("kelvo-sim printed no paths")
        out += os.read(sim.stdout.fileno(), 4096)
    return sim, out.decode().split()


def start_c(build: str, path: str, seconds: float) -> subprocess.Popen:
    return subprocess.Popen([os.path.join(build, "bench/streamPull"), path, str(seconds), LAYOUT],
                            stdout=subprocess.PIPE, text=True)


def finish_c(program: subprocess.Popen) -> tuple[int, float, float, int, float]:
    out, _ = program.communicate()
    if program.returncode != 0:
        sys.exit("streamPull failed")
    fields = out.split()
    return int(fields[0]), float(fields[1]), float(fields[2]), int(fields[3]), float(fields[4])


def python_round(path: str, seconds: float) -> tuple[int, float, float, int, float]:
    with kelvo.open(path) as dev:
        dev.configure(LAYOUT)
        size = dev.sample_size
        samples = 0
        wall_start = time.monotonic()
        cpu_start = time.process_time()
        thread_start = time.thread_time()
        dev.start()
        while time.monotonic() - wall_start < seconds:
            samples += len(dev.read(timeout=0.5))
        cpu = time.process_time() - cpu_start
        thread_cpu = time.thread_time() - thread_start
        wall = time.monotonic() - wall_start
        dropped = dev.stats["samplesDropped"]
    return samples * size, wall, cpu, dropped, thread_cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build", help="the build folder (kelvo-sim, bench/streamPull)")
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds per side and round")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()

    totals = {"C": [0, 0.0, 0.0, 0, 0.0], "Python": [0, 0.0, 0.0, 0, 0.0]}
    for round_number in range(args.rounds):
        sim, paths = start_sim(args.build, 2)
        c_path, python_path = paths if round_number % 2 == 0 else paths[::-1]
        try:
            c_program = start_c(args.build, c_path, args.seconds)
            python_figures = python_round(python_path, args.seconds)
            figures = {"C": finish_c(c_program), "Python": python_figures}
        finally:
            sim.terminate()
            sim.wait()
        for side in ("C", "Python"):
            got = figures[side]
            for k in range(5):
                totals[side][k] += got[k]
            print(f"round {round_number + 1} {side:6s}: {got[0] / got[1] / 1e6:7.2f} MB/s  "
                  f"{got[2] / (got[0] / 1e6) * 1e3:6.2f} ms CPU per MB (reading thread {got[4] / (got[0] / 1e6) * 1e3:.2f})  "
                  f"{got[3]} samples dropped by a full queue")

    def rate(side: str) -> float:
        return totals[side][0] / totals[side][1]

    def cpu_per_byte(side: str) -> float:
        return totals[side][2] / totals[side][0]

    speed = rate("Python") / rate("C")
    cost = cpu_per_byte("Python") / cpu_per_byte("C")
    def thread_per_byte(side: str) -> float:
        return totals[side][4] / totals[side][0]

    for side in ("C", "Python"):
        print(f"all rounds {side:6s}: {rate(side) / 1e6:7.2f} MB/s  {cpu_per_byte(side) * 1e9:6.2f} ms CPU per MB "
              f"(reading thread {thread_per_byte(side) * 1e9:.2f}, the library's I/O thread the rest)")
    print(f"Python/C bytes per second: {speed:.3f} (target >= 0.9)")
    print(f"Python/C CPU per byte:     {cost:.3f} (target <= 1.2)")
    return 0 if speed >= 0.9 and cost <= 1.2 else 1


if __name__ == "__main__":
    sys.exit(main())
