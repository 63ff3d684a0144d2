#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Follows a recording of 'kelvo record' while it is written, as a SWMR
reader, until the recorder (process PID) ended; then, still holding the
file, checks that its end was written, and reads it again as a plain reader.
Every look at it must be consistent: per device each index from 0 on once,
the counter equal to it and the times rising. Prints one line, exits 1 with
the reason on the first fault.

    followRecording.py FILE PID DEVICES
"""
import os
import sys
import time

import h5py
import numpy as np

path, pid, devices = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])


def fail(message):
    print("FAIL", message)
    sys.exit(1)


def running():
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def open_following():
    """The file once the recorder writes it in SWMR mode."""
    while running():
        try:
            return h5py.File(path, "r", swmr=True)
        except OSError:
            time.sleep(0.05)
    fail("the recorder ended before the file could be followed")


def look(f, seen, following=True):
    """The rows every dataset of each device has, checked; their total."""
    total = 0
    for name, g in f["devices"].items():
        sets = [g[k] for k in ("index", "time", "counter", "samples")]
        for s in sets if following else []:
            s.refresh()
        n = min(len(s) for s in sets)
        index, times, counter = (s[:n] for s in sets[:3])
        if not np.array_equal(index, np.arange(n)):
            fail(f"{name}: the index of {n} rows is not 0, 1, 2, ...")
        if not np.array_equal(counter, index):
            fail(f"{name}: the counter is not the index")
        if n > 1 and not (np.diff(times) > 0).all():
            fail(f"{name}: the time goes back")
        if n < seen.get(name, 0):
            fail(f"{name}: {n} rows after {seen[name]}")
        seen[name] = n
        total += n
    return total


f = open_following()
if len(f["devices"]) != devices:
    fail(f"{len(f['devices'])} device groups")
seen, looks, growths, last = {}, 0, 0, 0
while running():
    total = look(f, seen)
    looks += 1
    growths += total > last
    last = total
    time.sleep(0.1)
if growths < 2:
    fail(f"the recording grew {growths} times in {looks} looks")
f.close()
with h5py.File(path, "r") as f:
    for name, g in f["devices"].items():
        n = len(g["samples"])
        if "stats" not in g.attrs or g.attrs["stats"]["samples"] != n:
            fail(f"{name}: no stats of its {n} samples at the end")
        if n < seen[name]:
            fail(f"{name}: {n} samples at the end, {seen[name]} followed")
    look(f, {}, following=False)
print("followed", looks, "looks", growths, "growths", last, "samples")
