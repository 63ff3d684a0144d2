# SPDX-License-Identifier: MIT
"""Sample times from the library's sample clock, checked against the simulator's truth log."""
from __future__ import annotations

import re
import subprocess
import sys
import time

import numpy as np
import pytest

import kelvo
from conftest import child_environment, sim_takes

RATE = 2000.0


# A slot's fit outlives its stream, its Device and the close: only a
# library that never streamed has none, so this runs in a fresh interpreter.
BEFORE_A_STREAM = """
import sys, kelvo
with kelvo.open(sys.argv[1]) as dev:
    dev.configure("CONFigure:DEVice 2")
    for call in (lambda: dev.clock, lambda: dev.sample_times(0, 10)):
        try:
            call()
        except kelvo.KelvoError as error:
            print(error)
"""


def test_the_clock_refuses_before_the_first_stream_with_the_library_text(sim):
    path = sim().paths[0]
    shown = subprocess.run([sys.executable, "-c", BEFORE_A_STREAM, path], env=child_environment(),
                           capture_output=True, text=True, timeout=60, check=True)
    lines = shown.stdout.splitlines()
    assert len(lines) == 2
    assert re.fullmatch(f"{path}: sample clock: .*no sample clock yet: the stream has delivered no samples", lines[0])
    assert re.fullmatch(f"{path}: sample times: .*no sample clock yet.*", lines[1])


def test_the_clock_fits_the_rate_of_a_stream(device):
    device.configure("CONFigure:DEVice 2")
    with device.stream():
        device.read(2000, timeout=20)
    clock = device.clock
    assert clock.rate_hz == pytest.approx(RATE, rel=0.01)
    assert clock.period_ticks == pytest.approx(kelvo.TICKS_PER_SECOND / clock.rate_hz)
    assert clock.samples_fitted >= 2000 and clock.jitter_us >= 0
    assert clock.time_of(clock.origin_index) == clock.origin_ticks / kelvo.TICKS_PER_SECOND


def test_read_gives_each_sample_its_time_on_the_clock(device):
    device.configure("CONFigure:DEVice 3")
    with device.stream():
        device.read(2000, timeout=20)  # a second for the fit to settle
        values, times = device.read(1000, timeout=20, times=True)
        read_at = kelvo.now()
        assert values.shape == (1000, 3) and times.shape == (1000,) and times.dtype == np.float64
        steps = np.diff(times)
        assert np.all(steps > 0)
        np.testing.assert_allclose(steps, 1 / RATE, rtol=0.01)
        # A sample could not have been seen before it arrived, and these came within the read.
        assert read_at - 1.0 < times[-1] <= read_at + 0.001
        time.sleep(0.2)  # left queued for the read after the stop
    raw, later = device.read_raw(timeout=5, times=True)
    assert len(raw) >= 200 and later[0] > times[-1]
    # Once the stream stopped, the fit no longer moves: the times a read gave
    # are the clock's for those indices.
    first = int(device.indices[0])
    assert np.array_equal(device.indices, np.arange(first, first + len(raw)))
    assert np.array_equal(device.indices, device.sample_counters(raw).astype(np.int64))
    np.testing.assert_allclose(later, device.sample_times(first, len(raw)), rtol=0, atol=1e-6)
    # A known delay is taken off every time.
    try:
        device.set_latency(0.0015)
        np.testing.assert_allclose(device.sample_times(first, len(raw)), later - 0.0015, rtol=0, atol=1e-6)
    finally:
        device.set_latency(0)
    with pytest.raises(kelvo.InvalidArgument):
        device.set_latency(-1e-3)


def read_truth(path) -> dict[int, float]:
    """The simulator's truth log of the last stream: stream index of each
    block's first sample -> when it was measured (s)."""
    truth: dict[int, float] = {}
    for line in path.read_text().splitlines():
        if line == "# start":
            truth.clear()
        else:
            index, ticks = line.split()
            truth[int(index)] = int(ticks) / kelvo.TICKS_PER_SECOND
    return truth


def test_sample_times_follow_the_device_clock_the_simulator_logged(sim, tmp_path):
    if not (sim_takes("--truth") and sim_takes("--clock-ppm")):
        pytest.skip("this kelvo-sim writes no truth log")
    # A device clock 0.2 % fast: a fit that kept the nominal rate would be
    # 8 ms off by the end of the checked span.
    log = tmp_path / "truth.txt"
    s = sim(rate=RATE, block=20, options=("--clock-ppm", "2000", "--truth", str(log)))
    indices, times = [], []
    with kelvo.open(s.paths[0]) as dev:
        dev.configure("CONFigure:DEVice 2")
        with dev.stream():
            end = time.monotonic() + 6
            while time.monotonic() < end:
                _, t = dev.read(timeout=1, times=True)
                indices.append(dev.indices)
                times.append(t)
        clock = dev.clock
    s.stop()
    truth = read_truth(log)
    fitted = dict(zip(np.concatenate(indices).tolist(), np.concatenate(times).tolist()))
    checked = sorted(index for index in truth if index in fitted)
    assert len(checked) > 500  # blocks of 20 samples for 6 s at 2000 samples/s
    settled = [index for index in checked if truth[index] >= truth[checked[0]] + 2.0]
    offsets = np.array([fitted[index] - truth[index] for index in settled])
    # The transport's delay stays in the times; what varies is what the fit
    # got wrong.
    assert offsets.max() - offsets.min() < 0.002
    assert offsets.min() > -0.001  # no sample is given a time before it was measured
    # The rate the fit found is the device's own, as the log's slope shows.
    slope = np.polyfit(checked, [truth[index] for index in checked], 1)[0]
    assert clock.rate_hz * slope == pytest.approx(1.0, abs=300e-6)
