#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A publisher made by hand: one device's meta document and data messages
with a jump in the sample index, the gap and marker messages that explain
it and mark the run, and between them gap and marker messages that are
broken (cut short, too long, wrong frame counts, unsound fields, texts
that are not UTF-8). It waits until SUBSCRIBERS subscribers subscribed to
kelvo/ (an XPUB socket sees each subscription), so that none misses the
start, then sends everything once and exits.

    noticePublisher.py ENDPOINT SUBSCRIBERS

Prints what a subscriber should have taken: "data N", "gap FIRST LAST
CAUSE", "marker TICKS SOURCE TEXT" and "broken N".
"""
import json
import struct
import sys

import numpy as np
import zmq

DATA, GAP, MARKER = struct.Struct("<4sIQQIIqq"), struct.Struct("<4sIIIQqqqq"), struct.Struct("<4sIIIQqq")
TOPIC = "kelvo/HM0001"
SAMPLE_SIZE = 8  # the counter and one 32-bit channel

endpoint, subscribers = sys.argv[1], int(sys.argv[2])
pub = zmq.Context().socket(zmq.XPUB)
pub.setsockopt(zmq.XPUB_VERBOSE, 1)
pub.setsockopt(zmq.LINGER, 5000)
pub.bind(endpoint)
subscribed = 0
while subscribed < subscribers:
    if pub.recv() == b"\x01kelvo/":
        subscribed += 1

meta = {
    "kelvo_version": "0.0.0.0", "host_name": "test", "start_time_utc": "2026-01-01T00:00:00Z",
    "tick_origin_utc": "2026-01-01T00:00:00Z", "tick_origin_unix_ns": 0,
    "devices": [{
        "slot": 0, "topic": TOPIC, "path": "/dev/null", "serial": "HM0001", "idn": "kelvo,hand made,HM0001,1.0",
        "config": ["CONFigure:DEVice 3"], "sample_size": SAMPLE_SIZE,
        "layout": {"oversampling": 1, "sample_bytes": SAMPLE_SIZE, "n_adc24": 1, "n_adc16": 0, "n_imu6": 0,
                   "is_adc24": 1},
        "channel_names": ["Adc24_1"], "has_counter": True, "word_bytes": 4, "scale": 2.0 ** -31,
        "start_stamps": [1000, 1000, 1000, 1000], "sample_clock": None}],
}
pub.send_multipart([b"kelvo/meta", json.dumps(meta).encode()])

sequence = 0


def data(first, count):
    global sequence
    samples = np.zeros((count, 2), "<u4")
    samples[:, 0] = np.arange(first, first + count)
    samples[:, 1] = samples[:, 0] * 256
    header = DATA.pack(b"KLV1", 1, sequence, first, count, SAMPLE_SIZE, 10000 + first * 10000, first * 1000000)
    pub.send_multipart([TOPIC.encode(), header, samples.tobytes()])
    sequence += 1


def gap(sequence, first, last, cause, start_ticks=5, end_ticks=24100005):
    return [f"{TOPIC}/gap".encode(), GAP.pack(b"KLV1", 2, 2, 0, sequence, first, last, start_ticks, end_ticks),
            cause]


def marker(sequence, ticks, text, source=b"api"):
    return [b"kelvo/marker", MARKER.pack(b"KLV1", 2, 3, 0, sequence, ticks, ticks * 100), text, source]


good_gap = gap(0, 200, 24299, b"disconnected")
broken = [
    [good_gap[0], good_gap[1][:-1], good_gap[2]],           # header cut short
    [good_gap[0], good_gap[1] + b"\0", good_gap[2]],        # header too long
    good_gap[:2],                                           # no cause
    good_gap + [b"more"],                                   # a frame too many
    gap(1, 300, 299, b"framing"),                           # ends before it begins
    gap(1, -5, 10, b"framing"),                             # a negative index
    gap(1, 0, 2 ** 63 - 1, b"framing"),                     # more samples than an int64 holds
    gap(1, 300, 400, b"\xff\xfe"),                          # a cause that is not UTF-8
    gap(1, 300, 400, b""),                                  # no cause at all
    gap(1, 300, 400, b"x" * 65),                            # a cause longer than any
    [good_gap[0], good_gap[1][:8] + struct.pack("<I", 9) + good_gap[1][12:], good_gap[2]],  # an unknown type
    marker(0, 1, b"short")[:1] + [marker(0, 1, b"")[1][:39], b"short", b"api"],  # header cut short
    marker(0, 1, b"x" * 4097),                              # text over 4096 bytes
    marker(0, 1, b"half \xe2\x82"),                         # text cut inside a UTF-8 sequence
    marker(0, 1, b"nul\0inside"),                           # a zero byte, which HDF5 strings cannot hold
    marker(0, 1, b"three frames")[:3],                      # no source
    [b"kelvo/marker", b"KLV1"],                             # no more than a magic
]
data(0, 100)
data(100, 100)
for message in broken:
    pub.send_multipart(message)
pub.send_multipart(marker(0, 123456789, "Δt ok".encode()))
pub.send_multipart(good_gap)
data(24300, 100)
pub.send_multipart(marker(1, 223456789, b"x" * 4096, b"bus"))
pub.send_multipart([b"kelvo/meta", json.dumps(meta).encode()])
pub.close()

print("data 300")
print("gap 200 24299 disconnected")
print("marker 123456789 api Δt ok")
print("marker 223456789 bus", "x" * 4096)
print("broken", len(broken))
