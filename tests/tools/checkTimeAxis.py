#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks a subscriber's recording of publishers whose clocks are offset
by known amounts (time namespaces) against the simulators' truth logs.

    checkTimeAxis.py FILE --truth PATH=LOG ... --offset ENDPOINT=SECONDS ...
                     [--same-marker TEXT --sent-ticks T] [--summary JSON]

Every device's `time` is on the subscriber's clock: after the first 2 s
each block's first sample lies where the truth log (the subscriber's
clock: the simulators run beside it) puts it, but for the delay of the
sample clock's fit, small and constant. `publisher_ticks` are the
publisher's own clock, the offset apart. Every /clock_offsets estimate is
the namespace's offset within the tolerance, its drift near 0 (the
clocks are one), and so is the --json summary's last estimate of each
publisher. With --same-marker, the markers of that text (one per
publisher, sent at one moment, T) lie on the subscriber's axis just after
T: each publisher timed its own as it came.
Prints one line per device and per publisher.
"""
import argparse
import json
import sys

import h5py
import numpy as np

parser = argparse.ArgumentParser()
parser.add_argument("file")
parser.add_argument("--truth", action="append", default=[], metavar="PATH=LOG")
parser.add_argument("--offset", action="append", default=[], metavar="ENDPOINT=SECONDS")
parser.add_argument("--same-marker")
parser.add_argument("--sent-ticks", type=int, help="when the --same-marker markers were sent, on this clock")
parser.add_argument("--summary", help="the subscriber's --json summary")
parser.add_argument("--tolerance-us", type=float, default=1000.0, help="for the offsets")
args = parser.parse_args()
truths = dict(t.split("=", 1) for t in args.truth)
offsets = {e: float(s) for e, s in (o.rsplit("=", 1) for o in args.offset)}
failed = False


def check(condition, message):
    global failed
    if not condition:
        print("FAIL", message)
        failed = True


def check_device(name, g):
    a = g.attrs
    time, index, remote = g["time"][:], g["index"][:], g["publisher_ticks"][:]
    check(len(time) == len(index) == len(remote) == len(g["samples"]), f"{name}: dataset lengths differ")
    check((np.diff(index) == 1).all(), f"{name}: the index is not consecutive")
    endpoint = a["publisher"]
    offset = offsets.get(endpoint)
    check(offset is not None, f"{name}: publisher {endpoint} not among --offset")
    if offset is None or len(time) < 10:
        return
    settled = index >= index[0] + 2000
    apart = (remote[settled] - time[settled] * 1e7) / 1e7 - offset
    check(np.abs(apart).max() < args.tolerance_us * 1e-6,
          f"{name}: publisher_ticks and time are {offset} s {np.abs(apart).max() * 1e6:.0f} us off apart")
    points = np.array([[int(v) for v in line.split()] for line in open(truths[a["path"]]) if not line.startswith("#")])
    points = points[(points[:, 0] >= index[0]) & (points[:, 0] <= index[-1])]
    points = points[points[:, 1] >= points[0, 1] + 2e7]
    check(len(points) >= 10, f"{name}: the truth log covers too little of the recording")
    position = np.searchsorted(index, points[:, 0])
    delay = (time[position] * 1e7 - points[:, 1]) / 1e4  # ms
    spread = delay.max() - delay.min()
    check(-1 < np.median(delay) < 5, f"{name}: the times are {np.median(delay):.3f} ms off the truth")
    check(spread < 2, f"{name}: the times stray from the truth by {spread:.3f} ms")
    print("device", name, endpoint, f"delay {np.median(delay):.3f} ms", f"spread {spread:.3f} ms")


def check_clock(name, table):
    endpoint = table.attrs["publisher"]
    rows = table[()]
    check(len(rows) >= 2, f"{name}: {len(rows)} clock estimates")
    if endpoint not in offsets or len(rows) == 0:
        return
    error = rows["offset_ticks"] / 10 - offsets[endpoint] * 1e6  # us
    check(np.abs(error).max() < args.tolerance_us, f"{name}: an offset estimate is {np.abs(error).max():.0f} us off")
    check(np.abs(rows["drift_ppm"][-1]) < 2, f"{name}: the last drift estimate is {rows['drift_ppm'][-1]:.2f} ppm")
    check((rows["uncertainty_ticks"] > 0).all(), f"{name}: an uncertainty of 0")
    print("clock", name, endpoint, f"{len(rows)} estimates", f"median error {np.median(np.abs(error)):.1f} us",
          f"max error {np.abs(error).max():.1f} us", f"drift {rows['drift_ppm'][-1]:+.3f} ppm")


f = h5py.File(args.file, "r")
for name, g in f["devices"].items():
    check_device(name, g)
for name, table in f["clock_offsets"].items():
    check_clock(name, table)
if args.summary:
    with open(args.summary) as summary:
        publishers = json.load(summary)["publishers"]
    check(sorted(p["endpoint"] for p in publishers) == sorted(offsets), f"the summary names {publishers}")
    for p in publishers:
        if p["endpoint"] not in offsets:
            continue
        error = p["offset_us"] - offsets[p["endpoint"]] * 1e6
        check(abs(error) < args.tolerance_us, f"{p['endpoint']}: the summary's offset is {error:.0f} us off")
        check(abs(p["drift_ppm"]) < 2, f"{p['endpoint']}: the summary's drift is {p['drift_ppm']:.2f} ppm")
        check(0 < p["uncertainty_us"] < args.tolerance_us, f"{p['endpoint']}: uncertainty {p['uncertainty_us']} us")
        print("summary", p["endpoint"], f"offset error {error:.1f} us", f"uncertainty {p['uncertainty_us']:.1f} us",
              f"drift {p['drift_ppm']:+.3f} ppm")
if args.same_marker:
    m = f["markers"]
    texts = [t.decode() for t in m["text"][()]]
    ticks = [t for t, text in zip(m["ticks"][()], texts) if text == args.same_marker]
    publishers = {p.decode() for p, text in zip(m["publisher"][()], texts) if text == args.same_marker}
    check(len(ticks) == len(offsets) and len(publishers) == len(offsets),
          f"{len(ticks)} markers '{args.same_marker}' from {len(publishers)} publishers")
    if ticks:
        # A loaded machine may keep a publisher from its socket for a while.
        after = [(t - args.sent_ticks) / 1e4 for t in ticks]
        check(all(0 <= a < 50 for a in after), f"the markers lie {after} ms after they were sent")
        print("markers", " ".join(f"{a:.3f}" for a in after), "ms after they were sent")
sys.exit(1 if failed else 0)
