#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks a recording split on command into FILE1 FILE2 ...: each file a
complete recording (the statistics at its end count its rows, no gaps),
each naming the next in next_file and the one before in previous_file, and
together every sample once: per device the index runs 0, 1, 2, ... from
file to file without a gap or a repeat. Prints per device "SERIAL ROWS
r1+r2+...", then a line "marker FILE TICKS SOURCE TEXT" per marker. Exits
1 with the reason on the first fault.

    checkFileChain.py FILE1 FILE2 ...
"""
import sys

import h5py
import numpy as np


def check(condition, message):
    if not condition:
        print("FAIL", message)
        sys.exit(1)


def text(value):
    return value.decode() if isinstance(value, bytes) else str(value)


files = sys.argv[1:]
rows = {}  # per device, the index of every file
markers = []
for k, name in enumerate(files):
    with h5py.File(name, "r") as f:
        root = f.attrs
        check(("previous_file" in root) == (k > 0), f"{name}: previous_file")
        check(("next_file" in root) == (k + 1 < len(files)), f"{name}: next_file")
        if k > 0:
            check(text(root["previous_file"]) == files[k - 1], f"{name}: previous_file {root['previous_file']}")
        if k + 1 < len(files):
            check(text(root["next_file"]) == files[k + 1], f"{name}: next_file {root['next_file']}")
        for device, g in f["devices"].items():
            index = g["index"][:]
            n = len(g["samples"])
            check(len(index) == n and len(g["time"]) == n, f"{name} {device}: lengths differ")
            check(g.attrs["stats"]["samples"] == n, f"{name} {device}: stats say {g.attrs['stats']['samples']} of {n}")
            check(len(g["gaps"]) == 0, f"{name} {device}: {len(g['gaps'])} gaps")
            check(len(g["marker_index"]) == len(f["markers"]["ticks"]), f"{name} {device}: marker_index")
            rows.setdefault(device, []).append(index)
        m = f["markers"]
        for ticks, source, words in zip(m["ticks"][()], m["source"][()], m["text"][()]):
            markers.append(f"marker {name} {ticks} {text(source)} {text(words)}")
for device, parts in sorted(rows.items()):
    index = np.concatenate(parts)
    check(np.array_equal(index, np.arange(len(index))), f"{device}: the files together are not 0, 1, 2, ...")
    check(all(len(p) > 0 for p in parts), f"{device}: a file without samples: {[len(p) for p in parts]}")
    print(device, len(index), "+".join(str(len(p)) for p in parts))
for line in markers:
    print(line)
