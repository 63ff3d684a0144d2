#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks an HDF5 file of 'kelvo record' or 'kelvo subscribe' against the
simulator's documented waveforms, and the times 'kelvo record' gave its
samples against the sample clock's fit and the simulator's truth log;
prints one line per device, exits 1 with the reason on the first fault.

    checkRecording.py FILE RATE DEVICES [--samples N] [--at-least N] [--raw] [--subscribed]
                      [--killed] [--ppm [PATH=]P ...] [--truth PATH=FILE ...]
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
parser.add_argument("--ppm", action="append", default=[], metavar="[PATH=]P",
                    help="the simulator's --clock-ppm: P for every device, PATH=P for the one at tty PATH")
parser.add_argument("--truth", action="append", default=[], metavar="PATH=FILE",
                    help="the truth log of the device at tty PATH")
args = parser.parse_args()
truths = dict(t.split("=", 1) for t in args.truth)
ppms = {p.split("=")[0] if "=" in p else "": float(p.split("=")[-1]) for p in args.ppm}


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


def check_times(name, g, a, n, expected):
    """The time and index datasets: one entry per sample, the index without a
    gap, the time on the clock the attributes describe, and on the
    simulator's clock as its truth log has it."""
    check("time" in g and "index" in g, f"{name}: no time or index dataset")
    time, index = g["time"][:], g["index"][:]
    check(time.dtype == np.float64 and index.dtype == np.int64, f"{name}: time {time.dtype}, index {index.dtype}")
    check(len(time) == n and len(index) == n, f"{name}: {len(time)} times, {len(index)} indices for {n} samples")
    check((index == expected).all(), f"{name}: the index is not 0, 1, 2, ... (gap or disorder)")
    if n < 2:
        return
    step = np.diff(time)
    # The first batches are timed by a fit that has seen little of the stream.
    settled = index[1:] >= 2 * args.rate
    if settled.any():
        check((step[settled] > 0).all(), f"{name}: the time goes back after the first 2 s")
        # Each batch is timed by the fit of its moment; on a loaded machine (a
        # sanitizer build beside other work) a prompt arrival that refits the
        # clock may move it by a third of a period between two batches.
        check(np.abs(step[settled] * args.rate - 1).max() < 0.5,
              f"{name}: a step of the time is {step[settled][np.argmax(np.abs(step[settled] * args.rate - 1))]} s")
    if args.killed:
        return
    for attribute in ("clock_rate_hz", "clock_period_ticks", "clock_origin_index", "clock_origin_ticks",
                      "clock_jitter_us", "clock_samples_fitted"):
        check(attribute in a, f"{name}: attribute {attribute} is missing")
    ppm = ppms.get(a["path"], ppms.get("", 0.0))
    true_rate = args.rate * (1 + ppm * 1e-6)
    check(abs(a["clock_rate_hz"] / true_rate - 1) < 500e-6,
          f"{name}: the clock's rate is {a['clock_rate_hz']}, the simulator's {true_rate}")
    check(abs(a["clock_period_ticks"] * a["clock_rate_hz"] - 1e7) < 1, f"{name}: period and rate disagree")
    # The clock saw every sample written, and with --samples those after.
    check(a["clock_samples_fitted"] >= n, f"{name}: clock_samples_fitted {a['clock_samples_fitted']} of {n}")
    # A sample's time is the fit's as it was written. The last batch of a run
    # that wrote all it got came after the last arrival, with the fit of the
    # end, which the attributes hold. How close earlier times are to the
    # truth is check_truth's to say.
    fitted = (a["clock_origin_ticks"] + (index - a["clock_origin_index"]) * a["clock_period_ticks"]) / 1e7
    if args.samples is None:
        check(abs(time[-1] - fitted[-1]) < 1e-6,
              f"{name}: the last time is {(time[-1] - fitted[-1]) * 1e6:.2f} us off the fit of the end")
    if a["path"] in truths:
        check_truth(name, truths[a["path"]], time, index)


def check_truth(name, path, time, index):
    """Each block's first sample as the simulator measured it: after the
    first 2 s its recorded time is the true one but for a constant delay."""
    points = np.array([[int(v) for v in line.split()] for line in open(path) if not line.startswith("#")])
    check(len(points) >= 10, f"{name}: {len(points)} lines in the truth log {path}")
    points = points[(points[:, 0] <= index[-1]) & (points[:, 1] >= points[0, 1] + 2e7)]
    check(len(points) >= 10, f"{name}: the truth log {path} covers too little of the recording")
    position = np.searchsorted(index, points[:, 0])
    check((index[position] == points[:, 0]).all(), f"{name}: a block's first sample is not in the file")
    delay = time[position] * 1e7 - points[:, 1]
    spread = (delay.max() - delay.min()) / 1e4
    check(spread < 2, f"{name}: the recorded times stray from the truth by {spread:.3f} ms")
    print("truth", name, f"delay {np.median(delay) / 1e4:.3f} ms", f"spread {spread:.3f} ms")


def iso(text):
    check(text.endswith("Z"), f"{text} is not UTC")
    return datetime.datetime.fromisoformat(text[:26])


# A killed writer leaves its SWMR file marked as being written: only a
# SWMR reader opens it.
f = h5py.File(args.file, "r", swmr=args.killed)
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
    if args.subscribed:
        # On the subscriber's clock: the sample clock's times, moved by the
        # estimate of the publisher's offset; check_truth does not apply.
        check((g["index"][:] == index).all(), f"{name}: the index is not first_sample, +1, ...")
        check(len(g["time"]) == n and len(g["publisher_ticks"]) == n, f"{name}: time or publisher_ticks lengths")
        check((np.diff(g["time"][:]) > -1e-3).all(), f"{name}: the time goes back by more than a millisecond")
    else:
        check_times(name, g, a, n, index)
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
