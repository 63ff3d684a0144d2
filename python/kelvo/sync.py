# SPDX-License-Identifier: MIT
"""Starting several devices in one synchronized moment."""
from __future__ import annotations

import ctypes
import time
from collections.abc import Sequence
from typing import NamedTuple

from . import _library
from .device import Device
from .errors import InvalidArgument, Timeout

#: The library's ticks: 100 ns of CLOCK_MONOTONIC_RAW.
TICKS_PER_SECOND = 10_000_000


class Stamps(NamedTuple):
    """A device's four stamps of a synchronized start, in ticks (:data:`TICKS_PER_SECOND`)."""

    released: int
    """When transmission was released (the same moment for every device)."""
    sent: int
    """When the device's start command went out."""
    first_bytes: int
    """When the device's first bytes came back."""
    first_payload: int
    """When its first stream payload was delivered."""

    def after_release_us(self) -> tuple[float, float, float]:
        """Sent, first bytes and first payload in microseconds after the release."""
        return tuple((stamp - self.released) / 10.0 for stamp in self[1:])  # type: ignore[return-value]


class SyncResult(NamedTuple):
    """What :func:`start_together` returns."""

    stamps: list[Stamps]
    """Each device's stamps, in the order the devices were given."""
    spread_us: float
    """How far apart the start commands went out (stamp 1, ``sent``), in microseconds."""


def _stamps_of(device: Device) -> Stamps:
    values = (ctypes.c_int64 * 4)()
    if _library.library().kelvoGetTimeStampsFromSynchronizedGroup(device.slot, values) != 0:
        raise device._error("stamps")
    return Stamps(*values)


def _complete(stamps: Stamps) -> bool:
    # A stamp older than the release was left from an earlier start.
    return stamps.released > 0 and all(stamp >= stamps.released for stamp in stamps)


def start_together(devices: Sequence[Device], timeout: float = 2.0) -> SyncResult:
    """Start the streams of several devices in one synchronized moment.

    Holds all transmission (kelvoDisableTx), queues each device's start
    command, releases them together (kelvoEnableTx), and waits until every
    device has delivered its first payload.

    Parameters
    ----------
    devices : sequence of Device
        Open and configured, not streaming; one to four.
    timeout : float
        Seconds to wait for every device's first payload.

    Returns
    -------
    SyncResult
        Each device's four stamps and the spread of stamp 1 (``sent``).

    Raises
    ------
    Timeout
        A device sent no payload within `timeout`; the streams that started
        keep streaming (stop or close the devices).
    KelvoError
        A device has no layout or the library refused a start command; then
        nothing was started.
    """
    devices = list(devices)
    if not 1 <= len(devices) <= 4 or not all(isinstance(d, Device) for d in devices):
        raise InvalidArgument("start_together takes one to four open Devices")
    if len({d.slot for d in devices}) != len(devices):
        raise InvalidArgument("start_together got one device twice")
    for device in devices:
        device._check_open()
        device._sample_size_for_reading()
    lib = _library.library()
    lib.kelvoDisableTx()
    try:
        for device in devices:
            if lib.kelvoSendCmdWhileStreaming(device.slot, b"INIT") != 0:
                # Stop those queued already: they go out with the release.
                failure = device._error("start")
                for other in devices:
                    if other is device:
                        break
                    lib.kelvoSendCmdWhileStreaming(other.slot, b"ABORt")
                    other._streaming = False
                raise failure
            device._streaming = True
    finally:
        lib.kelvoEnableTx()
    deadline = time.monotonic() + timeout
    while True:
        stamps = [_stamps_of(device) for device in devices]
        missing = [device.name for device, s in zip(devices, stamps) if not _complete(s)]
        if not missing:
            break
        if time.monotonic() > deadline:
            raise Timeout(f"no stream payload from {', '.join(missing)} within {timeout} s of the synchronized start")
        time.sleep(0.005)
    sent = [s.sent for s in stamps]
    return SyncResult(stamps, (max(sent) - min(sent)) / 10.0)
