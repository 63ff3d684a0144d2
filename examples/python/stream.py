#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Read COUNT samples of three 24-bit channels with their times: python3 stream.py DEVICE [COUNT]"""
import sys

import kelvo

count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
with kelvo.open(sys.argv[1]) as dev:
    dev.configure("CONFigure:DEVice 3")  # a sample counter and three 24-bit channels
    with dev.stream():
        data, times = dev.read(count, timeout=10, times=True)  # float32 (count, 3), ±1.0; seconds of kelvo.now()
    print(f"{len(data)} samples")
    for name, column in zip(dev.channel_names, data.T):
        print(f"{name}: min {column.min():+.4f} max {column.max():+.4f} mean {column.mean():+.4f}")
    print(f"times {times[0]:.6f} s to {times[-1]:.6f} s (kelvo.now() {kelvo.now():.6f} s), "
          f"{dev.clock.rate_hz:.3f} samples/s, jitter {dev.clock.jitter_us:.0f} us")
