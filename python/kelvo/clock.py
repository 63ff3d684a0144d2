# SPDX-License-Identifier: MIT
"""The library's clock, and the fit that gives each stream sample its time.

Times are seconds of the library's clock: its ticks (100 ns units of
CLOCK_MONOTONIC_RAW) divided by :data:`TICKS_PER_SECOND`. A sample's time is
when it could first have been seen by this host, with jitter removed: the
library fits a line through the arrivals of the stream's bytes (their lower
envelope, so that a late read does not move it) and reads each sample's time
off it. The constant delay inside the device and the transport is not known
here: devices of one kind align with each other, and
:meth:`kelvo.Device.set_latency` takes off a delay known for the device.
"""
from __future__ import annotations

from dataclasses import dataclass

from . import _library

#: The library's ticks: 100 ns of CLOCK_MONOTONIC_RAW.
TICKS_PER_SECOND = 10_000_000


def ticks() -> int:
    """The library's clock now, in ticks (:data:`TICKS_PER_SECOND`)."""
    return int(_library.library().kelvoGetTicks())


def now() -> float:
    """The library's clock now, in seconds: the scale of the sample times."""
    return ticks() / TICKS_PER_SECOND


@dataclass(frozen=True)
class SampleClock:
    """A stream's sample clock, as the library fitted it (kelvoGetSampleClock).

    Sample ``i`` was measured at ``origin_ticks + (i - origin_index) *
    period_ticks`` ticks.

    Attributes
    ----------
    origin_index : int
        The stream index the origin belongs to.
    origin_ticks : float
        The fitted time of sample `origin_index`, in ticks, the latency set
        with :meth:`kelvo.Device.set_latency` taken off.
    period_ticks : float
        Ticks per sample: the device's true rate, its drift included.
    rate_hz : float
        Samples per second, ``1e7 / period_ticks``.
    jitter_us : float
        How far arrivals lie above the fit (their median), in microseconds.
    samples_fitted : int
        Samples the fit has seen.
    """

    origin_index: int
    origin_ticks: float
    period_ticks: float
    rate_hz: float
    jitter_us: float
    samples_fitted: int

    @classmethod
    def from_record(cls, record: _library.SampleClock) -> SampleClock:
        return cls(record.originIndex, record.originTicks, record.periodTicks, record.rateHz, record.jitterUs,
                   record.samplesFitted)

    def time_of(self, index: int) -> float:
        """The time of sample `index` on this fit, in seconds (as :func:`now` counts)."""
        return (self.origin_ticks + (index - self.origin_index) * self.period_ticks) / TICKS_PER_SECOND
