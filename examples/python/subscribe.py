#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Receive what 'kelvo publish' sends, decode it with numpy, count the losses.

    python3 subscribe.py ENDPOINT [SECONDS]

docs/wire-format.md describes the messages.
"""
import json, struct, sys, time
import numpy as np
import zmq

sub = zmq.Context().socket(zmq.SUB)
sub.setsockopt(zmq.SUBSCRIBE, b"kelvo/")
sub.connect(sys.argv[1])
end = time.monotonic() + float(sys.argv[2] if len(sys.argv) > 2 else 10)
meta, seen = {}, {}  # topic -> device description; topic -> [messages, samples, lost, last seq, first, last, row]
while time.monotonic() < end:
    if not sub.poll(100):
        continue
    topic, *frames = (f.decode() if i == 0 else f for i, f in enumerate(sub.recv_multipart()))
    if topic == "kelvo/meta":
        meta.update({d["topic"]: d for d in json.loads(frames[0])["devices"]})
    elif topic in meta:  # decodable once the meta document told the layout
        _, _, seq, first, count, size, ticks, unix_ns = struct.unpack("<4sIQQIIqq", frames[0])
        d = meta[topic]
        words = np.frombuffer(frames[1], np.dtype(f"<i{d['word_bytes']}")).reshape(count, -1)
        values = words[:, 1 if d["has_counter"] else 0:] * np.float32(d["scale"])
        s = seen.setdefault(topic, [0, 0, 0, seq - 1, first, 0, values[0]])
        s[:4] = s[0] + 1, s[1] + count, s[2] + seq - s[3] - 1, seq
        s[5] = first + count - 1
for topic, (messages, samples, lost, _, first, last, row) in sorted(seen.items()):
    print(f"{topic} messages {messages} samples {samples} first {first} last {last} lost {lost}",
          "row", " ".join(f"{v:.6f}" for v in row))
