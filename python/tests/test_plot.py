# SPDX-License-Identifier: MIT
"""The plot window wrapper, drawn off-screen."""
from __future__ import annotations

import pytest

import kelvo


def test_plot_opens_a_window_on_the_stream_and_closes_it(device, monkeypatch):
    # SDL's off-screen driver: a window nobody sees, without a display.
    monkeypatch.setenv("SDL_VIDEODRIVER", "offscreen")
    device.configure("CONFigure:DEVice 3")
    with kelvo.plot(device, span=500, width=320, height=200) as window:
        assert window.is_open and window.span == 500
        with device.stream():
            assert len(device.read(200, timeout=10)) == 200
    assert not window.is_open
    window.close()  # twice does nothing


def test_plot_without_a_usable_video_driver_raises_sdl_text(device, monkeypatch):
    monkeypatch.setenv("SDL_VIDEODRIVER", "no-such-driver")
    device.configure("CONFigure:DEVice 3")
    with pytest.raises(kelvo.KelvoError, match="no plot window: .*no-such-driver"):
        kelvo.plot(device)
