#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Start two devices in one synchronized moment, show the stamps of the start
and where each device's samples lie on the one clock.

    python3 sync.py DEVICE1 DEVICE2 [SECONDS]
"""
import sys

import kelvo

seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 1.0
with kelvo.open(sys.argv[1]) as first, kelvo.open(sys.argv[2]) as second:
    devices = [first, second]
    for dev in devices:
        dev.configure("CONFigure:DEVice 3")
    result = kelvo.start_together(devices)  # returns once both delivered their first payload
    for dev, stamps in zip(devices, result.stamps):
        sent, first_bytes, first_payload = stamps.after_release_us()
        print(f"{dev.name}: released at tick {stamps.released}; sent {sent:.1f} us, first bytes {first_bytes:.1f} us, "
              f"first payload {first_payload:.1f} us after it")
    print(f"spread of the start commands: {result.spread_us:.1f} us")
    counts = [0, 0]
    end = kelvo.now() + seconds
    while kelvo.now() < end:  # the streams run on; each read sleeps in the library until samples come
        for index, dev in enumerate(devices):
            counts[index] += len(dev.read(timeout=0.1))
    for dev, count in zip(devices, counts):
        clock = dev.clock
        print(f"{dev.name}: {count} samples")
        print(f"{dev.name}: sample 0 at {clock.time_of(0):.6f} s, {clock.rate_hz:.3f} samples/s, "
              f"jitter {clock.jitter_us:.0f} us")
    # Devices of one kind share the transport's delay: their sample 0 lines up on the clock.
    print(f"sample 0 apart by {(second.clock.time_of(0) - first.clock.time_of(0)) * 1e6:.0f} us")
