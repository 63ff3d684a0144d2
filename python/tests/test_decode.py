# SPDX-License-Identifier: MIT
"""Decoded values against what kelvo-sim sent, for every layout kind."""
from __future__ import annotations

import numpy as np
import pytest

import kelvo
from conftest import PEAK16, PEAK24, lround, waveform

RATE = 2000.0

# Expected value of each column at sample n: (waveform channel, position
# within the oversampling, factor, 24-bit?).
LAYOUTS = {
    "24-bit": (["CONFigure:DEVice 3"], [(0, 0, 1, True), (1, 0, 1, True), (2, 0, 1, True)]),
    "16-bit": (["CONFigure:DEVice 0,3"], [(0, 0, 1, False), (1, 0, 1, False), (2, 0, 1, False)]),
    "IMU": (["CONFigure:DEVice 0,1,1,2"], [(c, 0, 1, False) for c in range(9)]),
    "oversampled": (["CONFigure:SCAn:OVErsampling 2", "CONFigure:DEVice 0,2"],
                    [(0, 0, 2, False), (0, 1, 2, False), (1, 0, 2, False), (1, 1, 2, False)]),
    "scan list": (["CONFigure:SCAn:LISt (@2,3,7)"], [(1, 0, 1, True), (2, 0, 1, True), (6, 0, 1, True)]),
}


def expected(columns, first: int, count: int) -> np.ndarray:
    rows = []
    for n in range(first, first + count):
        row = []
        for channel, sub, factor, wide in columns:
            value = waveform(channel, (n + sub / factor) / RATE)
            row.append(lround(PEAK24 * value) * 256 / 2**31 if wide else lround(PEAK16 * value) / 2**15)
        rows.append(row)
    return np.array(rows)


@pytest.mark.parametrize("kind", list(LAYOUTS))
def test_read_decodes_what_the_simulator_sent(sim, kind):
    commands, columns = LAYOUTS[kind]
    with kelvo.open(sim(rate=RATE).paths[0]) as dev:
        dev.configure(*commands)
        assert len(dev.channel_names) == len(columns)
        assert len(set(dev.channel_names)) == len(columns)
        with dev.stream():
            raw = dev.read_raw(400, timeout=10)
        assert raw.shape == (400, dev.sample_size)
        values = dev.decode(raw)
        assert values.dtype == np.float32 and values.shape == (400, len(columns))
        wide = columns[0][3]
        # The stream starts at sample 0; a layout with a counter says so.
        first = int(dev.sample_counters(raw)[0]) if wide else 0
        if wide:
            assert np.array_equal(dev.sample_counters(raw), np.arange(first, first + 400, dtype=np.uint32))
        lsb = 256 / 2**31 if wide else 1 / 2**15
        np.testing.assert_allclose(values, expected(columns, first, 400), rtol=0, atol=1.5 * lsb)
        # Full scale is +-1: the sine and square reach the simulator's peak.
        peak = PEAK24 * 256 / 2**31 if wide else PEAK16 / 2**15
        assert np.abs(values).max() == pytest.approx(peak, abs=2 * lsb)


def test_read_and_decode_of_read_raw_agree(sim):
    with kelvo.open(sim(rate=RATE).paths[0]) as dev:
        dev.configure("CONFigure:DEVice 2")
        with dev.stream():
            first = dev.read(100, timeout=10)
            raw = dev.read_raw(100, timeout=10)
        counters = dev.sample_counters(raw)
        np.testing.assert_array_equal(dev.decode(raw), expected(
            [(0, 0, 1, True), (1, 0, 1, True)], int(counters[0]), 100).astype(np.float32))
        np.testing.assert_allclose(first, expected([(0, 0, 1, True), (1, 0, 1, True)], 0, 100), atol=2e-7)


def test_sample_counters_refuse_a_layout_without_one(sim):
    with kelvo.open(sim().paths[0]) as dev:
        dev.configure("CONFigure:DEVice 0,2")
        with pytest.raises(kelvo.KelvoError, match="sample counters"):
            dev.sample_counters(np.zeros((1, 4), np.uint8))
