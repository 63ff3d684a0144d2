# SPDX-License-Identifier: MIT
"""The live plot window (SDL2, drawn by the library's own render thread)."""
from __future__ import annotations

from . import _library
from .device import Device
from .errors import InvalidArgument, KelvoError


def _plot_error() -> str:
    return _library.plot_error() or "the library gave no reason"


class PlotWindow:
    """An open plot window; :meth:`close` (or leaving the ``with`` block) closes it.

    One window exists at a time: opening another closes this one.
    """

    def __init__(self, device: Device, span: int) -> None:
        self.device = device
        self.span = span
        self._open = True

    def __enter__(self) -> PlotWindow:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        """Whether the window is still up: False once closed here or by its user."""
        return self._open and bool(_library.function("kelvoPlotWindowIsOpen")())

    def close(self) -> None:
        """Stop the render thread and close the window."""
        if self._open:
            self._open = False
            _library.library().sdl2KillWindow()


def plot(device: Device, span: int = 2000, x: int = 100, y: int = 100, width: int = 1000,
         height: int = 600) -> PlotWindow:
    """Open the plot window on `device`'s stream.

    Parameters
    ----------
    device : Device
        Configured; the window is laid out for its current layout and plots
        what it streams.
    span : int
        Samples across the window.
    x, y, width, height : int
        Where the window goes, in pixels.

    Raises
    ------
    KelvoError
        No window could be opened (no display, for instance), with the
        library's reason.
    """
    for name, value in (("span", span), ("x", x), ("y", y), ("width", width), ("height", height)):
        if not isinstance(value, int):
            raise InvalidArgument(f"{name} must be an int, not {value!r}")
    if span < 1 or width < 1 or height < 1:
        raise InvalidArgument("span, width and height must be 1 or more")
    device._check_open()
    lib = _library.library()
    lib.sdl2Window(x, y, width, height)
    if not _library.function("kelvoPlotWindowIsOpen")():
        raise KelvoError(f"no plot window: {_plot_error()}")
    if lib.sdl2WindowConfigure(device.slot, span) != 0:
        why = _plot_error()
        lib.sdl2KillWindow()
        raise KelvoError(f"{device.name}: the plot window cannot lay out its stream: {why}")
    return PlotWindow(device, span)
