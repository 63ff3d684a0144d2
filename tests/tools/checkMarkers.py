#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the markers of a recording against what was sent and the truth.

    checkMarkers.py FILE EXPECTED.json [--truth PATH=LOG ...]

EXPECTED.json is a list of [ticks, text, source] in the order they were
sent, ticks being [earliest, latest] for a marker timed at its arrival;
/markers must hold exactly those, each once. For each device whose tty
PATH has a truth log (kelvo-sim --truth), the marker_index of every marker
that lies among the logged samples must be within one sample of the sample
truly nearest the marker's time, by the moments the simulator measured its
samples; it prints "truth SERIAL N of M", N markers checked so of M. Exit
status 1 on any mismatch.
"""
from __future__ import annotations

import argparse
import json
import sys

import h5py
import numpy as np

parser = argparse.ArgumentParser()
parser.add_argument("file")
parser.add_argument("expected")
parser.add_argument("--truth", action="append", default=[], metavar="PATH=LOG")
args = parser.parse_args()
truths = dict(t.split("=", 1) for t in args.truth)
failures = []


def text(value) -> str:
    return value.decode() if isinstance(value, bytes) else str(value)


def truly_nearest(log: str, ticks: int) -> int | None:
    """The stream index of the sample measured nearest `ticks`, from the
    blocks' first samples, each block's samples evenly spaced up to the
    next; None outside the logged samples."""
    with open(log) as lines:
        points = np.array([[int(v) for v in line.split()] for line in lines if not line.startswith("#")])
    index, measured = points[:, 0].astype(np.float64), points[:, 1].astype(np.float64)
    if not measured[0] <= ticks <= measured[-1]:
        return None
    return int(round(np.interp(ticks, measured, index)))


def matches(sent, stored) -> bool:
    ticks, text_sent, source = sent
    if isinstance(ticks, list):
        return ticks[0] <= stored[0] <= ticks[1] and (text_sent, source) == stored[1:]
    return (ticks, text_sent, source) == stored


with open(args.expected) as f:
    expected = json.load(f)
with h5py.File(args.file, "r") as f:
    m = f["markers"]
    stored = [(int(t), text(s), text(source)) for t, s, source in zip(m["ticks"][:], m["text"][:], m["source"][:])]
    if len(stored) != len(expected) or not all(matches(e, s) for e, s in zip(expected, stored)):
        failures.append(f"stored {stored}, sent {expected}")
    for serial, group in f["devices"].items():
        path = text(group.attrs["path"])
        if path not in truths:
            continue
        nearest = group["marker_index"][:]
        if len(nearest) != len(stored):
            failures.append(f"{serial}: {len(nearest)} marker_index rows for {len(stored)} markers")
            continue
        checked = 0
        for (ticks, _, _), recorded in zip(stored, nearest):
            truth = truly_nearest(truths[path], ticks)
            if truth is None:
                continue
            checked += 1
            if abs(int(recorded) - truth) > 1:
                failures.append(f"{serial}: the marker at {ticks} is placed at sample {recorded}, truly {truth}")
        print("truth", serial, checked, "of", len(stored))

for failure in failures:
    print(failure, file=sys.stderr)
sys.exit(1 if failures else 0)
