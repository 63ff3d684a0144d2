#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A subscriber written before gap and marker messages existed, as the
wire format's first version told: it takes every message under kelvo/,
decodes a three-frame message whose header is 48 bytes of magic KLV1 and
version 1, and skips the rest. Prints per topic the messages, samples and
the index range it decoded, then how many messages it skipped.

    versionOneSubscriber.py ENDPOINT SECONDS
"""
import struct
import sys
import time

import numpy as np
import zmq

sub = zmq.Context().socket(zmq.SUB)
sub.setsockopt(zmq.SUBSCRIBE, b"kelvo/")
sub.connect(sys.argv[1])
end = time.monotonic() + float(sys.argv[2])
seen, skipped = {}, 0  # topic -> [messages, samples, first, last]
while time.monotonic() < end:
    if not sub.poll(100):
        continue
    frames = sub.recv_multipart()
    if len(frames) != 3 or len(frames[1]) != 48:
        skipped += 1
        continue
    magic, version, seq, first, count, size, ticks, unix_ns = struct.unpack("<4sIQQIIqq", frames[1])
    if magic != b"KLV1" or version != 1 or len(frames[2]) != count * size:
        skipped += 1
        continue
    counters = np.frombuffer(frames[2], "<u4").reshape(count, size // 4)[:, 0]
    assert (counters == np.arange(first, first + count)).all(), "samples out of order"
    s = seen.setdefault(frames[0].decode(), [0, 0, first, 0])
    s[0], s[1], s[3] = s[0] + 1, s[1] + count, first + count - 1
for topic, (messages, samples, first, last) in sorted(seen.items()):
    print(topic, "messages", messages, "samples", samples, "first", first, "last", last)
print("skipped", skipped)
