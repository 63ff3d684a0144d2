#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A subscriber that stops reading for a while, then reads on: prints per
device the messages received, the messages lost (sequence gaps) and whether
every message it got was whole (its samples consecutive by their counters).

    stalledSubscriber.py ENDPOINT STALL_SECONDS READ_SECONDS
"""
import struct
import sys
import time

import numpy as np
import zmq

endpoint, stall, read = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
sub = zmq.Context().socket(zmq.SUB)
sub.setsockopt(zmq.RCVHWM, 10)
sub.setsockopt(zmq.RCVBUF, 4096)
sub.setsockopt(zmq.SUBSCRIBE, b"kelvo/S")
sub.connect(endpoint)
seen = {}  # topic -> [messages, lost, last sequence, whole]
stalled = False
end = time.monotonic() + 30
while time.monotonic() < end:
    if not sub.poll(2000):
        break
    topic, header, samples = sub.recv_multipart()
    # The fields of version 1, which version 3 keeps at their offsets.
    _, _, seq, first, count, size, _, _ = struct.unpack_from("<4sIQQIIqq", header)
    counters = np.frombuffer(samples, "<u4").reshape(count, size // 4)[:, 0]
    whole = len(samples) == count * size and (counters == np.arange(first, first + count)).all()
    s = seen.setdefault(topic.decode(), [0, 0, seq - 1, True])
    s[0], s[1], s[2], s[3] = s[0] + 1, s[1] + seq - s[2] - 1, seq, s[3] and whole
    if not stalled and s[0] >= 20:
        stalled = True
        time.sleep(stall)
        end = time.monotonic() + read
for topic, (messages, lost, _, whole) in sorted(seen.items()):
    print(topic, "messages", messages, "lost", lost, "whole" if whole else "broken")
