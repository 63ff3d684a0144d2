# SPDX-License-Identifier: MIT
"""Starting, reading and stopping streams."""
from __future__ import annotations

import time

import numpy as np
import pytest

import kelvo


def test_read_with_count_waits_for_that_many(device):
    device.configure("CONFigure:DEVice 3")
    with device.stream():
        values = device.read(1500, timeout=20)  # at 2000 samples/s: about 0.75 s
        raw = device.read_raw(300, timeout=20)
    assert values.shape == (1500, 3) and raw.shape == (300, 16)
    counters = device.sample_counters(raw)
    assert counters[0] >= 1500 and np.all(np.diff(counters.astype(np.int64)) == 1)


def test_read_with_count_returns_what_came_when_the_timeout_passes(device):
    device.configure("CONFigure:DEVice 3")
    with device.stream():
        start = time.monotonic()
        values = device.read(10**6, timeout=0.6)
        took = time.monotonic() - start
    assert 0 < len(values) < 10**6
    assert 0.6 <= took < 5


def test_read_without_count_takes_what_is_queued(device):
    device.configure("CONFigure:DEVice 1")
    assert device.read(timeout=0.3).shape == (0, 1)  # not streaming: nothing after the timeout
    with device.stream():
        first = device.read(timeout=5)
        time.sleep(0.3)
        second = device.read(timeout=5)
    assert len(first) > 0 and len(second) >= 400  # 0.3 s at 2000 samples/s, queued meanwhile


def test_a_pause_in_the_stream_is_no_error(sim):
    # One sample every 250 ms: the library reports -2 between them.
    with kelvo.open(sim(rate=4, block=1).paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        with dev.stream():
            raw = dev.read_raw(3, timeout=10)
            assert raw.shape == (3, 8)
            assert list(dev.sample_counters(raw)) == [0, 1, 2]
            assert dev.read(1, timeout=10).shape == (1, 1)


def test_read_into_a_given_array(device):
    device.configure("CONFigure:DEVice 2")
    out = np.full((50, 2), 7.0, dtype=np.float32)
    with device.stream():
        values = device.read(40, timeout=10, out=out)
    assert values.base is out and values.shape == (40, 2)
    assert np.all(np.abs(out[:40]) <= 1) and np.all(out[40:] == 7.0)


def test_start_needs_a_layout_and_stop_returns_to_commands(sim):
    with kelvo.open(sim().paths[0]) as dev:
        dev.configure("CONFigure:SCAn:LISt (@1)")
        dev.start()
        assert dev.streaming
        assert len(dev.read(10, timeout=10)) == 10
        dev.stop()
        assert not dev.streaming
        assert dev.query("*OPC?") == "1"
        dev.start()
    # Closing a streaming device stops the device first: it answers at once
    # when opened again.
    with kelvo.open(dev.path) as again:
        assert again.query("*OPC?") == "1"


def test_an_unplugged_device_hands_out_what_came_then_raises_the_library_text(sim):
    # The simulated line goes dead after 5 blocks of 50 samples.
    with kelvo.open(sim(faults=("drop:5",)).paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        dev.start()
        raw = dev.read_raw(1000, timeout=10)
        assert len(raw) == 250
        with pytest.raises(kelvo.KelvoError, match="fatal I/O error on Port"):
            dev.read(timeout=1)


def test_stats_count_the_stream(device):
    device.configure("CONFigure:DEVice 3")
    with device.stream():
        values = device.read(500, timeout=10)
    stats = device.stats
    assert set(stats) == {"blocks", "payloadBytes", "samplesDropped", "framingErrors", "bytesSkipped",
                          "lastDataTicks"}
    # The simulator sends blocks of 50 samples of 16 bytes.
    assert stats["blocks"] >= 10 and stats["payloadBytes"] == stats["blocks"] * 50 * 16
    assert len(values) == 500 and stats["samplesDropped"] == 0 and stats["framingErrors"] == 0
    assert 0 < stats["lastDataTicks"] <= kelvo.ticks()
