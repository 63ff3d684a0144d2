#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Markers from `kelvo mark` into a recording: how soon they are stored, and
whether they keep the sender's time.

How to rerun (from the repository, after
``cmake --build build --target kelvo_cli kelvo-sim kelvo-busd kelvo_capture``)::

    /usr/bin/python3 bench/markerBench.py --build build [--markers 50] [bus] [zmq]

For each way (bus: ``kelvo mark TEXT`` over the message bus, with a
kelvo-busd of its own; zmq: ``kelvo mark --to tcp://127.0.0.1:PORT TEXT``)
this process records one simulated device (1000 samples/s) into an HDF5 file
with a ``kelvo.Capture`` that takes markers from there, and runs ``kelvo
mark`` MARKERS times, one after the other. A marker counts as stored once the
session handed it to the recording's sink: its ``marker_stats["received"]``
rises, watched every 0.2 ms from the moment ``kelvo mark`` is started (the
file itself gets the markers at its next once-a-second flush). The latency
is that moment less the tick `kelvo mark` says it sent (the bus message's
send stamp; the second ZeroMQ frame), on the one clock of the machine: it
holds the sender's connecting and sending, the session taking the message
(the bus is looked at every millisecond; ZeroMQ wakes it) and its thread
handing it on. It prints the median and the maximum, then, from the file,
how many markers were stored and the largest difference between a stored
tick and the one sent (target: every marker once, in order, error 0).
Exit status 1 when that target is missed. The launch of each `kelvo mark`
(some milliseconds) is not part of the latency.
"""
from __future__ import annotations

import argparse
import os
import re
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--build", default="build")
parser.add_argument("--markers", type=int, default=50)
parser.add_argument("ways", nargs="*", metavar="bus|zmq", default=["bus", "zmq"])
args = parser.parse_args()
if not set(args.ways) <= {"bus", "zmq"}:
    parser.error("the ways are bus and zmq")
build = os.path.abspath(args.build)
os.environ.setdefault("KELVO_LIBRARY", os.path.join(build, "libkelvo.so.1"))
os.environ.setdefault("KELVO_CAPTURE_LIBRARY", os.path.join(build, "capture/libkelvo-capture.so.1"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
KELVO = os.path.join(build, "cli/kelvo")


def start_printing(argv: list[str], lines: int) -> tuple[subprocess.Popen, list[str]]:
    """A program that prints `lines` lines once it is ready, and those lines."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE)
    out = b""
    while out.count(b"\n") < lines:
        ready, _, _ = select.select([process.stdout], [], [], 10)
        chunk = os.read(process.stdout.fileno(), 4096) if ready else b""
        if not chunk:
            process.kill()
            sys.exit(f"{argv[0]} did not start")
        out += chunk
    return process, out.decode().splitlines()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(way: str, device: str, folder: str) -> bool:
    import h5py

    import kelvo

    source = "bus" if way == "bus" else f"tcp://127.0.0.1:{free_port()}"
    to = [] if way == "bus" else ["--to", source]
    path = os.path.join(folder, f"{way}.h5")
    latencies, sent = [], []
    with kelvo.Capture([device], config=["CONFigure:DEVice 3"], hdf5=path, markers=source) as capture:
        capture.start()
        for n in range(args.markers):
            before = capture.marker_stats["received"]
            marking = subprocess.Popen([KELVO, "mark", *to, f"marker {n}"], stdout=subprocess.PIPE, text=True)
            while capture.marker_stats["received"] == before and marking.poll() is None:
                time.sleep(0.0002)
            stored = round(kelvo.now() * kelvo.TICKS_PER_SECOND)
            out, _ = marking.communicate(timeout=10)
            match = re.search(r"marked at tick (\d+)", out)
            if marking.returncode != 0 or match is None or capture.marker_stats["received"] == before:
                print(f"{way}: marker {n} was not delivered: {out}")
                return False
            sent.append(int(match.group(1)))
            latencies.append((stored - sent[-1]) / 1e4)
        capture.stop()
    with h5py.File(path, "r") as f:
        ticks = [int(t) for t in f["markers"]["ticks"][:]]
        texts = [t.decode() if isinstance(t, bytes) else t for t in f["markers"]["text"][:]]
    error = max(abs(a - b) for a, b in zip(ticks, sent)) if len(ticks) == len(sent) else None
    in_order = texts == [f"marker {n}" for n in range(args.markers)]
    print(f"{way:4} latency median {statistics.median(latencies):7.3f} ms  max {max(latencies):7.3f} ms  "
          f"stored {len(ticks)}/{args.markers}{'' if in_order else ' (not in order)'}  "
          f"time error {error} ticks")
    return error == 0 and in_order


def main() -> int:
    sim, paths = start_printing([os.path.join(build, "sim/kelvo-sim"), "--devices", "1", "--rate", "1000",
                                 "--block", "50"], 1)
    busd = None
    try:
        if "bus" in args.ways:
            # Before this process loads the library, so that it joins this bus.
            busd, _ = start_printing([os.path.join(build, "tools/busd/kelvo-busd")], 1)
        with tempfile.TemporaryDirectory(prefix="kelvo-markers-") as folder:
            met = [run(way, paths[0], folder) for way in args.ways]
        return 0 if all(met) else 1
    finally:
        for process in (busd, sim):
            if process is not None:
                process.terminate()
                process.wait()


if __name__ == "__main__":
    sys.exit(main())
