# SPDX-License-Identifier: MIT
"""Capture sessions: one to four devices recorded, published and read at once.

A session (libkelvo-capture.so.1, ``kelvo_capture.h``) opens and configures
its devices, checking each command with the device's error queue, starts
them at one moment and hands their streams to every sink it was given: an
HDF5 file, a ZeroMQ publisher, and this program::

    with kelvo.Capture(["SIM0001", "SIM0002"], config=["CONFigure:DEVice 2"], hdf5="run.h5") as capture:
        capture.start()
        capture.mark("stimulus on")
        for serial, values, times, first_index in capture.read(timeout=1.0):
            ...

Times are seconds of the library's clock (:func:`kelvo.now`), from each
device's sample clock.
"""
from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from time import monotonic
from types import TracebackType
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _library
from .clock import TICKS_PER_SECOND
from .errors import KelvoError, LibraryNotFound

SONAME = "libkelvo-capture.so.1"

_int = ctypes.c_int
_ptr = ctypes.c_void_p
_text = ctypes.c_char_p
_i64 = ctypes.c_int64


class _Batch(ctypes.Structure):
    """kelvoCaptureBatch as kelvo_capture.h declares it."""

    _fields_ = [("device", _int), ("channels", _int), ("count", _int), ("firstIndex", _i64),
                ("values", ctypes.POINTER(ctypes.c_float)), ("ticks", ctypes.POINTER(_i64))]


class _Stats(ctypes.Structure):
    """kelvoCaptureStats as kelvo_capture.h declares it."""

    _fields_ = [(name, ctypes.c_uint64)
                for name in ("received", "dropped", "framingErrors", "gaps", "reconnects", "markers", "published")]


class _Gap(ctypes.Structure):
    """kelvoCaptureGap as kelvo_capture.h declares it."""

    _fields_ = [("device", _int), ("cause", _text), ("firstIndex", _i64), ("lastIndex", _i64),
                ("startTicks", _i64), ("endTicks", _i64), ("samplesLost", _i64)]


_FUNCTIONS: dict[str, tuple[Any, list[Any]]] = {
    "kelvoCaptureCreate": (_ptr, []),
    "kelvoCaptureDestroy": (None, [_ptr]),
    "kelvoCaptureGetError": (_text, [_ptr]),
    "kelvoCaptureAddDevice": (_int, [_ptr, _text]),
    "kelvoCaptureAddConfig": (_int, [_ptr, _text]),
    "kelvoCaptureSetHdf5": (_int, [_ptr, _text, _int]),
    "kelvoCaptureSetHdf5Split": (_int, [_ptr, ctypes.c_double]),
    "kelvoCaptureSetPublish": (_int, [_ptr, _text, _text, _int]),
    "kelvoCaptureEnableRead": (_int, [_ptr]),
    "kelvoCaptureOpen": (_int, [_ptr]),
    "kelvoCaptureStart": (_int, [_ptr]),
    "kelvoCaptureStop": (_int, [_ptr]),
    "kelvoCaptureRead": (_int, [_ptr, ctypes.POINTER(_Batch), _int]),
    "kelvoCaptureMark": (_int, [_ptr, _text, _i64]),
    "kelvoCaptureGetStats": (_int, [_ptr, _int, ctypes.POINTER(_Stats)]),
    "kelvoCaptureGetGaps": (_int, [_ptr, ctypes.POINTER(_Gap), _int]),
    "kelvoCaptureSetReconnect": (_int, [_ptr, _int, _int]),
    "kelvoCaptureGetDeviceCount": (_int, [_ptr]),
    "kelvoCaptureGetSerial": (_text, [_ptr, _int]),
    "kelvoCaptureGetChannels": (_text, [_ptr, _int]),
    "kelvoCaptureAddMarkerSource": (_int, [_ptr, _text]),
    "kelvoCaptureGetMarkerStats": (_int, [_ptr, ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_uint64)]),
    "kelvoCaptureSetControl": (_int, [_ptr, _text]),
    "kelvoCaptureGetControlEndpoint": (_text, [_ptr]),
    "kelvoCaptureSetWebView": (_int, [_ptr, _text, _int]),
    "kelvoCaptureGetWebUrl": (_text, [_ptr]),
    "kelvoCaptureWait": (_int, [_ptr, _int]),
}

_RAW = 1
_loaded: ctypes.CDLL | None = None


def _candidates() -> list[tuple[str, str]]:
    """Where the capture library is looked for: KELVO_CAPTURE_LIBRARY alone
    when it is set, else beside the kelvo library in use, else the loader's path."""
    override = os.environ.get("KELVO_CAPTURE_LIBRARY")
    if override:
        return [(override, f"KELVO_CAPTURE_LIBRARY={override}")]
    beside = Path(_library.library()._name).resolve().parent / SONAME
    return [(str(beside), str(beside)), (SONAME, f"{SONAME} on the loader's path (LD_LIBRARY_PATH, ldconfig)")]


def _capture_library() -> ctypes.CDLL:
    """libkelvo-capture.so.1, loaded after the kelvo library it links, its functions declared."""
    global _loaded
    if _loaded is None:
        tried = []
        for target, where in _candidates():
            try:
                library = ctypes.CDLL(target)
                break
            except OSError as error:
                tried.append(f"{where}: {error}")
        else:
            raise LibraryNotFound("cannot load the kelvo capture library; looked in " + "; ".join(tried))
        for name, (result, arguments) in _FUNCTIONS.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        _loaded = library
    return _loaded


class Capture:
    """A capture session of one to four devices.

    Parameters
    ----------
    devices : sequence of str
        Tty paths, serial numbers (of USB devices or running simulators) or
        lines of :func:`kelvo.list_devices`.
    config : iterable of str
        Configuration commands sent to every device, each checked with the
        device's error queue; they must give the devices a sample layout.
    hdf5 : str or path, optional
        Record into this HDF5 file.
    raw : bool
        Keep each sample's raw bytes in the recording too.
    split : float, optional
        Write the recording as files of this many seconds of sample time
        each: ``run-0001.h5``, ``run-0002.h5``, ... for `hdf5` ``run.h5``,
        every sample in the file of its time.
    publish : str, optional
        Publish on a ZeroMQ PUB socket bound to this endpoint
        (``"tcp://*:5555"``).
    hwm : int
        The publisher's high-water mark in messages (0: kelvo's default,
        about ten seconds of four devices at full rate).
    read : bool, optional
        Keep the samples for :meth:`read` (about ten seconds of four devices
        at full rate; what does not fit is dropped and counted). By default,
        only when there is none of `hdf5`, `publish` and `web`.
    reconnect : bool
        Bring a device that hangs up back (by its serial number, checked
        with ``*IDN?``, configured again), on the same time axis; the break
        is a gap in :attr:`gaps`. Without, it is gone for the rest of the
        session.
    give_up : float, optional
        End the session when a device that hung up is not back within this
        many seconds (by default never while another device streams; when
        every device is gone, after 10 s).
    markers : str or sequence of str, optional
        Also take markers other programs send: ``"bus"`` (this session
        becomes the message bus's master; ``kelvo mark TEXT``) or ZeroMQ
        endpoints to listen on with a PULL socket (``"tcp://*:5556"``;
        ``kelvo mark --to ENDPOINT TEXT``). See :attr:`marker_stats`.
    control : str, optional
        Take commands of scripts (``kelvo control ENDPOINT status``, or JSON
        requests on a ZeroMQ REQ socket: docs/control.md) on
        a port (``"5557"``: ``tcp://127.0.0.1:5557``; ``"0"``: one the system
        picks) or an endpoint as given. :attr:`control_endpoint` says where
        it listens; a ``stop`` command ends the session as :meth:`wait` sees.
    web : str, optional
        Show the session live in web browsers (as ``kelvo serve`` does):
        a page and its WebSocket on ``"HOST:PORT"`` (``"127.0.0.1:8080"``;
        port 0 picks a free one). :attr:`web_url` is the page's address.
    web_token : bool, optional
        Put a random token into that address and refuse requests without
        it; by default there is one unless `web` is a loopback address.

    The devices are opened and configured here; a device that cannot be had
    raises :class:`KelvoError` at once and leaves nothing open and no file.
    Streaming begins at :meth:`start`. Leaving a ``with`` block stops the
    session and closes the devices.
    """

    def __init__(self, devices: Sequence[str], config: Iterable[str] = (), *,
                 hdf5: str | os.PathLike[str] | None = None, raw: bool = False, split: float | None = None,
                 publish: str | None = None, hwm: int = 0, read: bool | None = None, reconnect: bool = True,
                 give_up: float | None = None, markers: str | Sequence[str] = (),
                 control: str | None = None, web: str | None = None, web_token: bool | None = None) -> None:
        self._handle: int | None = None
        self._reading = False
        self._lib = _capture_library()
        self._handle = self._lib.kelvoCaptureCreate()
        if not self._handle:
            raise KelvoError("no memory for a capture session")
        try:
            for device in devices:
                self._call("kelvoCaptureAddDevice", str(device).encode())
            for command in config:
                self._call("kelvoCaptureAddConfig", command.encode())
            if hdf5 is not None:
                self._call("kelvoCaptureSetHdf5", os.fsencode(hdf5), _RAW if raw else 0)
                if split is not None:
                    self._call("kelvoCaptureSetHdf5Split", float(split))
            if publish is not None:
                self._call("kelvoCaptureSetPublish", publish.encode(), None, hwm)
            if give_up is not None and give_up <= 0:
                raise KelvoError("give_up is a number of seconds above 0")
            self._call("kelvoCaptureSetReconnect", int(reconnect), round((give_up or 0) * 1000))
            for source in [markers] if isinstance(markers, str) else markers:
                self._call("kelvoCaptureAddMarkerSource", source.encode())
            if control is not None:
                self._call("kelvoCaptureSetControl", str(control).encode())
            if web is not None:
                self._call("kelvoCaptureSetWebView", str(web).encode(), -1 if web_token is None else int(web_token))
            self._reading = bool(read or (read is None and hdf5 is None and publish is None and web is None))
            if self._reading:
                self._call("kelvoCaptureEnableRead")
            self._call("kelvoCaptureOpen")
        except BaseException:
            self.close()
            raise
        count = self._lib.kelvoCaptureGetDeviceCount(self._handle)
        #: The devices' serial numbers (their paths when they have none), in order.
        self.serials: list[str] = [self._lib.kelvoCaptureGetSerial(self._handle, d).decode() for d in range(count)]
        #: Each device's channel names, by serial number.
        self.channel_names: dict[str, list[str]] = {
            serial: self._lib.kelvoCaptureGetChannels(self._handle, d).decode().split(",")
            for d, serial in enumerate(self.serials)}
        self._batch = _Batch()
        endpoint = self._lib.kelvoCaptureGetControlEndpoint(self._handle)
        #: Where the control socket listens, as bound; None without `control`.
        self.control_endpoint: str | None = endpoint.decode() if endpoint else None
        url = self._lib.kelvoCaptureGetWebUrl(self._handle)
        #: The live view's address (with its token); None without `web`.
        self.web_url: str | None = url.decode() if url else None

    def _call(self, name: str, *arguments: Any) -> int:
        result: int = getattr(self._lib, name)(self._live(), *arguments)
        if result == _library.REFUSED:
            raise KelvoError(self._lib.kelvoCaptureGetError(self._handle).decode(errors="replace"))
        return result

    def _live(self) -> int:
        if not self._handle:
            raise KelvoError("the capture session is closed")
        return self._handle

    def start(self) -> None:
        """Start every device's stream at one moment."""
        self._call("kelvoCaptureStart")

    def stop(self) -> None:
        """Stop the streams, hand every sink what is still queued and close the file.

        Raises :class:`KelvoError` with the first failure of the run (a
        device unplugged or silent, a file that could not be written).
        """
        self._call("kelvoCaptureStop")

    def wait(self, timeout: float | None = None) -> bool:
        """Sleep until the session ended by itself (every device gave its
        samples, a failure, a ``stop`` command) or `timeout` seconds passed
        (None: for ever); True when it ended. :meth:`stop` then says how."""
        slice_ms = 200  # short waits, so that Ctrl-C is seen
        deadline = None if timeout is None else monotonic() + timeout
        while True:
            left = slice_ms if deadline is None else min(slice_ms, max(0, round((deadline - monotonic()) * 1000)))
            if self._call("kelvoCaptureWait", left) == _library.OK:
                return True
            if deadline is not None and monotonic() >= deadline:
                return False

    def mark(self, text: str, time: float | None = None) -> None:
        """Put a marker into every sink, at `time` (seconds of :func:`kelvo.now`) or now.

        Raises :class:`KelvoError` when the session does not run, the text is
        over 4096 bytes of UTF-8, or 4096 markers wait already.
        """
        ticks = 0 if time is None else round(time * TICKS_PER_SECOND)
        self._call("kelvoCaptureMark", text.encode(), ticks)

    def read(self, timeout: float = 1.0) -> list[tuple[str, NDArray[np.float32], NDArray[np.float64], int]]:
        """What arrived: a list of ``(serial, values, times, first_index)``.

        Waits up to `timeout` seconds for the first batch, then takes every
        batch queued. `values` is float32 of shape (n, channels), full scale
        ±1.0; `times` float64 seconds of :func:`kelvo.now`, rising; the
        stream index of row k is ``first_index + k``. An empty list when
        nothing came in time, or once the stopped session was read out.
        """
        if not self._reading:
            raise KelvoError("this capture keeps no samples for read(): give it read=True")
        taken = []
        wait_ms = max(0, round(timeout * 1000))
        while self._lib.kelvoCaptureRead(self._live(), ctypes.byref(self._batch), wait_ms) == _library.OK:
            b = self._batch
            values = np.ctypeslib.as_array(b.values, shape=(b.count, b.channels)).copy()
            times = np.ctypeslib.as_array(b.ticks, shape=(b.count,)).astype(np.float64) / TICKS_PER_SECOND
            taken.append((self.serials[b.device], values, times, int(b.firstIndex)))
            wait_ms = 0
        return taken

    @property
    def stats(self) -> dict[str, dict[str, int]]:
        """Per serial number: ``received``, ``dropped``, ``framing_errors``, ``gaps``, ``reconnects``, ``markers``."""
        out = {}
        for d, serial in enumerate(self.serials):
            s = _Stats()
            if self._lib.kelvoCaptureGetStats(self._live(), d, ctypes.byref(s)) != _library.OK:
                raise KelvoError(f"no statistics for {serial}")
            out[serial] = {"received": s.received, "dropped": s.dropped, "framing_errors": s.framingErrors,
                           "gaps": s.gaps, "reconnects": s.reconnects, "markers": s.markers}
        return out

    @property
    def gaps(self) -> list[dict[str, Any]]:
        """Every run of samples that never came, in the order the gaps closed.

        Each a dict: ``serial``, ``cause`` ("disconnected", "queue full",
        "framing" or "device counter jump"), ``first_index`` and
        ``last_index`` (the stream indexes missing), ``start_ticks`` and
        ``end_ticks`` (the times of the samples around the gap, in ticks of
        :func:`kelvo.now`; the stop for a device that never came back) and
        ``samples_lost``.
        """
        count = self._lib.kelvoCaptureGetGaps(self._live(), None, 0)
        if count < 0:
            raise KelvoError("no gaps before the session is open")
        records = (_Gap * max(count, 1))()
        count = min(count, self._lib.kelvoCaptureGetGaps(self._live(), records, count))
        return [{"serial": self.serials[g.device], "cause": g.cause.decode(), "first_index": g.firstIndex,
                 "last_index": g.lastIndex, "start_ticks": g.startTicks, "end_ticks": g.endTicks,
                 "samples_lost": g.samplesLost} for g in records[:count]]

    @property
    def marker_stats(self) -> dict[str, int]:
        """The whole session's ``received`` markers (the sinks got them) and ``dropped`` ones.

        Dropped are messages from other programs that cannot be markers (too
        long, not UTF-8, badly framed) and markers that found the queue full.
        """
        received, dropped = ctypes.c_uint64(), ctypes.c_uint64()
        self._call("kelvoCaptureGetMarkerStats", ctypes.byref(received), ctypes.byref(dropped))
        return {"received": received.value, "dropped": dropped.value}

    def close(self) -> None:
        """Stop what still runs and close the devices; the session cannot be used after."""
        if self._handle:
            self._lib.kelvoCaptureDestroy(self._handle)
            self._handle = None

    def __enter__(self) -> Capture:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()
