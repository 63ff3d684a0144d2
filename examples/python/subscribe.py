#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Receive what 'kelvo publish' sends, decode it with numpy, count the losses.

    python3 subscribe.py ENDPOINT [SECONDS]

Prints each gap and marker the publisher tells of as it comes, each jump
in a device's sample index, and a line per device at the end.
docs/wire-format.md describes the messages.
"""
import json, struct, sys, time
import numpy as np
import zmq

# Data headers of version 3 (the default) and of version 1 ('kelvo publish --wire-version 1').
DATA, DATA_V1 = struct.Struct("<4sIQQIIqqqdq"), struct.Struct("<4sIQQIIqq")
GAP, MARKER = struct.Struct("<4sIIIQqqqq"), struct.Struct("<4sIIIQqq")


def header(frame, layout, *kind):
    """The header's fields when it is one of `kind` (magic, version[, type]), else None."""
    if len(frame) != layout.size:
        return None
    fields = layout.unpack(frame)
    return fields if fields[:len(kind)] == kind else None


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
    elif topic == "kelvo/marker" and len(frames) == 3:
        if fields := header(frames[0], MARKER, b"KLV1", 2, 3):
            text, source = (f.decode(errors="replace") for f in frames[1:])
            print(f"marker ticks {fields[5]} source {source} text {text!r}")
    elif topic.endswith("/gap") and len(frames) == 2:
        if fields := header(frames[0], GAP, b"KLV1", 2, 2):
            first, last, start_ticks, end_ticks = fields[5:]
            print(f"gap {topic[:-4]} first {first} last {last} samples {last - first + 1}",
                  f"seconds {(end_ticks - start_ticks) / 1e7:.3f} cause {frames[1].decode(errors='replace')}")
    elif topic in meta and len(frames) == 2:  # decodable once the meta document told the layout
        fields = header(frames[0], DATA, b"KLV1", 3) or header(frames[0], DATA_V1, b"KLV1", 1)
        if not fields or (len(fields) > 8 and not 0 <= fields[9] < float("inf")):  # version 3's period
            continue
        _, _, seq, first, count, size, ticks, unix_ns = fields[:8]
        d = meta[topic]
        words = np.frombuffer(frames[1], np.dtype(f"<i{d['word_bytes']}")).reshape(count, -1)
        values = words[:, 1 if d["has_counter"] else 0:] * np.float32(d["scale"])
        s = seen.setdefault(topic, [0, 0, 0, seq - 1, first, first - 1, values[0]])
        if first != s[5] + 1:
            print(f"missing {topic} first {s[5] + 1} last {first - 1}")
        s[:4] = s[0] + 1, s[1] + count, s[2] + seq - s[3] - 1, seq
        s[5] = first + count - 1
for topic, (messages, samples, lost, _, first, last, row) in sorted(seen.items()):
    print(f"{topic} messages {messages} samples {samples} first {first} last {last} lost {lost}",
          "row", " ".join(f"{v:.6f}" for v in row))
