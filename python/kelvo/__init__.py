# SPDX-License-Identifier: MIT
"""kelvo: data-acquisition devices that speak SCPI over a serial tty, from Python.

A thin, typed layer over the kelvo C library (libkelvo.so.1)::

    import kelvo
    with kelvo.open("/dev/ttyACM0") as dev:
        dev.configure("CONFigure:DEVice 3")
        with dev.stream():
            data, times = dev.read(1000, times=True)  # float32 (1000, 3), ±1.0; seconds of kelvo.now()

A sample's time is when it could first have been seen by this host, with
jitter removed: the library fits the stream's sample clock to the arrivals
(see :mod:`kelvo.clock`); the constant delay inside the device and the
transport is not known.

Every exception derives from :class:`KelvoError` and carries the library's
own text. The library is found through KELVO_LIBRARY, else in the prefix the
package was installed into, else on the loader's path.
"""
from __future__ import annotations

from . import _library, _version
from .bus import Bus
from .capture import Capture
from .clock import TICKS_PER_SECOND, SampleClock, now, ticks
from .device import Device, open
from .discovery import DeviceInfo, list_devices
from .errors import DeviceError, Disconnected, InvalidArgument, KelvoError, LibraryNotFound, Timeout
from .layout import Layout
from .plot import PlotWindow, plot
from .sync import Stamps, SyncResult, start_together

__version__ = _version.__version__


def library_version() -> str:
    """The loaded C library's version, e.g. ``"1.2.0.2"``."""
    version: bytes = _library.library().kelvoGetVersion()
    return version.decode()


def library_path() -> str:
    """The file the C library was loaded from, as the loader was given it."""
    return _library.library()._name


__all__ = [
    "Bus", "Capture", "Device", "DeviceError", "DeviceInfo", "Disconnected", "InvalidArgument", "KelvoError", "Layout",
    "LibraryNotFound", "PlotWindow", "SampleClock", "Stamps", "SyncResult", "TICKS_PER_SECOND", "Timeout",
    "library_path", "library_version", "list_devices", "now", "open", "plot", "start_together", "ticks",
]
