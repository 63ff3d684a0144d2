#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks an HDF5 file of 'kelvo record' or 'kelvo subscribe' against the
simulator's documented waveforms; prints one line per device, exits 1 with
the reason on the first fault.

    checkRecording.py FILE RATE DEVICES [--samples N] [--at-least N] [--raw] [--subscribed]
"""
import argparse
import datetime
import sys

import h5py
import numpy as np

parser = argparse.ArgumentParser()
parser.add_argument("file")
parser.add_argument("rate", type=float)
parser.add_argument("devices", type=int)
parser.add_argument("--samples", type=int, help="exactly this many per device")
parser.add_argument("--at-least", type=int, default=1)
parser.add_argument("--raw", action="store_true")
parser.add_argument("--subscribed", action="store_true", help="written by kelvo subscribe")
parser.add_argument("--killed", action="store_true", help="the recorder was killed: no closing attributes")
args = parser.parse_args()


def fail(message):
    print("FAIL", message)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def waveform(channel, t):
    """The simulator's channel c at t seconds, and where a jump makes it ambiguous."""
    p = np.modf((1.0 + 0.5 * channel) * t)[0]
    near = (p < 1e-6) | (p > 1 - 1e-6)
    kind = channel % 3
    if kind == 0:
        return np.sin(2 * np.pi * p), np.zeros_like(near)
    if kind == 1:
        return 2 * p - 1, near
    return np.where(p < 0.5, 1.0, -1.0), near | (np.abs(p - 0.5) < 1e-6)


def iso(text):
    check(text.endswith("Z"), f"{text} is not UTC")
    return datetime.datetime.fromisoformat(text[:26])


f = h5py.File(args.file, "r")
root = f.attrs
for name in ("kelvo_version", "host_name", "start_time_utc", "tick_origin_utc", "tick_origin_unix_ns"):
    check(name in root, f"root attribute {name} is missing")
if not args.subscribed and not args.killed:
    check("stamp_spread_us" in root and 0 <= root["stamp_spread_us"] < 1e6, "stamp_spread_us")
groups = f["devices"]
check(len(groups) == args.devices, f"{len(groups)} device groups, not {args.devices}")
for name, g in groups.items():
    a = g.attrs
    check(a["serial"] == name, f"{name}: serial {a['serial']}")
    check(a["serial"] in a["idn"], f"{name}: idn {a['idn']}")
    check(a["path"].startswith("/dev/"), f"{name}: path {a['path']}")
    config = list(a["config"])
    check(len(config) >= 1 and all(isinstance(c, str) for c in config), f"{name}: config {config}")
    stamps = a["start_stamps"]
    check(len(stamps) == 4 and stamps[0] > 0 and (args.killed or all(stamps[k] >= stamps[0] for k in range(4))),
          f"{name}: start_stamps {stamps}")
    # Tick 0 as UTC plus the release stamp is the start time.
    start = root["tick_origin_unix_ns"] + int(stamps[0]) * 100
    delta = abs(iso(root["start_time_utc"]).replace(tzinfo=datetime.timezone.utc).timestamp() - start / 1e9)
    check(delta < 1e-3, f"start_time_utc is {delta} s off tick_origin + stamp")
    wide = a["layout_is_adc24"] == 1
    size = a["sample_size"]
    samples = g["samples"][:]
    n, channels = samples.shape
    check(samples.dtype == np.float32, f"{name}: samples are {samples.dtype}")
    check(list(g["samples"].attrs["channel_names"]) and len(g["samples"].attrs["channel_names"]) == channels,
          f"{name}: channel_names")
    check(size == (4 + 4 * channels if wide else 2 * channels), f"{name}: sample_size {size}")
    if args.samples is not None:
        check(n == args.samples, f"{name}: {n} samples, not {args.samples}")
    check(n >= args.at_least, f"{name}: only {n} samples")
    first = int(a["first_sample"]) if args.subscribed else 0
    index = np.arange(first, first + n)
    if wide:
        counter = g["counter"][:]
        check(counter.dtype == np.uint32 and len(counter) == n, f"{name}: counter")
        check((counter == index).all(), f"{name}: the counter is not {first}, {first + 1}, ... (gap or disorder)")
    else:
        check("counter" not in g, f"{name}: a counter for a layout without one")
    if not args.killed:
        stats = a["stats"]
        check(stats["samples"] == n, f"{name}: stats say {stats['samples']} samples, the file has {n}")
    if args.raw:
        raw = g["raw"][:]
        check(raw.shape == (n, size) and raw.dtype == np.uint8, f"{name}: raw is {raw.shape} {raw.dtype}")
        words = raw.view("<i4" if wide else "<i2")[:, 1 if wide else 0:]
        scale = 2.0 ** -31 if wide else 2.0 ** -15
        check((words * scale == samples).all(), f"{name}: samples are not the raw words decoded")
    # Every value against the documented waveform at its sample's moment.
    peak = 6000000 * 256 * 2.0 ** -31 if wide else 24000 * 2.0 ** -15
    tolerance = 1e-6 if wide else 1.5 * 2.0 ** -15
    t = index / args.rate
    for c in range(channels):
        expected, ambiguous = waveform(c, t)
        bad = (np.abs(samples[:, c] - peak * expected) > tolerance) & ~ambiguous
        if bad.any():
            k = int(np.argmax(bad))
            fail(f"{name}: sample {index[k]} channel {c} is {samples[k, c]}, not {peak * expected[k]}")
    print("ok", name, n, first)
