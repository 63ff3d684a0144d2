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
        assert first.streaming and second.streaming
        assert len(result.stamps) == 2
        for stamps in result.stamps:
            assert before <= stamps.released <= stamps.sent <= stamps.first_bytes <= stamps.first_payload
            assert all(us >= 0 for us in stamps.after_release_us())
        assert result.stamps[0].released == result.stamps[1].released
        sent = [stamps.sent for stamps in result.stamps]
        assert result.spread_us == pytest.approx((max(sent) - min(sent)) / 10)
        assert len(first.read(100, timeout=10)) == 100
        assert len(second.read(100, timeout=10)) == 100


def test_start_together_refuses_a_device_without_layout_and_starts_nothing(sim):
    s = sim(devices=2)
    with kelvo.open(s.paths[0]) as first, kelvo.open(s.paths[1]) as second:
        first.configure("CONFigure:DEVice 3")
        second.configure("CONFigure:SCAn:LISt (@1)", "*RST")
        if second.sample_size == 0:
            with pytest.raises(kelvo.KelvoError, match="no sample layout"):
                kelvo.start_together([first, second])
            assert not first.streaming
        with pytest.raises(kelvo.InvalidArgument):
            kelvo.start_together([first, first])


def test_start_together_raises_timeout_when_a_device_sends_nothing(sim):
    # The simulated device falls silent for good after its first block.
    s = sim(devices=1, faults=("silent:1",))
    with kelvo.open(s.paths[0]) as dev:
        dev.configure("CONFigure:DEVice 1")
        with dev.stream():
            assert len(dev.read(100, timeout=1)) == 50
        with pytest.raises(kelvo.Timeout, match=f"no stream payload from {dev.name} within 0.5 s"):
            kelvo.start_together([dev], timeout=0.5)
