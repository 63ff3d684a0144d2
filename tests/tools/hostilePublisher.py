#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A publisher that means harm: meta documents that are not JSON or hold
fields of the wrong kind, then thousands of seeded random messages on a
device's topics (wrong frame counts, random bytes, wrong magic or version,
headers whose counts and sample sizes do not fit their samples, a size of
0 that claims four billion samples, a 20 MiB frame), then data messages
with sound headers on made-up topics by the hundred, and last one device's
sound meta document, two data messages and a marker. It waits until a
subscriber subscribed to kelvo/ (an XPUB socket sees it), queues without
a limit so that nothing is dropped on the way, and exits once all is sent.

    hostilePublisher.py ENDPOINT SEED

Prints "broken N" (messages a subscriber cannot understand), "made-up N"
(sound data messages, each on a topic of its own), "topics N" (the topics
besides those: the device's and the one of the spoilt meta documents) and
"data 200".
"""
import json
import random
import struct
import sys

import numpy as np
import zmq

DATA, MARKER = struct.Struct("<4sIQQIIqq"), struct.Struct("<4sIIIQqq")
TOPIC = "kelvo/HM0001"
SAMPLE_SIZE = 8  # the counter and one 32-bit channel

endpoint, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
ctx = zmq.Context()
pub = ctx.socket(zmq.XPUB)
pub.setsockopt(zmq.XPUB_VERBOSE, 1)
pub.setsockopt(zmq.SNDHWM, 0)
pub.setsockopt(zmq.LINGER, 20000)
pub.bind(endpoint)
while pub.recv() != b"\x01kelvo/":
    pass

device = {
    "slot": 0, "topic": TOPIC, "path": "/dev/null", "serial": "HM0001", "idn": "kelvo,hand made,HM0001,1.0",
    "config": ["CONFigure:DEVice 3"], "sample_size": SAMPLE_SIZE,
    "layout": {"oversampling": 1, "sample_bytes": SAMPLE_SIZE, "n_adc24": 1, "n_adc16": 0, "n_imu6": 0,
               "is_adc24": 1},
    "channel_names": ["Adc24_1"], "has_counter": True, "word_bytes": 4, "scale": 2.0 ** -31,
    "start_stamps": [1000, 1000, 1000, 1000], "sample_clock": None}
meta = {
    "kelvo_version": "0.0.0.0", "host_name": "test", "start_time_utc": "2026-01-01T00:00:00Z",
    "tick_origin_utc": "2026-01-01T00:00:00Z", "tick_origin_unix_ns": 0, "devices": [device]}


def spoilt(**changes):
    # A topic of its own: one already described would be skipped unread.
    entry = dict(device, topic="kelvo/SPOILT")
    entry.update(changes)
    return json.dumps(dict(meta, devices=[entry])).encode()


broken = [[b"kelvo/meta", m] for m in [
    b"\xff not JSON", b"[1, 2]", json.dumps(dict(meta, devices=5)).encode(),
    json.dumps(dict(meta, devices=[5])).encode(), json.dumps(dict(meta, kelvo_version={"a": 1})).encode(),
    json.dumps(dict(meta, tick_origin_unix_ns="soon")).encode(),
    spoilt(topic={"a": 1}), spoilt(slot="x"), spoilt(sample_size=2 ** 40), spoilt(channel_names="x"),
    spoilt(channel_names=["c"] * 100000), spoilt(layout=[1, 2]), spoilt(word_bytes=-4),
]]


def header(sequence, first, count, size, magic=b"KLV1", version=1, ticks=0):
    return DATA.pack(magic, version, sequence, first, count, size, ticks, 0)


def junk(n):
    return rng.randbytes(n)


def hostile():
    kind = rng.randrange(10)
    topic = rng.choice([TOPIC, TOPIC, TOPIC + "/gap", "kelvo/marker"]).encode()
    if kind == 0:
        return [topic] + [junk(rng.randrange(64)) for _ in range(rng.choice([1, 2, 4, 5, 9, 30]))]
    if kind == 1:
        return [topic, junk(rng.randrange(100)), junk(rng.randrange(100))]
    topic = TOPIC.encode()
    if kind == 2:
        return [topic, header(1, 0, 1, 8, magic=junk(4)), junk(8)]
    if kind == 3:
        return [topic, header(1, 0, 1, 8, version=rng.choice([0, 2, 3, 7, 2 ** 32 - 1])), junk(8)]
    if kind == 4:
        return [topic, header(1, 0, 2 ** 32 - 1, 2 ** 32 - 1), junk(rng.randrange(64))]
    if kind == 5:
        return [topic, header(2 ** 64 - 1, 2 ** 64 - 1, rng.randrange(1, 2 ** 32), 0), b""]
    if kind == 6:
        return [topic, header(1, 0, 4, 2), junk(8)]  # sound, but not the sample size the meta document says
    if kind == 7:
        return [topic, header(1, 0, 3, 8)[:rng.randrange(48)], junk(24)]
    if kind == 8:
        return [topic, header(1, 0, 3, 8) + junk(rng.randrange(1, 9)), junk(24)]
    return [topic, header(rng.randrange(2 ** 64), 0, 1, 8, ticks=-2 ** 63)[:47], junk(8)]


pub.send_multipart([b"kelvo/meta", json.dumps(meta).encode()])
for message in broken:
    pub.send_multipart(message)
storm = [hostile() for _ in range(5000)] + [[TOPIC.encode(), header(1, 0, 1, 8), junk(20 << 20)]]
for message in storm:
    pub.send_multipart(message)
made_up = 300
for k in range(made_up):
    pub.send_multipart([f"kelvo/X{k:04d}".encode(), header(0, 0, 1, 8, ticks=-2 ** 63), junk(8)])

sequence = 0


def data(first, count):
    global sequence
    samples = np.zeros((count, 2), "<u4")
    samples[:, 0] = np.arange(first, first + count)
    pub.send_multipart([TOPIC.encode(), header(sequence, first, count, SAMPLE_SIZE), samples.tobytes()])
    sequence += 1


data(0, 100)
data(100, 100)
pub.send_multipart([b"kelvo/marker", MARKER.pack(b"KLV1", 2, 3, 0, 0, 12345, 1234500), b"after the storm", b"api"])
pub.send_multipart([b"kelvo/meta", json.dumps(meta).encode()])
pub.close()
ctx.term()  # waits, as LINGER allows, until everything is sent
print("broken", len(broken) + len(storm))
print("made-up", made_up)
print("topics 2")
print("data 200")
