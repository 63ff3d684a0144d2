# SPDX-License-Identifier: MIT
"""kelvo: data-acquisition devices that speak SCPI over a serial tty, from Python.

A thin, typed layer over the kelvo C library (libkelvo.so.1)::

    import kelvo
    with kelvo.open("/dev/ttyACM0") as dev:
        dev.configure("CONFigure:DEVice 3")
        with dev.stream():
            data = dev.read(1000)      # float32, shape (1000, 3), full scale ±1.0

Every exception derives from :class:`KelvoError` and carries the library's
own text. The library is found through KELVO_LIBRARY, else in the prefix the
package was installed into, else on the loader's path.
"""
from __future__ import annotations

from . import _library
from .bus import Bus
from .device import Device, open
from .discovery import DeviceInfo, list_devices
from .errors import DeviceError, InvalidArgument, KelvoError, LibraryNotFound, Timeout
from .plot import PlotWindow, plot
from .sync import TICKS_PER_SECOND, Stamps, SyncResult, start_together

__version__ = "1.2.0.2"


def library_version() -> str:
    """The loaded C library's version, e.g. ``"1.2.0.2"``."""
    return _library.library().kelvoGetVersion().decode()


def library_path() -> str:
    """The file the C library was loaded from, as the loader was given it."""
    return _library.library()._name


def ticks() -> int:
    """The library's clock now, in ticks (:data:`TICKS_PER_SECOND`)."""
    return _library.library().kelvoGetTicks()


__all__ = [
    "Bus", "Device", "DeviceError", "DeviceInfo", "InvalidArgument", "KelvoError", "LibraryNotFound",
    "PlotWindow", "Stamps", "SyncResult", "TICKS_PER_SECOND", "Timeout", "library_path", "library_version",
    "list_devices", "open", "plot", "start_together", "ticks",
]
