#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the files of 'kelvo record --split': STEM-0001.h5, STEM-0002.h5,
... numbered from 1 without a hole, each a recording of its own span of
sample time, and all of them together every sample once: per device the
index runs on from file to file without a gap or a repeat. Prints one line,
exits 1 with the reason on the first fault.

    checkSplit.py STEM SECONDS DEVICES [--at-least-files N]
"""
import argparse
import glob
import re
import sys

import h5py
import numpy as np

parser = argparse.ArgumentParser()
parser.add_argument("stem")
parser.add_argument("seconds", type=float)
parser.add_argument("devices", type=int)
parser.add_argument("--at-least-files", type=int, default=2)
args = parser.parse_args()


def check(condition, message):
    if not condition:
        print("FAIL", message)
        sys.exit(1)


names = sorted(glob.glob(glob.escape(args.stem) + "-[0-9][0-9][0-9][0-9].h5"))
numbers = [int(re.search(r"-(\d{4})\.h5$", n).group(1)) for n in names]
check(numbers == list(range(1, len(names) + 1)), f"the files are numbered {numbers}")
check(len(names) >= args.at_least_files, f"{len(names)} files")
span = round(args.seconds * 1e7)
rows = {}  # per device, the rows of every file
previous_end = None
for number, name in zip(numbers, names):
    with h5py.File(name, "r") as f:
        root = f.attrs
        for attribute in ("kelvo_version", "host_name", "start_time_utc", "tick_origin_utc", "tick_origin_unix_ns",
                          "stamp_spread_us"):
            check(attribute in root, f"{name}: root attribute {attribute} is missing")
        check(root["split_part"] == number and root["split_seconds"] == args.seconds, f"{name}: split attributes")
        start, end = int(root["split_start_ticks"]), int(root["split_end_ticks"])
        check(end - start == span, f"{name}: spans {end - start} ticks")
        check(previous_end is None or start == previous_end, f"{name}: begins at {start}, not {previous_end}")
        previous_end = end
        check("markers" in f and "ticks" in f["markers"], f"{name}: no markers")
        check(len(f["devices"]) == args.devices, f"{name}: {len(f['devices'])} devices")
        for device, g in f["devices"].items():
            a = g.attrs
            for attribute in ("stats", "clock_rate_hz", "start_stamps", "idn", "config"):
                check(attribute in a, f"{name} {device}: attribute {attribute} is missing")
            index, times, counter = g["index"][:], g["time"][:], g["counter"][:]
            n = len(g["samples"])
            check(len(index) == n and len(times) == n and len(counter) == n, f"{name} {device}: lengths differ")
            check(a["stats"]["samples"] == n, f"{name} {device}: stats say {a['stats']['samples']} of {n}")
            check(len(g["gaps"]) == 0 and "cause" in g["gaps"].dtype.names, f"{name} {device}: gaps")
            check((counter == index).all(), f"{name} {device}: the counter is not the index")
            ticks = np.round(times * 1e7)
            check(n == 0 or ticks.max() < end, f"{name} {device}: a sample after the span's end")
            check(n == 0 or number == 1 or ticks.min() >= start, f"{name} {device}: a sample before the span")
            rows.setdefault(device, []).append(index)
for device, parts in rows.items():
    index = np.concatenate(parts)
    check(np.array_equal(index, np.arange(len(index))), f"{device}: the files together are not 0, 1, 2, ...")
    check(all(len(p) > 0 for p in parts[:-1]), f"{device}: a file without samples: {[len(p) for p in parts]}")
print("ok", len(names), "files", {d: sum(len(p) for p in parts) for d, parts in rows.items()})
