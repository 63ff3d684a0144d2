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
        counters = device.sample_counters(raw)
        # The stream index follows the device's counter: the library's
        # reading of it, given with the samples, agrees with the bytes.
        assert np.array_equal(device.indices, counters.astype(np.int64))
    assert values.shape == (1500, 3) and raw.shape == (300, 16)
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
    with device.stream():
        first = device.read(timeout=5)
        time.sleep(0.3)
        second = device.read(timeout=5)
        assert len(first) > 0 and len(second) >= 400  # 0.3 s at 2000 samples/s, queued meanwhile
        assert device.indices[0] == len(first)  # nothing lost between the two reads
        time.sleep(0.1)
    # What came before the stop stays readable; then there is nothing more
    # to wait for.
    assert len(device.read(timeout=5)) > 0
    start = time.monotonic()
    assert device.read(timeout=5).shape == (0, 1)
    assert device.read(100, timeout=5).shape == (0, 1)
    assert time.monotonic() - start < 2


def test_a_read_that_waits_sleeps_in_the_library(sim):
    # The simulated device falls silent after its first block: the second
    # read waits its whole time-out for nothing.
    with kelvo.open(sim(faults=("silent:1",)).paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        with dev.stream():
            assert len(dev.read(50, timeout=10)) == 50
            wall, cpu = time.monotonic(), time.thread_time()
            assert len(dev.read(1, timeout=1.0)) == 0
            wall, cpu = time.monotonic() - wall, time.thread_time() - cpu
    assert wall >= 1.0
    assert cpu < 0.05  # a loop of polls would spend its second here


def test_a_waiting_read_wakes_when_a_sample_comes_and_a_pause_is_no_error(sim):
    # One sample every 250 ms: the library reports -2 to kelvoGetStreamingData between them.
    with kelvo.open(sim(rate=4, block=1).paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        with dev.stream():
            raw = dev.read_raw(3, timeout=10)
            assert raw.shape == (3, 8)
            assert list(dev.sample_counters(raw)) == [0, 1, 2]
            for _ in range(3):
                start = time.monotonic()
                assert dev.read(timeout=10).shape == (1, 1)
                assert time.monotonic() - start < 2  # far less than the time-out it had


def test_read_into_a_given_array(device):
    device.configure("CONFigure:DEVice 2")
    out = np.full((50, 2), 7.0, dtype=np.float32)
    with device.stream():
        values = device.read(40, timeout=10, out=out)
    assert values.base is out and values.shape == (40, 2)
    assert np.all(np.abs(out[:40]) <= 1) and np.all(out[40:] == 7.0)


def test_stop_returns_to_commands_and_close_stops_the_device(sim):
    with kelvo.open(sim().paths[0]) as dev:
        dev.stop()  # a device that does not stream: nothing to do
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
        assert np.array_equal(dev.indices, np.arange(250))
        with pytest.raises(kelvo.Disconnected, match="fatal I/O error on Port"):
            dev.read(timeout=1)
        with pytest.raises(kelvo.Disconnected, match="fatal I/O error on Port"):
            dev.stop()
        assert not dev.streaming


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
