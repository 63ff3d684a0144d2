#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Read COUNT samples of three 24-bit channels: python3 stream.py DEVICE [COUNT]"""
import sys

import kelvo

count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
with kelvo.open(sys.argv[1]) as dev:
    dev.configure("CONFigure:DEVice 3")  # a sample counter and three 24-bit channels
    with dev.stream():
        data = dev.read(count, timeout=10)  # float32, shape (count, 3), full scale ±1.0
    print(f"{len(data)} samples")
    for name, column in zip(dev.channel_names, data.T):
        print(f"{name}: min {column.min():+.4f} max {column.max():+.4f} mean {column.mean():+.4f}")
