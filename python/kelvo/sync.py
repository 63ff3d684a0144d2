# SPDX-License-Identifier: MIT
"""Starting several devices in one synchronized moment."""
from __future__ import annotations

import ctypes
from collections.abc import Sequence
from typing import NamedTuple

from . import _library
from .device import Device, _milliseconds
from .errors import InvalidArgument, KelvoError, Timeout


class Stamps(NamedTuple):
    """A device's four stamps of a synchronized start, in ticks (:data:`kelvo.TICKS_PER_SECOND`)."""

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
    if _library.library().kelvoGetTimeStampsFromSynchronizedGroup(device.slot, values) != _library.OK:
        raise device._error("stamps")
    return Stamps(*values)


def _failure(devices: list[Device], what: str, kind: type[KelvoError] = KelvoError) -> KelvoError:
    """The error of a call on several slots, which keeps its reason as the
    text of the slot it concerns: that device's name and text."""
    texts = [_library.last_error(device.slot) for device in devices]
    device, text = next(((d, t) for d, t in zip(devices, texts) if t), (devices[0], "the library gave no reason"))
    return kind(f"{device.name}: {what}: {text}")


def start_together(devices: Sequence[Device], timeout: float = 2.0) -> SyncResult:
    """Start the streams of several devices in one synchronized moment (kelvoStartTogether).

    The library holds all transmission, queues each device's start command,
    releases them together, and waits, sleeping, until every device has
    delivered its first payload.

    Parameters
    ----------
    devices : sequence of Device
        Open and configured, not streaming; one to four.
    timeout : float
        Seconds to wait for every device's first payload.

    Returns
    -------
    SyncResult
        Each device's four stamps and the spread of stamp 1 (``sent``,
        kelvoGetStartSpread).

    Raises
    ------
    Timeout
        A device sent no payload within `timeout`; the streams that started
        keep streaming (stop or close the devices).
    KelvoError
        A device cannot start (no layout, for instance), with the library's
        reason; then nothing was started.
    """
    devices = list(devices)
    if not 1 <= len(devices) <= 4 or not all(isinstance(d, Device) for d in devices):
        raise InvalidArgument("start_together takes one to four open Devices")
    if len({d.slot for d in devices}) != len(devices):
        raise InvalidArgument("start_together got one device twice")
    for device in devices:
        # As start() does: a stream without a layout cannot be read.
        device._sample_size_for_reading()
    slots = [device.slot for device in devices]
    list_of_slots = (ctypes.c_int * len(slots))(*slots)
    # Texts left from before must not pass for the call's reason.
    _failure(devices, "")
    result = _library.function("kelvoStartTogether")(list_of_slots, len(slots), b"INIT", _milliseconds(timeout))
    if result in (_library.OK, _library.TIMEOUT):
        for device in devices:
            device._streaming = True
    if result != _library.OK:
        raise _failure(devices, "start_together", Timeout if result == _library.TIMEOUT else KelvoError)
    spread = ctypes.c_int64(0)
    if _library.function("kelvoGetStartSpread")(list_of_slots, len(slots), ctypes.byref(spread)) != _library.OK:
        raise _failure(devices, "start spread")
    return SyncResult([_stamps_of(device) for device in devices], spread.value / 10.0)
