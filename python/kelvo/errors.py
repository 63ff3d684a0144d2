# SPDX-License-Identifier: MIT
"""The package's exceptions. Every one derives from :class:`KelvoError`."""
from __future__ import annotations


class KelvoError(Exception):
    """A call into kelvo failed; the message carries the library's own text."""


class Timeout(KelvoError, TimeoutError):
    """Nothing (or not all of it) came back in time."""


class Disconnected(KelvoError):
    """The device was unplugged (its tty hung up); what came before it was handed out."""


class DeviceError(KelvoError):
    """The device reported an error on its SCPI error queue.

    Attributes
    ----------
    command : str
        The command after which the device reported it.
    errors : list[str]
        The first error the device reported, as it sent it, e.g.
        ``-113,"Undefined header"``; the library reads the rest off the
        device's queue.
    """

    def __init__(self, message: str, command: str, errors: list[str]) -> None:
        super().__init__(message)
        self.command = command
        self.errors = errors


class LibraryNotFound(KelvoError):
    """libkelvo.so.1 could not be loaded; the message says where it was looked for."""


class InvalidArgument(KelvoError, ValueError):
    """An argument the library would refuse, caught before the call."""
