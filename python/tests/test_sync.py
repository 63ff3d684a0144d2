# SPDX-License-Identifier: MIT
"""Starting two devices in one synchronized moment."""
from __future__ import annotations

import pytest

import kelvo


def test_start_together_gives_four_stamps_each_and_the_spread(sim):
    s = sim(devices=2)
    with kelvo.open(s.paths[0]) as first, kelvo.open(s.paths[1]) as second:
        first.configure("CONFigure:DEVice 3")
        second.configure("CONFigure:DEVice 0,2")
        before = kelvo.ticks()
        result = kelvo.start_together([first, second])
        after = kelvo.ticks()
        assert first.streaming and second.streaming
        assert len(result.stamps) == 2
        for stamps in result.stamps:
            # The call returns once every device delivered its first payload.
            assert before <= stamps.released <= stamps.sent <= stamps.first_bytes <= stamps.first_payload <= after
            assert all(us >= 0 for us in stamps.after_release_us())
        assert result.stamps[0].released == result.stamps[1].released
        sent = [stamps.sent for stamps in result.stamps]
        assert result.spread_us == pytest.approx((max(sent) - min(sent)) / 10)
        # Both streams began with the start: each one's first sample is index 0.
        for dev in (first, second):
            assert len(dev.read(100, timeout=10)) == 100
            assert list(dev.indices[:2]) == [0, 1]


def test_start_together_refuses_an_unplugged_device_with_its_text_and_starts_nothing(sim):
    healthy = sim().paths[0]
    # This simulated line goes dead after its first block.
    unplugged = sim(faults=("drop:1",)).paths[0]
    with kelvo.open(healthy) as first, kelvo.open(unplugged) as second:
        for dev in (first, second):
            dev.configure("CONFigure:DEVice 3")
        second.start()
        assert len(second.read_raw(100, timeout=10)) == 50
        with pytest.raises(kelvo.Disconnected):
            second.read(timeout=1)
        with pytest.raises(kelvo.KelvoError, match=f"{second.name}: start_together: .*fatal I/O error on Port"):
            kelvo.start_together([first, second])
        assert not first.streaming
        assert first.query("*OPC?") == "1"  # the library did not start it either
        with pytest.raises(kelvo.InvalidArgument):
            kelvo.start_together([first, first])


def test_start_together_raises_timeout_when_a_device_sends_nothing(sim):
    # The simulated device falls silent for good after its first block.
    s = sim(devices=1, faults=("silent:1",))
    with kelvo.open(s.paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        with dev.stream():
            assert len(dev.read(100, timeout=1)) == 50
        with pytest.raises(kelvo.Timeout, match=f"{dev.name}: start_together: .*no stream payload within 500 ms"):
            kelvo.start_together([dev], timeout=0.5)
        assert dev.streaming  # started, though silent: close() stops it
