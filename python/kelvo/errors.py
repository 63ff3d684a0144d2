# SPDX-License-Identifier: MIT
"""The package's exceptions. Every one derives from :class:`KelvoError`."""
from __future__ import annotations


class KelvoError(Exception):
    """A call into kelvo failed; the message carries the library's own text."""


class Timeout(KelvoError, TimeoutError):
    """Nothing (or not all of it) came back in time."""


class DeviceError(KelvoError):
    """The device reported an error on its SCPI error queue.

    Attributes
    ----------
    command : str
        The command after which the device reported it.
    errors : list[str]
        The device's error lines as it sent them, e.g. ``-113,"Undefined header"``.
    """

    def __init__(self, message: str, command: str, errors: list[str]) -> None:
        super().__init__(message)
        self.command = command
        self.errors = errors


class LibraryNotFound(KelvoError):
    """libkelvo.so.1 could not be loaded; the message says where it was looked for."""


class InvalidArgument(KelvoError, ValueError):
    """An argument the library would refuse, caught before the call."""
