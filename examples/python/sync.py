#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Start two devices in one synchronized moment and show the stamps of the start.

    python3 sync.py DEVICE1 DEVICE2 [SECONDS]
"""
import sys

import kelvo

seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 1.0
with kelvo.open(sys.argv[1]) as first, kelvo.open(sys.argv[2]) as second:
    devices = [first, second]
    for dev in devices:
        dev.configure("CONFigure:DEVice 3")
    result = kelvo.start_together(devices)
    for dev, stamps in zip(devices, result.stamps):
        sent, first_bytes, first_payload = stamps.after_release_us()
        print(f"{dev.name}: released at tick {stamps.released}; sent {sent:.1f} us, first bytes {first_bytes:.1f} us, "
              f"first payload {first_payload:.1f} us after it")
    print(f"spread of the start commands: {result.spread_us:.1f} us")
    # The streams run on; read what each device sent in the same span of time.
    counts = [0, 0]
    deadline = kelvo.ticks() + int(seconds * kelvo.TICKS_PER_SECOND)
    while kelvo.ticks() < deadline:
        for index, dev in enumerate(devices):
            counts[index] += len(dev.read(timeout=0.1))
    for dev, count in zip(devices, counts):
        print(f"{dev.name}: {count} samples")
