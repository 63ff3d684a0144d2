# SPDX-License-Identifier: MIT
"""The devices of running kelvo-sim processes, as `kelvo list` shows them.

kelvo-sim records its devices in a per-user file: $XDG_RUNTIME_DIR/kelvo-sim,
or /tmp/kelvo-sim-<uid> without a runtime folder. One line per device,
"pid<TAB>start<TAB>serial<TAB>path", start being the process's start time
in clock ticks since boot, so that a reused pid does not bring a gone
simulator's devices back. Writers hold an exclusive flock, readers a shared one.
"""
from __future__ import annotations

import fcntl
import os
import stat
from typing import NamedTuple


class SimulatedDevice(NamedTuple):
    serial: str
    path: str


def registry_path() -> str:
    """Where this user's simulators record their devices."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        return os.path.join(runtime, "kelvo-sim")
    return f"/tmp/kelvo-sim-{os.getuid()}"


def _start_time(pid: int) -> int:
    """Field 22 of /proc/PID/stat; 0 when the process is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as status:
            text = status.read()
    except OSError:
        return 0
    # The command name before the fields is in parentheses and may hold blanks.
    fields = text[text.rfind(b")") + 1:].split()
    if len(fields) < 20 or fields[0] in (b"Z", b"X"):
        return 0
    return int(fields[19])


def _read_locked(path: str) -> bytes:
    descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        info = os.fstat(descriptor)
        # In /tmp anyone could have put a file there first.
        if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
            return b""
        fcntl.flock(descriptor, fcntl.LOCK_SH)
        chunks = []
        while chunk := os.read(descriptor, 65536):
            chunks.append(chunk)
        return b"".join(chunks)
    finally:
        os.close(descriptor)


def running_simulated_devices() -> list[SimulatedDevice]:
    """The devices of simulators that still run, in the file's order."""
    try:
        text = _read_locked(registry_path())
    except OSError:
        return []  # no simulator has run
    devices = []
    for line in text.decode(errors="replace").splitlines():
        fields = line.split("\t")
        if len(fields) != 4 or not fields[0].isdigit() or not fields[1].isdigit():
            continue
        pid, start = int(fields[0]), int(fields[1])
        if pid > 0 and start != 0 and _start_time(pid) == start:
            devices.append(SimulatedDevice(fields[2], fields[3]))
    return devices
