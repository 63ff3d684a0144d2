# SPDX-License-Identifier: MIT
"""Finding libkelvo.so.1 and declaring the C functions the package calls.

The library is looked for, in this order: the path in the KELVO_LIBRARY
environment variable (and nowhere else when it is set); the library directory
of the prefix this package was installed into (``cmake --install`` writes the
relative path into ``_installed.py``); the dynamic loader's own path.
It is loaded on first use, so ``import kelvo`` works without it.
"""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path
from typing import Any

from .errors import KelvoError, LibraryNotFound

SONAME = "libkelvo.so.1"

_int = ctypes.c_int
_ptr = ctypes.c_void_p
_text = ctypes.c_char_p
_i64 = ctypes.c_int64

#: kelvo.h's enum kelvoResult: the results of the calls added since 1.3.
OK = 0
REFUSED = -1
TIMEOUT = -2
TOO_LONG = -3
DISCONNECTED = -4

#: Layout kinds (kelvoLayout.kind), by KELVO_LAYOUT_* value.
LAYOUT_KINDS = {0: "none", 1: "adc24", 2: "adc16", 3: "scan_list"}


class StreamStats(ctypes.Structure):
    """kelvoStreamStats as kelvo.h declares it."""

    _fields_ = [("blocks", ctypes.c_uint64), ("payloadBytes", ctypes.c_uint64), ("samplesDropped", ctypes.c_uint64),
                ("framingErrors", ctypes.c_uint64), ("bytesSkipped", ctypes.c_uint64),
                ("lastDataTicks", ctypes.c_int64)]


class SampleClock(ctypes.Structure):
    """kelvoSampleClock as kelvo.h declares it."""

    _fields_ = [("originIndex", ctypes.c_int64), ("originTicks", ctypes.c_double), ("periodTicks", ctypes.c_double),
                ("rateHz", ctypes.c_double), ("jitterUs", ctypes.c_double), ("samplesFitted", ctypes.c_int64)]


class Layout(ctypes.Structure):
    """kelvoLayout as kelvo.h declares it."""

    _fields_ = [(name, ctypes.c_int32) for name in (
        "kind", "sampleSize", "channelCount", "oversampling", "nAdc24", "nAdc16", "nImu6", "nExtra", "hasCounter")]


#: kelvoSampleCallback: (user, samples, count, firstIndex, firstTicks), run on the I/O thread.
SAMPLE_CALLBACK = ctypes.CFUNCTYPE(None, _ptr, _ptr, _int, _i64, _i64)

# name: (result type, argument types). Functions a library lacks are left
# out and refused by name when called (see function()).
_FUNCTIONS: dict[str, tuple[Any, list[Any]]] = {
    "kelvoOpen": (_int, [_int, _text]),
    "kelvoClose": (_int, [_int]),
    "kelvoIsOpen": (_int, [_int]),
    "kelvoGetOpenError": (_text, [_int]),
    "kelvoSendCmd": (_ptr, [_int, _text, ctypes.POINTER(_int), ctypes.POINTER(_int)]),
    "kelvoQuery": (_int, [_int, _text, _ptr, _int, _int, ctypes.POINTER(_int)]),
    "kelvoSendSCPIbinBlock": (_int, [_int, _ptr, _int]),
    "kelvoSendCmdWhileStreaming": (_int, [_int, _text]),
    "kelvoGetStreamingData": (_int, [_int, _ptr, _int, ctypes.c_uint]),
    "kelvoGetStreamStats": (_int, [_int, ctypes.POINTER(StreamStats)]),
    "kelvoGetSampleSize": (_int, [_int]),
    "kelvoGetLayout": (_int, [_int, ctypes.POINTER(Layout)]),
    "kelvoReadSamples": (_int, [_int, _ptr, _int, _int, ctypes.POINTER(_i64)]),
    "kelvoReadSamplesAtLeast": (_int, [_int, _ptr, _int, _int, _int, ctypes.POINTER(_i64)]),
    "kelvoSetSampleCallback": (_int, [_int, SAMPLE_CALLBACK, _ptr]),
    "kelvoStopStream": (_int, [_int, _int]),
    "kelvoGetSampleClock": (_int, [_int, ctypes.POINTER(SampleClock)]),
    "kelvoGetSampleTimes": (_int, [_int, _i64, _int, _ptr]),
    "kelvoSetSampleLatency": (_int, [_int, _i64]),
    "kelvoGetChannelCount": (_int, [_int]),
    "kelvoGetChannelName": (_text, [_int, _int]),
    "kelvoDecodeSamples": (_int, [_int, _ptr, _int, _ptr]),
    "kelvoGetSampleCounters": (_int, [_int, _ptr, _int, _ptr]),
    "kelvoGetTicks": (_i64, []),
    "kelvoGetTimeStampsFromSynchronizedGroup": (_int, [_int, ctypes.POINTER(_i64)]),
    "kelvoStartTogether": (_int, [ctypes.POINTER(_int), _int, _text, _int]),
    "kelvoGetStartSpread": (_int, [ctypes.POINTER(_int), _int, ctypes.POINTER(_i64)]),
    "kelvoGetLastError": (_text, [_int]),
    "kelvoCheckDeviceErrors": (_int, [_int, _ptr, _int]),
    "kelvoGetFaultBits": (ctypes.c_uint32, [_int]),
    "kelvoGetVersion": (_text, []),
    "kelvoListDevices": (_text, []),
    "kelvoListAllDevices": (_text, []),
    "tMsgInit": (_int, []),
    "tMsgRegisterAsMaster": (_int, []),
    "tMsgRegisterAsSlave": (_int, []),
    "tMsgUnregisterAsMaster": (_int, [_int]),
    "tMsgUnregisterAsSlave": (_int, [_int]),
    "tMsgSendMsgToSlave": (_int, [_text, _int]),
    "tMsgSendMsgToAllSlaves": (_int, [_text]),
    "tMsgSendMsgToMaster": (_int, [_text, _int]),
    "tMsgGetMasterMsg": (_int, [_ptr, _int]),
    "tMsgGetSlaveMsg": (_int, [_ptr, _int]),
    "tMsgGetTimeStamps": (_int, [ctypes.POINTER(_i64), _int]),
    "sdl2Window": (_int, [_int, _int, _int, _int]),
    "sdl2WindowConfigure": (_int, [_int, _int]),
    "sdl2KillWindow": (_int, []),
    "kelvoSetPlotTitle": (_int, [_text]),
    "kelvoPlotWindowIsOpen": (_int, []),
    "kelvoGetPlotError": (_text, []),
}


_lock = threading.Lock()
#: kelvoSendCmd answers into one buffer for all slots: its calls must not overlap.
send_command_lock = threading.Lock()
_library: ctypes.CDLL | None = None


def _installed_candidate() -> Path | None:
    """The library in the prefix this package was installed into, if it was."""
    try:
        from . import _installed  # type: ignore[attr-defined]  # written at install time
    except ImportError:
        return None
    directory: str = _installed.LIBRARY_DIRECTORY
    return (Path(__file__).resolve().parent / directory / SONAME).resolve()


def _load() -> ctypes.CDLL:
    tried: list[str] = []
    override = os.environ.get("KELVO_LIBRARY")
    if override:
        candidates = [(override, f"KELVO_LIBRARY={override}")]
    else:
        candidates = []
        installed = _installed_candidate()
        if installed is not None:
            candidates.append((str(installed), str(installed)))
        candidates.append((SONAME, f"{SONAME} on the loader's path (LD_LIBRARY_PATH, ldconfig)"))
    for target, where in candidates:
        try:
            return ctypes.CDLL(target)
        except OSError as error:
            tried.append(f"{where}: {error}")
    raise LibraryNotFound("cannot load the kelvo library; looked in " + "; ".join(tried))


def _declare(library: ctypes.CDLL) -> None:
    for name, (result, arguments) in _FUNCTIONS.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            continue
        function.restype = result
        function.argtypes = arguments


def library() -> ctypes.CDLL:
    """The loaded library with its functions declared; loads it on first use."""
    global _library
    if _library is None:
        with _lock:
            if _library is None:
                loaded = _load()
                _declare(loaded)
                _library = loaded
    return _library


def function(name: str) -> Any:
    """The declared C function `name`; KelvoError when this library lacks it."""
    lib = library()
    try:
        return getattr(lib, name)
    except AttributeError:
        version = lib.kelvoGetVersion().decode()
        raise KelvoError(f"the kelvo library {version} ({lib._name}) has no {name}") from None


def last_error(slot: int) -> str:
    """The slot's error text once (empty when none is kept, or the port is closed)."""
    text: bytes | None = library().kelvoGetLastError(slot)
    return text.decode(errors="replace") if text else ""


def is_open(slot: int) -> bool:
    """Whether the library's slot holds a port (also a failed or unplugged one)."""
    return bool(function("kelvoIsOpen")(slot))


def plot_error() -> str:
    """Why the last plot call that failed failed."""
    text: bytes | None = function("kelvoGetPlotError")()
    return text.decode(errors="replace") if text else ""


def encode(text: str, what: str = "command") -> bytes:
    """`text` as the C string the library takes."""
    from .errors import InvalidArgument

    if not isinstance(text, str):
        raise InvalidArgument(f"the {what} must be a str, not {type(text).__name__}")
    if "\0" in text:
        raise InvalidArgument(f"the {what} must not contain a NUL character")
    return text.encode()
