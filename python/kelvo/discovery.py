# SPDX-License-Identifier: MIT
"""Listing attached devices and naming one to open."""
from __future__ import annotations

import os
from typing import NamedTuple, Union

from . import _library
from .errors import InvalidArgument, KelvoError
from .simulators import running_simulated_devices


class DeviceInfo(NamedTuple):
    """One line of the library's device list.

    Attributes
    ----------
    kind : str
        The device family the serial number tells, ``"simulated"`` for a
        device of kelvo-sim, or ``"foreign"`` for another USB tty (listed
        only with ``all=True``).
    path : str
        The tty, e.g. ``/dev/ttyACM0``.
    serial : str
        The USB serial number (may be empty).
    """

    kind: str
    path: str
    serial: str


#: What :func:`kelvo.open` takes as a device.
DeviceName = Union[str, os.PathLike, DeviceInfo]


def _parse(listing: bytes | None) -> list[DeviceInfo]:
    devices = []
    for line in (listing or b"").decode(errors="replace").splitlines():
        fields = line.split("\t")
        if len(fields) == 3:
            devices.append(DeviceInfo(*fields))
    return devices


def list_devices(all: bool = False) -> list[DeviceInfo]:  # noqa: A002 - the library's own word
    """The attached devices of the accepted USB identities, then the devices
    of running kelvo-sim processes (kind ``"simulated"``), as `kelvo list`
    shows them.

    Parameters
    ----------
    all : bool
        Also list other USB ttys, of kind ``"foreign"``.

    Returns
    -------
    list of DeviceInfo
        In the order the library found them; empty when there are none.
    """
    lib = _library.library()
    devices = _parse(lib.kelvoListAllDevices() if all else lib.kelvoListDevices())
    return devices + [DeviceInfo("simulated", d.path, d.serial) for d in running_simulated_devices()]


def resolve(device: DeviceName) -> str:
    """What kelvoOpen gets for `device`: a tty path, a list line as it is, or
    the path of the listed device with that serial number."""
    if isinstance(device, DeviceInfo):
        return device.path
    if isinstance(device, os.PathLike):
        device = os.fspath(device)
    if not isinstance(device, str):
        raise InvalidArgument(f"a device is a tty path, a list line or a serial number, not {type(device).__name__}")
    if not device:
        raise InvalidArgument("the device name is empty")
    if "\t" in device:
        return device.rstrip("\r\n")
    if "/" in device:
        return device
    for info in list_devices(all=True):
        if info.serial == device:
            return info.path
    if os.path.exists("/dev/" + device):
        return "/dev/" + device
    raise KelvoError(f"no device '{device}': not a tty path, and no listed device has that serial number")


def path_of(target: str) -> str:
    """The tty path of a resolved device (the middle field of a list line)."""
    fields = target.split("\t")
    return fields[1] if len(fields) >= 2 else target


def display_name(device: DeviceName, target: str) -> str:
    """How messages name a device: its serial number when it was opened by
    one (or by a list entry that has one), else its tty path."""
    if isinstance(device, DeviceInfo):
        return device.serial or device.path
    if isinstance(device, str) and "/" not in device and "\t" not in device:
        return device
    fields = target.split("\t")
    if len(fields) == 3 and fields[2]:
        return fields[2]
    return path_of(target)
