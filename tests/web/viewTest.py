#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The page of `kelvo serve` in headless Chromium, against two simulated
devices, as a user sees it: from kelvoView's data and from screenshots
(saved in --out for a person to look at).

    viewTest.py CASE --kelvo KELVO --sim KELVO_SIM --out FOLDER

CASE: traces-and-markers or unplugged-device. Exit status 77 (skipped)
without Chromium, its driver or Selenium."""
from __future__ import annotations

import argparse
import os
import sys

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

try:
    import browser as chromium
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(SKIPPED)
if not (os.access(chromium.CHROMIUM, os.X_OK) and os.access(chromium.CHROMEDRIVER, os.X_OK)):
    print(f"skipped: {chromium.CHROMIUM} or {chromium.CHROMEDRIVER} is missing")
    sys.exit(SKIPPED)

import h5py  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

from viewSession import ViewSession  # noqa: E402

CHANNELS = 3
# Generous: two noisy cores, and the whole run may be under ThreadSanitizer.
STARTUP_S = 180
ARRIVAL_S = 90


def serve(args, name: str, sim_options=()) -> ViewSession:
    out = os.path.join(args.out, f"{name}.h5")
    if os.path.exists(out):
        os.remove(out)
    return ViewSession(args.kelvo, args.sim, 2, ["--rate", "5000", *sim_options],
                       ["--config", f"CONFigure:DEVice {CHANNELS}", "--bind", "127.0.0.1:0", "--out", out],
                       timeout=STARTUP_S)


def open_page(session: ViewSession) -> chromium.Browser:
    page = chromium.Browser(1400, 1100)
    page.open(session.url)
    page.wait_for("v.connected && v.devices.length === 2", STARTUP_S, "the page to connect and describe")
    return page


def wait_for_columns(page, columns: int) -> None:
    page.wait_for(f"v.devices.every(d => d.columns >= {columns})", ARRIVAL_S, f"{columns} columns of each device")


def set_paused(page, paused: bool) -> None:
    if page.view("v.paused") != paused:
        page.driver.find_element(By.ID, "pause").click()
    page.wait_for(f"v.paused === {str(paused).lower()}", 10, "the pause button")


def check_traces(page, png_path: str) -> None:
    """Every channel of both devices holds columns that span the
    simulator's waves, and every strip shows them."""
    description = page.view("v.description")
    for d, device in enumerate(description["devices"]):
        assert len(device["channels"]) == CHANNELS, device
        full_scale = device["full_scale"]
        for c in range(CHANNELS):
            extent = page.view(f"v.channelExtent({d}, {c})")
            assert extent["columns"] >= 200, (device["name"], c, extent)
            assert extent["max"] - extent["min"] > 0.5 * full_scale, (device["name"], c, extent)
            assert -1.001 * full_scale <= extent["min"] and extent["max"] <= 1.001 * full_scale, extent
    areas = page.view("v.stripAreas()")
    assert len(areas) == 2 * CHANNELS, areas
    png = page.screenshot(png_path)
    for area, counts in zip(areas, chromium.count_pixels(page, png, areas)):
        # 200 columns or more drawn: well over 100 pixels of trace.
        assert counts["trace"] > 100, (png_path, area, counts)


def marker_line_area(page, time: float) -> list[dict]:
    """A band a few pixels wide around `time` in every strip."""
    bands = []
    for area in page.view("v.stripAreas()"):
        x = area["left"] + (time - area["xMin"]) / (area["xMax"] - area["xMin"]) * area["width"]
        if area["left"] <= x <= area["left"] + area["width"]:
            bands.append(dict(area, left=x - 3, width=7))
    return bands


def spans(page) -> list:
    return page.view("v.stripAreas().map(a => [a.xMin, a.xMax])")


def wait_for_frames(page, count: int) -> None:
    received = page.view("v.framesReceived")
    page.wait_for(f"v.framesReceived >= {received + count}", ARRIVAL_S, f"{count} more frames")


def check_controls(page) -> None:
    """Paused or zoomed, the view stands still while frames still come;
    resumed or reset, it moves on; a channel unticked hides its strip."""
    set_paused(page, True)
    still = spans(page)
    wait_for_frames(page, 20)
    assert spans(page) == still
    set_paused(page, False)
    page.wait_for(f"v.stripAreas()[0].xMax > {still[0][1]}", ARRIVAL_S, "the view to move on")

    window = page.view("v.description.window_seconds")
    over = page.driver.find_elements(By.CSS_SELECTOR, ".u-over")[0]
    ActionChains(page.driver).move_to_element_with_offset(over, -over.size["width"] // 6, 0).click_and_hold() \
        .move_by_offset(over.size["width"] // 3, 0).release().perform()
    page.wait_for("v.zoomed", 10, "the drag to zoom")
    zoomed = spans(page)
    assert all(span == zoomed[0] for span in zoomed), zoomed
    assert 0.2 * window < zoomed[0][1] - zoomed[0][0] < 0.5 * window, zoomed
    wait_for_frames(page, 20)
    assert spans(page) == zoomed
    page.driver.find_element(By.ID, "reset-zoom").click()
    page.wait_for(f"!v.zoomed && v.stripAreas()[0].xMax > {zoomed[0][1]}", ARRIVAL_S, "the live view back")
    live = spans(page)[0]
    assert abs(live[1] - live[0] - window) < 1e-6, live

    pick = page.driver.find_elements(By.CSS_SELECTOR, ".channel-picker input")[1]
    pick.click()
    shown = page.view("v.stripAreas().map(a => [a.device, a.channel])")
    assert [0, 1] not in shown and len(shown) == 2 * CHANNELS - 1, shown
    pick.click()
    assert len(page.view("v.stripAreas()")) == 2 * CHANNELS


def traces_and_markers(args) -> None:
    """(a) traces for every channel of both devices; (b) a marker sent from
    the page comes back, is drawn, and is in the recording; and the
    controls: pause, zoom, channels."""
    text = "stimulus on: ünïcode & \"quotes\""
    with serve(args, "web-markers") as session:
        with open_page(session) as page:
            wait_for_columns(page, 300)
            check_traces(page, os.path.join(args.out, "web-traces.png"))

            assert page.view("v.description.can_mark") is True
            page.driver.find_element(By.ID, "mark-text").send_keys(text)
            page.driver.find_element(By.ID, "mark").click()
            marker = page.wait_for(f"v.markers.find(m => m.text === {text!r})", ARRIVAL_S, "the marker back")
            assert marker["source"] == "web", marker
            assert page.driver.find_element(By.ID, "mark-text").get_attribute("value") == ""
            page.wait_for(f"v.devices.every(d => d.lastColumnIndex * v.description.column_seconds > "
                          f"{marker['time']} + 0.5)", ARRIVAL_S, "columns after the marker")
            set_paused(page, True)
            bands = marker_line_area(page, marker["time"])
            assert len(bands) == 2 * CHANNELS, bands
            png = page.screenshot(os.path.join(args.out, "web-marker.png"))
            for band, counts in zip(bands, chromium.count_pixels(page, png, bands)):
                assert counts["marker"] > 0.5 * band["height"], (band, counts)
            check_controls(page)
        status = session.stop_server()
        assert status == 0, session.server_output()
        recording = os.path.join(args.out, "web-markers.h5")
        with h5py.File(recording, "r") as f:
            markers = f["markers"]
            stored = [(t.decode() if isinstance(t, bytes) else t, s.decode() if isinstance(s, bytes) else s)
                      for t, s in zip(markers["text"][:], markers["source"][:])]
        assert stored == [(text, "web")], stored


def unplugged_device(args) -> None:
    """(c) Device 1 unplugged and back a second later: its strips shade
    the gap, kelvoView holds it, and the other device has none. Then the
    server stops under the page, and another takes its place."""
    with serve(args, "web-gap", ["--replug-after", "1"]) as session:
        with open_page(session) as page:
            wait_for_columns(page, 200)
            session.unplug()
            gap = page.wait_for("v.devices[0].gaps[0]", STARTUP_S, "the gap of device 1")
            assert gap["cause"] == "disconnected", gap
            assert gap["samples"] > 0 and gap["end"] - gap["start"] > 0.5, gap
            assert page.view("v.devices[1].gaps.length") == 0
            page.wait_for(f"v.devices[0].lastColumnIndex * v.description.column_seconds > {gap['end']} + 0.3",
                          ARRIVAL_S, "device 1 back after its gap")
            set_paused(page, True)
            areas = page.view("v.stripAreas()")
            png = page.screenshot(os.path.join(args.out, "web-gap.png"))
            # The middle of the gap's span, in device 1's strips and, for
            # contrast, in device 2's.
            middle = (gap["start"] + gap["end"]) / 2
            half = (gap["end"] - gap["start"]) * 0.3
            bands = []
            for area in areas:
                scale = area["width"] / (area["xMax"] - area["xMin"])
                left = area["left"] + (middle - half - area["xMin"]) * scale
                bands.append(dict(area, left=left, width=max(3, 2 * half * scale)))
            for band, counts in zip(bands, chromium.count_pixels(page, png, bands)):
                shaded = counts["shade"] / counts["pixels"]
                if band["device"] == 0:
                    assert shaded > 0.6 and counts["trace"] == 0, (band, counts)
                else:
                    assert shaded < 0.05 and counts["trace"] > 0, (band, counts)
            # The server gone, the page says so (and keeps trying).
            assert session.stop_server() == 0, session.server_output()
            page.wait_for("!v.connected", ARRIVAL_S, "the page to notice the server is gone")
            status = page.driver.find_element(By.ID, "connection").text
            assert "disconnected" in status, status
            # A server back on the same address: the page is back with it,
            # on the new session's time axis.
            session.restart_server(STARTUP_S)
            page.wait_for("v.connected && v.devices.length === 2 && v.devices.every(d => d.columns >= 50)",
                          STARTUP_S, "the page back on the new server")
            # The old session's gap is not carried over: the page holds the
            # gaps the new server counts.
            page.wait_for("v.devices.every(d => d.counters && d.counters.gaps === d.gaps.length)", ARRIVAL_S,
                          "the page's gaps to be the new server's")
            assert page.driver.find_element(By.ID, "connection").text == "connected"


CASES = {"traces-and-markers": traces_and_markers, "unplugged-device": unplugged_device}

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--kelvo", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    arguments = parser.parse_args()
    os.makedirs(arguments.out, exist_ok=True)
    CASES[arguments.case](arguments)
    print(f"{arguments.case}: passed; screenshots in {arguments.out}")
