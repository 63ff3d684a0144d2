# SPDX-License-Identifier: MIT
"""One open device slot: commands, configuration, streaming and reading."""
from __future__ import annotations

import ctypes
import os
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np

from . import _library
from .discovery import DeviceName, display_name, path_of, resolve
from .errors import DeviceError, InvalidArgument, KelvoError, Timeout

SLOTS = 4

# One call empties the library's whole stream queue (256 KiB).
_CHUNK_BYTES = 262144
# Polls of an empty queue. While the stream's rate is unknown, the pause
# grows from the first to the last value as nothing comes. Once it is
# known, a poll is timed to find what a read still misses, or (without a
# count) half the queue filled: each wake-up then takes a large piece, and
# the other half is room for a late wake-up before the queue overflows.
# The pause stays between the shortest and the last value without a count
# (read() answers soon after data came), and below the longest with one (a
# fault of the line is still noticed soon).
_FIRST_PAUSE = 0.001
_LAST_PAUSE = 0.004
_SHORTEST_PAUSE = 0.0005
_LONGEST_PAUSE = 0.02
_TARGET_BYTES = _CHUNK_BYTES // 2
# A rate is only measured over a poll this long after the one before;
# quicker ones see the bursts in which the bytes are queued.
_RATE_SPAN = 0.0005
_ANSWER_CAPACITY = 1 << 20
_STOP_POLL = 0.02

_claim_lock = threading.Lock()
_claimed: set[int] = set()


def _claim(slot: int | None) -> int:
    """Reserve `slot`, or the first slot neither open in the library nor claimed here."""
    with _claim_lock:
        ports = _library.port_descriptors()
        if slot is None:
            free = [s for s in range(SLOTS) if ports[s] < 0 and s not in _claimed]
            if not free:
                raise KelvoError("all four device slots are in use")
            slot = free[0]
        elif not isinstance(slot, int) or not 0 <= slot < SLOTS:
            raise InvalidArgument(f"slot must be 0 to 3, not {slot!r}")
        elif ports[slot] >= 0 or slot in _claimed:
            raise KelvoError(f"slot {slot} is in use")
        _claimed.add(slot)
        return slot


def _release(slot: int) -> None:
    with _claim_lock:
        _claimed.discard(slot)


def _explain_open_failure(slot: int, path: str) -> str:
    """Why kelvoOpen refused: the library's own reason when it keeps one, else what the file system tells."""
    if _library.has("kelvoGetOpenError"):
        text = _library.function("kelvoGetOpenError")(slot)
        if text:
            return text.decode(errors="replace")
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


def _raw_samples(raw: Any, sample_size: int) -> np.ndarray:
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
            if _library.port_descriptors()[taken] >= 0:
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
        # Looked up once: read() runs them on every call.
        self._channel_count = _library.function("kelvoGetChannelCount")
        self._decode = _library.function("kelvoDecodeSamples")
        self._lib = _library.library()
        self.slot = slot
        self.name = name
        self.path = path
        self._open = True
        self._streaming = False
        self._answer: ctypes.Array[ctypes.c_char] | None = None
        self._raw = np.empty(0, dtype=np.uint8)
        self._raw_address = 0
        self._get = self._lib.kelvoGetStreamingData
        self._size_of = self._lib.kelvoGetSampleSize
        # The stream's bytes per second as the polls found them (0: not
        # known yet), and when the queue was last polled.
        self._rate = 0.0
        self._polled = 0.0

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

    def _pending_errors(self, timeout: float) -> list[str]:
        """Empty the device's error queue; its lines other than 'No error'."""
        errors = []
        for _ in range(32):  # the simulated device keeps 16; a real one that never empties must not hang us
            answer = self.query("SYSTem:ERRor?", timeout).strip()
            code = answer.split(",", 1)[0].strip()
            if code.lstrip("+-").isdigit() and int(code) == 0:
                break
            errors.append(answer)
        return errors

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
            The device reported an error after a command (``SYSTem:ERRor?``);
            the message carries the device's text. The commands after it
            are not sent. Errors queued before the call are dropped.
        """
        # Errors left by earlier commands are not these commands' doing.
        self._pending_errors(timeout)
        for command in commands:
            self._exchange(command, timeout)
            errors = self._pending_errors(timeout)
            if errors:
                raise DeviceError(f"{self.name}: the device refused '{command}': {'; '.join(errors)}", command,
                                  errors)
        return self

    # ---- layout ----------------------------------------------------------

    @property
    def sample_size(self) -> int:
        """Bytes per stream sample of the current layout (0 before one is set)."""
        self._check_open()
        size = self._lib.kelvoGetSampleSize(self.slot)
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
    def layout(self) -> dict[str, int]:
        """The library's record of the stream layout (the FiltInfo fields)."""
        self._check_open()
        record = _library.filt_info(self.slot)
        return {name: getattr(record, name) for name, _ in record._fields_}

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
        size = self._size_of(self.slot)
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

        Raises
        ------
        KelvoError
            No sample layout yet, or the library refused.
        """
        self._sample_size_for_reading()
        if self._lib.kelvoSendCmdWhileStreaming(self.slot, b"INIT") != 0:
            raise self._error("start")
        self._streaming = True
        self._rate = 0.0

    def stop(self, timeout: float = 2.0) -> None:
        """Stop streaming and wait until the device has fallen silent.

        The library takes commands again once the line has been quiet for
        50 ms; this waits for that, so that :meth:`query` works right after.
        Samples that arrived before stay readable.

        Raises
        ------
        Timeout
            The device was still sending after `timeout` seconds.
        """
        self._check_open()
        if self._lib.kelvoSendCmdWhileStreaming(self.slot, b"ABORt") != 0:
            raise self._error("stop")
        self._streaming = False
        deadline = time.monotonic() + timeout
        scratch = ctypes.create_string_buffer(64)
        binary = ctypes.c_int(0)
        while True:
            time.sleep(_STOP_POLL)
            # *OPC? goes out only once the library has left streaming mode;
            # no answer in time still means it has.
            if self._lib.kelvoQuery(self.slot, b"*OPC?", scratch, 64, 200, ctypes.byref(binary)) != -1:
                return
            text = _library.last_error(self.slot)
            if "slot is streaming" not in text:
                raise KelvoError(f"{self.name}: stop: {text or 'the library gave no reason'}")
            if time.monotonic() > deadline:
                raise Timeout(f"{self.name}: still streaming {timeout} s after ABORt")

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

    def _pull(self, address: int, sample_size: int, room: int, count: int | None, timeout: float) -> int:
        """Pull whole samples into `address` (room for `room` of them): until
        `count` came, or (count None) the first that come; or until `timeout`.
        Returns how many came."""
        if not isinstance(timeout, (int, float)) or timeout < 0:
            raise InvalidArgument(f"timeout must be 0 or more seconds, not {timeout!r}")
        get = self._get
        slot = self.slot
        clock = time.monotonic
        want = room if count is None else count
        got = 0
        pause = _FIRST_PAUSE
        deadline = clock() + timeout
        while True:
            n = get(slot, address + got * sample_size, sample_size, (want - got) * sample_size)
            now = clock()
            if n > 0:
                self._measure(n, now)
                got += n // sample_size
                if got >= want or count is None:
                    return got
            else:
                self._polled = now
                if n == -1:
                    # After an unplug the library first hands out what came
                    # before; that goes to the caller, the next call raises.
                    if got:
                        return got
                    raise self._error("read")
                if n == -2:
                    # A pause of 200 ms in the stream is no error here; its
                    # text is taken so that it cannot pass for a later
                    # failure's.
                    _library.last_error(slot)
            left = deadline - now
            if left <= 0:
                return got
            if self._rate > 0:
                time.sleep(min(self._pause(None if count is None else (want - got) * sample_size), left))
            else:
                time.sleep(min(pause, left))
                pause = min(2 * pause, _LAST_PAUSE)

    def _measure(self, n: int, now: float) -> None:
        """Takes `n` bytes pulled at `now`, all that came since the last poll, into the rate."""
        span = now - self._polled
        self._polled = now
        if span >= _RATE_SPAN:
            rate = n / span
            # A rise is taken at once, a fall by degrees: a rate taken too
            # high costs a few polls more, one too low an overflowing queue.
            self._rate = rate if rate > self._rate else 0.8 * self._rate + 0.2 * rate

    def _pause(self, missing: int | None) -> float:
        """How long to sleep before the next poll, `missing` bytes short of a count (None: without one)."""
        if missing is None:
            wait = min(_TARGET_BYTES / self._rate, _LAST_PAUSE)
        else:
            wait = min(min(missing, _TARGET_BYTES) / self._rate, _LONGEST_PAUSE)
        return max(wait, _SHORTEST_PAUSE)

    def _check_count(self, count: int | None) -> None:
        if count is not None and (not isinstance(count, (int, np.integer)) or count < 0):
            raise InvalidArgument(f"count must be None or a whole number 0 or more, not {count!r}")

    def read(self, count: int | None = None, timeout: float = 1.0, out: np.ndarray | None = None) -> np.ndarray:
        """Read decoded samples.

        Parameters
        ----------
        count : int, optional
            Wait until this many samples arrived, or until `timeout`. By
            default, take what is queued, waiting up to `timeout` for the
            first samples when none are.
        timeout : float
            Seconds to wait at most. A pause in the stream is no error.
        out : numpy.ndarray, optional
            A float32 C-contiguous array of shape (>= count, channels) to
            decode into; the result is then a view of it.

        Returns
        -------
        numpy.ndarray
            float32, shape (n, channels), full scale ±1.0; n is `count`
            unless the timeout passed first. The columns are
            :attr:`channel_names`.

        Raises
        ------
        KelvoError
            No layout, or the library refused (e.g. the device was unplugged,
            after what came before it was handed out).
        """
        self._check_open()
        if count is not None:
            self._check_count(count)
        size, channels = self._layout_for_reading()
        room = max(1, _CHUNK_BYTES // size) if count is None else count
        if out is not None:
            if (out.dtype != np.float32 or out.ndim != 2 or out.shape[1] != channels
                    or not out.flags.c_contiguous or out.shape[0] < (count or 1)):
                raise InvalidArgument(f"out must be a C-contiguous float32 array of shape (>= {count or 1}, "
                                      f"{channels})")
            room = min(room, out.shape[0])
        address = self._buffer(room * size)
        got = self._pull(address, size, room, count, timeout) if room else 0
        values = np.empty((got, channels), dtype=np.float32) if out is None else out[:got]
        self._decode_into(address, got, values)
        return values

    def read_raw(self, count: int | None = None, timeout: float = 1.0) -> np.ndarray:
        """Read whole samples as the device sent them.

        Takes `count` and `timeout` as :meth:`read` does.

        Returns
        -------
        numpy.ndarray
            uint8, shape (n, :attr:`sample_size`).
        """
        self._check_open()
        self._check_count(count)
        size = self._sample_size_for_reading()
        if count is None:
            room = max(1, _CHUNK_BYTES // size)
            got = self._pull(self._buffer(room * size), size, room, None, timeout)
            return self._raw[:got * size].reshape(got, size).copy()
        raw = np.empty((count, size), dtype=np.uint8)
        got = self._pull(raw.ctypes.data, size, count, count, timeout) if count else 0
        return raw[:got]

    def _decode_into(self, address: int, count: int, values: np.ndarray) -> None:
        if count == 0:
            return
        decoded = self._decode(self.slot, address, count, values.ctypes.data)
        if decoded != count:
            raise self._error("decode")

    def decode(self, raw: Any) -> np.ndarray:
        """Decode raw samples of the current layout (as :meth:`read_raw` gives them) as :meth:`read` does."""
        self._check_open()
        size, channels = self._layout_for_reading()
        samples = _raw_samples(raw, size)
        values = np.empty((len(samples), channels), dtype=np.float32)
        self._decode_into(samples.ctypes.data, len(samples), values)
        return values

    def sample_counters(self, raw: Any) -> np.ndarray:
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
