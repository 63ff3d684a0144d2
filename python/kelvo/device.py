# SPDX-License-Identifier: MIT
"""One open device slot: commands, configuration, streaming and reading."""
from __future__ import annotations

import ctypes
import math
import os
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import NDArray

from . import _library
from .clock import TICKS_PER_SECOND, SampleClock
from .discovery import DeviceName, display_name, path_of, resolve
from .errors import DeviceError, Disconnected, InvalidArgument, KelvoError, Timeout
from .layout import Layout

SLOTS = 4

# The library's stream queue holds 256 KiB: a read without a count takes
# at most that much.
_QUEUE_BYTES = 262144
_ANSWER_CAPACITY = 1 << 20
_ERROR_CAPACITY = 512
# What kelvoReadSamples takes as its time-out.
_LONGEST_WAIT_MS = 2**31 - 1

_claim_lock = threading.Lock()
_claimed: set[int] = set()


def _claim(slot: int | None) -> int:
    """Reserve `slot`, or the first slot neither open in the library nor claimed here."""
    with _claim_lock:
        if slot is None:
            free = [s for s in range(SLOTS) if s not in _claimed and not _library.is_open(s)]
            if not free:
                raise KelvoError("all four device slots are in use")
            slot = free[0]
        elif not isinstance(slot, int) or not 0 <= slot < SLOTS:
            raise InvalidArgument(f"slot must be 0 to 3, not {slot!r}")
        elif slot in _claimed or _library.is_open(slot):
            raise KelvoError(f"slot {slot} is in use")
        _claimed.add(slot)
        return slot


def _release(slot: int) -> None:
    with _claim_lock:
        _claimed.discard(slot)


def _explain_open_failure(slot: int, path: str) -> str:
    """Why kelvoOpen refused: the library's own reason when it keeps one, else what the file system tells."""
    reason: bytes | None = _library.function("kelvoGetOpenError")(slot)
    if reason:
        return reason.decode(errors="replace")
    text = _library.last_error(slot)
    if text:
        return text
    try:
        os.stat(path)
    except OSError as error:
        return f"{path}: {error.strerror}"
    if not os.access(path, os.R_OK | os.W_OK):
        return f"{path}: permission denied (join the dialout group or add a udev rule; see the README)"
    return f"{path}: the library could not set it up as a serial line"


def _milliseconds(timeout: float) -> int:
    if not isinstance(timeout, (int, float)) or not timeout > 0:
        raise InvalidArgument(f"timeout must be a positive number of seconds, not {timeout!r}")
    return max(1, min(2**31 - 1, round(timeout * 1000)))


def _wait_ms(seconds: float) -> int:
    """`seconds` still to wait as kelvoReadSamples' time-out: rounded up, so that a read does not end early."""
    return max(0, min(_LONGEST_WAIT_MS, math.ceil(seconds * 1000)))


def _check_timeout(timeout: float) -> None:
    if not isinstance(timeout, (int, float)) or not timeout >= 0:
        raise InvalidArgument(f"timeout must be 0 or more seconds, not {timeout!r}")


def _raw_samples(raw: Any, sample_size: int) -> NDArray[np.uint8]:
    """`raw` as a C-contiguous uint8 array of whole samples, shape (n, sample_size)."""
    if isinstance(raw, (bytes, bytearray, memoryview)):
        raw = np.frombuffer(raw, dtype=np.uint8)
    if not isinstance(raw, np.ndarray) or raw.dtype != np.uint8:
        raise InvalidArgument("raw samples are a uint8 numpy array (as read_raw returns) or bytes")
    if raw.size % sample_size != 0:
        raise InvalidArgument(f"{raw.size} bytes are no whole number of {sample_size}-byte samples")
    return np.ascontiguousarray(raw).reshape(-1, sample_size)


def open(device: DeviceName, slot: int | None = None) -> Device:  # noqa: A001 - kelvo.open, like gzip.open
    """Open a device in a slot of the library.

    Parameters
    ----------
    device : str, os.PathLike or DeviceInfo
        A tty path (``/dev/ttyACM0``), a line of the device list, a
        :class:`DeviceInfo`, or a serial number that :func:`list_devices`
        shows.
    slot : int, optional
        The slot, 0 to 3; by default the first free one.

    Returns
    -------
    Device
        Open; use it as a context manager (or call :meth:`Device.close`).

    Raises
    ------
    KelvoError
        With the library's reason when the device does not open, or when no
        slot is free.
    """
    target = resolve(device)
    command = _library.encode(target, "device")
    name = display_name(device, target)
    taken = _claim(slot)
    try:
        lib = _library.library()
        if lib.kelvoOpen(taken, command) != 0:
            why = _explain_open_failure(taken, path_of(target))
            # A path that opens but is no terminal stays open, unserved, in
            # the slot; closing it frees the slot again.
            if _library.is_open(taken):
                lib.kelvoClose(taken)
            raise KelvoError(f"cannot open {name}: {why}")
    except BaseException:
        _release(taken)
        raise
    try:
        return Device(taken, name, path_of(target))
    except BaseException:
        lib.kelvoClose(taken)
        _release(taken)
        raise


class Device:
    """A device open in one of the library's four slots.

    Made by :func:`kelvo.open`. Use one Device from one thread at a time;
    different devices may be used from different threads.

    Attributes
    ----------
    slot : int
        The library's slot, 0 to 3.
    name : str
        The name it was opened by.
    path : str
        Its tty.
    """

    def __init__(self, slot: int, name: str, path: str) -> None:
        self._open = False
        self._lib = _library.library()
        # Looked up once: read() runs them on every call.
        self._channel_count = _library.function("kelvoGetChannelCount")
        self._decode = _library.function("kelvoDecodeSamples")
        self._read_samples = _library.function("kelvoReadSamples")
        self._read_at_least = _library.function("kelvoReadSamplesAtLeast")
        self._size_of = self._lib.kelvoGetSampleSize
        self.slot = slot
        self.name = name
        self.path = path
        self._open = True
        self._streaming = False
        self._answer: ctypes.Array[ctypes.c_char] | None = None
        self._raw = np.empty(0, dtype=np.uint8)
        self._raw_address = 0
        self._first_index = ctypes.c_int64(0)
        self._first_index_ref = ctypes.byref(self._first_index)
        # The runs of consecutive samples the last read got: (stream index
        # of the first, row in the result, count).
        self._runs: list[tuple[int, int, int]] = []

    def __repr__(self) -> str:
        state = "streaming" if self._streaming else "open" if self._open else "closed"
        return f"<kelvo.Device {self.name!r} slot {self.slot} {state}>"

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing may escape a finalizer
            pass

    # ---- state -----------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` has run."""
        return not self._open

    @property
    def streaming(self) -> bool:
        """Whether this Device started a stream and did not stop it yet."""
        return self._streaming

    def _check_open(self) -> None:
        if not self._open:
            raise KelvoError(f"{self.name}: the device is closed")

    def _error(self, what: str, kind: type[KelvoError] = KelvoError) -> KelvoError:
        text = _library.last_error(self.slot) or "the library gave no reason"
        return kind(f"{self.name}: {what}: {text}")

    def close(self) -> None:
        """Stop a stream this Device started, then close the slot. Closing twice does nothing."""
        if not self._open:
            return
        try:
            if self._streaming:
                try:
                    self.stop()
                except KelvoError:
                    pass  # kelvoClose sends the device its abort anyway
        finally:
            self._open = False
            self._streaming = False
            self._lib.kelvoClose(self.slot)
            _release(self.slot)

    # ---- commands --------------------------------------------------------

    def _exchange(self, command: str, timeout: float) -> tuple[bytes, bool]:
        self._check_open()
        encoded = _library.encode(command)
        milliseconds = _milliseconds(timeout)
        if self._answer is None:
            self._answer = ctypes.create_string_buffer(_ANSWER_CAPACITY)
        binary = ctypes.c_int(0)
        length = self._lib.kelvoQuery(self.slot, encoded, self._answer, _ANSWER_CAPACITY, milliseconds,
                                      ctypes.byref(binary))
        if length == -2:
            raise self._error(f"'{command}'", Timeout)
        if length < 0:
            raise self._error(f"'{command}'")
        return ctypes.string_at(self._answer, length), binary.value != 0

    def query(self, command: str, timeout: float = 1.0) -> str:
        """Send `command` and return the device's text answer.

        A command without ``?`` has no answer: the call returns ``""`` once
        the line has taken it.

        Raises
        ------
        Timeout
            No complete answer within `timeout` seconds.
        KelvoError
            The library refused (closed or streaming slot, unplugged device),
            or the answer was a binary block (use :meth:`query_binary`).
        """
        answer, binary = self._exchange(command, timeout)
        if binary:
            raise KelvoError(f"{self.name}: '{command}' was answered with a binary block of {len(answer)} bytes; "
                             "use query_binary()")
        return answer.decode(errors="replace")

    def query_binary(self, command: str, timeout: float = 1.0) -> bytes:
        """Send `command` and return the payload of the definite-length block it answers.

        Raises
        ------
        Timeout
            No complete answer within `timeout` seconds.
        KelvoError
            The library refused, or the answer was a text (carried in the message).
        """
        answer, binary = self._exchange(command, timeout)
        if not binary:
            raise KelvoError(f"{self.name}: '{command}' was answered with a text, not a block: "
                             f"{answer.decode(errors='replace')!r}")
        return answer

    def upload(self, data: bytes) -> str:
        """Send 1 to 4096 bytes as a definite-length block and wait until the device has handled it.

        Returns
        -------
        str
            What the device answered to the block (e.g. an acknowledgement),
            ``""`` when nothing. It is told from later answers by asking
            ``*OPC?`` after the block, which the device answers after it.
        """
        self._check_open()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise InvalidArgument(f"upload takes bytes, not {type(data).__name__}")
        payload = bytes(data)
        if not 1 <= len(payload) <= 4096:
            raise InvalidArgument(f"an upload is 1 to 4096 bytes, not {len(payload)}")
        if self._lib.kelvoSendSCPIbinBlock(self.slot, payload, len(payload)) != 0:
            raise self._error("upload")
        # kelvoSendCmd keeps what came before its answer and collects until
        # the line is quiet: the block's answer, then *OPC?'s "1".
        length, binary = ctypes.c_int(0), ctypes.c_int(0)
        with _library.send_command_lock:
            answer = self._lib.kelvoSendCmd(self.slot, b"*OPC?", ctypes.byref(length), ctypes.byref(binary))
            text = ctypes.string_at(answer, length.value).decode(errors="replace") if answer else None
        if text is None:
            raise self._error("upload")
        lines = text.splitlines()
        if not lines or lines[-1].strip() != "1":
            raise KelvoError(f"{self.name}: the device did not confirm the upload with *OPC?: {text!r}")
        return "\n".join(line.rstrip("\r") for line in lines[:-1])

    def check_errors(self) -> str | None:
        """Read the device's error queue (kelvoCheckDeviceErrors), emptying it.

        Returns
        -------
        str or None
            The first error as the device sent it (``-113,"Undefined
            header"``), None when there was none.

        Raises
        ------
        Timeout
            The device did not answer ``SYSTem:ERRor?``.
        KelvoError
            The library refused (closed, streaming or unplugged slot).
        """
        self._check_open()
        text = ctypes.create_string_buffer(_ERROR_CAPACITY)
        result = _library.function("kelvoCheckDeviceErrors")(self.slot, text, _ERROR_CAPACITY)
        if result == _library.OK:
            return None
        if result == 1:
            return text.value.decode(errors="replace")
        raise self._error("SYSTem:ERRor?", Timeout if result == _library.TIMEOUT else KelvoError)

    def configure(self, *commands: str, timeout: float = 1.0) -> Device:
        """Send each command and check the device's error queue after it.

        After the layout commands (``CONFigure:DEVice``,
        ``CONFigure:SCAn:OVErsampling``, ``CONFigure:SCAn:LISt``),
        :attr:`sample_size`, :attr:`channel_names` and :attr:`layout` follow.

        Returns
        -------
        Device
            This device, so that calls can be chained.

        Raises
        ------
        DeviceError
            The device reported an error after a command; the message
            carries the device's text. The commands after it are not sent.
            Errors queued before the call are dropped.
        Timeout
            A command, or the device's error queue, was not answered in time.
        """
        for command in commands:
            _library.encode(command)
        # Errors left by earlier commands are not these commands' doing.
        self.check_errors()
        for command in commands:
            self._exchange(command, timeout)
            error = self.check_errors()
            if error is not None:
                raise DeviceError(f"{self.name}: the device refused '{command}': {error}", command, [error])
        return self

    # ---- layout ----------------------------------------------------------

    @property
    def sample_size(self) -> int:
        """Bytes per stream sample of the current layout (0 before one is set)."""
        self._check_open()
        size: int = self._lib.kelvoGetSampleSize(self.slot)
        if size < 0:
            raise self._error("sample size")
        return size

    @property
    def channel_names(self) -> list[str]:
        """The name of each value a sample decodes to, in column order."""
        self._check_open()
        name_of = _library.function("kelvoGetChannelName")
        count = self._channel_count(self.slot)
        if count < 0:
            raise self._error("channel count")
        return [name_of(self.slot, channel).decode() for channel in range(count)]

    @property
    def layout(self) -> Layout:
        """The stream layout as the library learnt it from the configuration commands."""
        self._check_open()
        record = _library.Layout()
        if _library.function("kelvoGetLayout")(self.slot, ctypes.byref(record)) != _library.OK:
            raise self._error("layout")
        return Layout.from_record(record)

    @property
    def stats(self) -> dict[str, int]:
        """Counts of the current (or last) stream, restarted at each start (kelvoGetStreamStats).

        Keys as kelvo.h names them: ``blocks``, ``payloadBytes``,
        ``samplesDropped`` (whole samples lost for want of room or cut by a
        framing error), ``framingErrors``, ``bytesSkipped`` and
        ``lastDataTicks`` (when bytes last came, in ticks; 0 if never).
        """
        self._check_open()
        record = _library.StreamStats()
        if _library.function("kelvoGetStreamStats")(self.slot, ctypes.byref(record)) != 0:
            raise self._error("stream statistics")
        return {name: getattr(record, name) for name, _ in record._fields_}

    def _sample_size_for_reading(self) -> int:
        self._check_open()
        size: int = self._size_of(self.slot)
        if size < 0:
            raise self._error("sample size")
        if size == 0:
            raise KelvoError(f"{self.name}: no sample layout; configure() a CONFigure:DEVice or "
                             "CONFigure:SCAn:LISt command first")
        return size

    def _layout_for_reading(self) -> tuple[int, int]:
        size = self._sample_size_for_reading()
        channels = self._channel_count(self.slot)
        if channels < 0:
            raise self._error("channel count")
        return size, channels

    # ---- streaming -------------------------------------------------------

    def start(self) -> None:
        """Start streaming (a command beginning ``INIT``).

        The sample clock (:attr:`clock`) restarts with the stream.

        Raises
        ------
        KelvoError
            No sample layout yet, or the library refused.
        """
        self._sample_size_for_reading()
        if self._lib.kelvoSendCmdWhileStreaming(self.slot, b"INIT") != 0:
            raise self._error("start")
        self._streaming = True

    def stop(self, timeout: float = 2.0) -> None:
        """Stop streaming and wait, sleeping in the library, until the device has fallen silent.

        The library takes commands again once the line has been quiet for
        50 ms (kelvoStopStream); this returns then, so that :meth:`query`
        works right after. Samples that arrived before stay readable.
        Stopping a device that does not stream does nothing.

        Raises
        ------
        Timeout
            The device was still sending after `timeout` seconds (the stop
            stays requested).
        Disconnected
            The device was unplugged.
        """
        self._check_open()
        result = _library.function("kelvoStopStream")(self.slot, _milliseconds(timeout))
        if result in (_library.OK, _library.DISCONNECTED):
            self._streaming = False
        if result == _library.OK:
            return
        kind = {_library.TIMEOUT: Timeout, _library.DISCONNECTED: Disconnected}.get(result, KelvoError)
        raise self._error("stop", kind)

    @contextmanager
    def stream(self) -> Iterator[Device]:
        """``with dev.stream():`` starts streaming and stops it on the way out."""
        self.start()
        try:
            yield self
        finally:
            if self._open and self._streaming:
                self.stop()

    def _buffer(self, size: int) -> int:
        """The address of the reused pull buffer, grown to at least `size` bytes."""
        if self._raw.size < size:
            self._raw = np.empty(size, dtype=np.uint8)
            self._raw_address = self._raw.ctypes.data
        return self._raw_address

    def _take(self, address: int, sample_size: int, room: int, count: int | None, timeout: float) -> int:
        """Fill `address` (room for `room` samples) with whole samples, each
        batch one call that sleeps in the library: with a count, until all of
        it came (kelvoReadSamplesAtLeast, woken once for the whole batch, or at
        a jump in the index) or `timeout` passed; without one, what is queued,
        waiting up to `timeout` for the first (kelvoReadSamples). Notes each
        batch's run in self._runs; returns how many came."""
        _check_timeout(timeout)
        runs: list[tuple[int, int, int]] = []
        self._runs = runs
        slot, first = self.slot, self._first_index
        want = room if count is None else count
        deadline = time.monotonic() + timeout
        wait = float(timeout)
        got = 0
        while got < want:
            at = address + got * sample_size
            if count is None:
                n = self._read_samples(slot, at, want - got, _wait_ms(wait), self._first_index_ref)
            else:
                n = self._read_at_least(slot, at, want - got, want - got, _wait_ms(wait), self._first_index_ref)
            if n > 0:
                runs.append((first.value, got, n))
                got += n
                # Without a count the rest is taken as it is queued now.
                wait = 0.0 if count is None else deadline - time.monotonic()
                continue
            self._end_of_read(n, got)
            break
        return got

    def _end_of_read(self, result: int, got: int) -> None:
        """Raise for a read call's `result` that is a failure of the whole read.

        A time-out ends the read with what came. What came before a failure
        goes to the caller first (after an unplug the library hands out what
        arrived before it); the next read raises. A slot that no longer
        streams, stopped by this Device, has nothing more to give.
        """
        if got or result == _library.TIMEOUT or (result == _library.REFUSED and not self._streaming):
            # Taken, so that it cannot pass for a later failure's text.
            _library.last_error(self.slot)
            return
        raise self._error("read", Disconnected if result == _library.DISCONNECTED else KelvoError)

    def _check_count(self, count: int | None) -> None:
        if count is not None and (not isinstance(count, (int, np.integer)) or count < 0):
            raise InvalidArgument(f"count must be None or a whole number 0 or more, not {count!r}")

    def _times(self, count: int) -> NDArray[np.float64]:
        """The sample times of the last read's `count` samples, in seconds, from the fit as it is now."""
        ticks = np.empty(count, dtype=np.int64)
        sample_times = _library.function("kelvoGetSampleTimes")
        address = ticks.ctypes.data
        for first, row, n in self._runs:
            if sample_times(self.slot, first, n, address + row * ticks.itemsize) != n:
                raise self._error("sample times")
        return ticks / TICKS_PER_SECOND

    @overload
    def read(self, count: int | None = ..., timeout: float = ..., out: NDArray[np.float32] | None = ..., *,
             times: Literal[False] = ...) -> NDArray[np.float32]: ...

    @overload
    def read(self, count: int | None = ..., timeout: float = ..., out: NDArray[np.float32] | None = ..., *,
             times: Literal[True]) -> tuple[NDArray[np.float32], NDArray[np.float64]]: ...

    def read(self, count: int | None = None, timeout: float = 1.0, out: NDArray[np.float32] | None = None, *,
             times: bool = False) -> NDArray[np.float32] | tuple[NDArray[np.float32], NDArray[np.float64]]:
        """Read decoded samples, waiting in the library (kelvoReadSamples).

        Parameters
        ----------
        count : int, optional
            Wait until this many samples arrived, or until `timeout`. By
            default, take what is queued, waiting up to `timeout` for the
            first samples when none are.
        timeout : float
            Seconds to wait at most; 0 takes what is queued. A pause in the
            stream is no error.
        out : numpy.ndarray, optional
            A float32 C-contiguous array of shape (>= count, channels) to
            decode into; the values are then a view of it.
        times : bool
            Also return each sample's time.

        Returns
        -------
        values : numpy.ndarray
            float32, shape (n, channels), full scale ±1.0; n is `count`
            unless the timeout passed first, or the device stopped
            streaming. The columns are :attr:`channel_names`. The samples'
            stream indices are :attr:`indices` until the next read.
        times : numpy.ndarray
            With ``times=True``: float64, shape (n,), each sample's time in
            seconds of the library's clock (:func:`kelvo.now`): when it
            could first have been seen by this host, with jitter removed,
            from the sample clock (:attr:`clock`) as it is at the end of the
            read. The constant delay inside the device and the transport is
            not known (see :meth:`set_latency`).

        Raises
        ------
        Disconnected
            The device was unplugged, after what came before it was handed out.
        KelvoError
            No layout, or the library refused.
        """
        self._check_open()
        self._check_count(count)
        size, channels = self._layout_for_reading()
        room = max(1, _QUEUE_BYTES // size) if count is None else count
        if out is not None:
            if (not isinstance(out, np.ndarray) or out.dtype != np.float32 or out.ndim != 2
                    or out.shape[1] != channels or not out.flags.c_contiguous or out.shape[0] < (count or 1)):
                raise InvalidArgument(f"out must be a C-contiguous float32 array of shape (>= {count or 1}, "
                                      f"{channels})")
            room = min(room, out.shape[0])
        address = self._buffer(room * size)
        got = self._take(address, size, room, count, timeout)
        values = np.empty((got, channels), dtype=np.float32) if out is None else out[:got]
        self._decode_into(address, got, values)
        return (values, self._times(got)) if times else values

    @overload
    def read_raw(self, count: int | None = ..., timeout: float = ..., *,
                 times: Literal[False] = ...) -> NDArray[np.uint8]: ...

    @overload
    def read_raw(self, count: int | None = ..., timeout: float = ..., *,
                 times: Literal[True]) -> tuple[NDArray[np.uint8], NDArray[np.float64]]: ...

    def read_raw(self, count: int | None = None, timeout: float = 1.0, *,
                 times: bool = False) -> NDArray[np.uint8] | tuple[NDArray[np.uint8], NDArray[np.float64]]:
        """Read whole samples as the device sent them.

        Takes `count`, `timeout` and `times` as :meth:`read` does.

        Returns
        -------
        raw : numpy.ndarray
            uint8, shape (n, :attr:`sample_size`).
        times : numpy.ndarray
            With ``times=True``, as :meth:`read` gives them.
        """
        self._check_open()
        self._check_count(count)
        size = self._sample_size_for_reading()
        if count is None:
            room = max(1, _QUEUE_BYTES // size)
            got = self._take(self._buffer(room * size), size, room, None, timeout)
            raw = self._raw[:got * size].reshape(got, size).copy()
        else:
            raw = np.empty((count, size), dtype=np.uint8)
            got = self._take(raw.ctypes.data, size, count, count, timeout)
            raw = raw[:got]
        return (raw, self._times(got)) if times else raw

    @property
    def indices(self) -> NDArray[np.int64]:
        """The stream index of each sample the last :meth:`read` or :meth:`read_raw` returned.

        int64, one per sample. Index 0 is the stream's first sample; for the
        layouts with a sample counter the index follows it (unwrapped), so
        that a lost sample shows as a jump.
        """
        if not self._runs:
            return np.empty(0, dtype=np.int64)
        return np.concatenate([np.arange(first, first + n, dtype=np.int64) for first, _, n in self._runs])

    # ---- sample clock ----------------------------------------------------

    @property
    def clock(self) -> SampleClock:
        """The fit of the stream's sample clock now (kelvoGetSampleClock).

        It restarts at each start, and stays readable after the stream
        stopped.

        Raises
        ------
        KelvoError
            Before the stream's first arrival, with the library's text.
        """
        self._check_open()
        record = _library.SampleClock()
        if _library.function("kelvoGetSampleClock")(self.slot, ctypes.byref(record)) != _library.OK:
            raise self._error("sample clock")
        return SampleClock.from_record(record)

    def sample_times(self, first_index: int, count: int) -> NDArray[np.float64]:
        """The times of `count` consecutive samples from stream index `first_index` on, in seconds.

        Any index, past or future: the fit extrapolates. float64, as
        :meth:`read` gives times.

        Raises
        ------
        KelvoError
            Before the stream's first arrival, with the library's text.
        """
        self._check_open()
        for name, value in (("first_index", first_index), ("count", count)):
            if not isinstance(value, (int, np.integer)) or value < 0:
                raise InvalidArgument(f"{name} must be a whole number 0 or more, not {value!r}")
        ticks = np.empty(count, dtype=np.int64)
        if _library.function("kelvoGetSampleTimes")(self.slot, first_index, count, ticks.ctypes.data) != count:
            raise self._error("sample times")
        return ticks / TICKS_PER_SECOND

    def set_latency(self, seconds: float) -> None:
        """Take a delay known to lie between a sample's measurement and its arrival here off every time.

        The device's filter, its USB frame: the library cannot see these.
        Kept for the slot until changed, through starts and reopening; 0 at
        first.
        """
        self._check_open()
        if not isinstance(seconds, (int, float)) or not seconds >= 0:
            raise InvalidArgument(f"the latency must be 0 or more seconds, not {seconds!r}")
        if _library.function("kelvoSetSampleLatency")(self.slot, round(seconds * TICKS_PER_SECOND)) != _library.OK:
            raise self._error("latency")

    def _decode_into(self, address: int, count: int, values: NDArray[np.float32]) -> None:
        if count == 0:
            return
        decoded = self._decode(self.slot, address, count, values.ctypes.data)
        if decoded != count:
            raise self._error("decode")

    def decode(self, raw: Any) -> NDArray[np.float32]:
        """Decode raw samples of the current layout (as :meth:`read_raw` gives them) as :meth:`read` does."""
        self._check_open()
        size, channels = self._layout_for_reading()
        samples = _raw_samples(raw, size)
        values = np.empty((len(samples), channels), dtype=np.float32)
        self._decode_into(samples.ctypes.data, len(samples), values)
        return values

    def sample_counters(self, raw: Any) -> NDArray[np.uint32]:
        """The sample counters of raw samples, for layouts that carry one (24-bit and scan list).

        Returns
        -------
        numpy.ndarray
            uint32, one per sample.

        Raises
        ------
        KelvoError
            The layout has no counter.
        """
        self._check_open()
        size, _ = self._layout_for_reading()
        samples = _raw_samples(raw, size)
        counters = np.empty(len(samples), dtype=np.uint32)
        if len(samples) and _library.function("kelvoGetSampleCounters")(
                self.slot, samples.ctypes.data, len(samples), counters.ctypes.data) != len(samples):
            raise self._error("sample counters")
        return counters
