# SPDX-License-Identifier: MIT
"""Fixtures: simulated devices from kelvo-sim on real pseudo-terminals, and
stand-ins for `ls` and `udevadm` that make those devices appear in the
library's device list."""
from __future__ import annotations

import atexit
import math
import os
import select
import shutil
import stat
import subprocess
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import kelvo
from kelvo.simulators import running_simulated_devices

SIM = os.environ.get("KELVO_SIM", "kelvo-sim")

# run.sh preloads a sanitizer's runtime for this interpreter, which loads a
# sanitized library. Other children must not get it: the shell the library
# starts for ls and udevadm crashes with ThreadSanitizer's. Children that
# load the library get it back through child_environment().
PRELOAD = os.environ.pop("LD_PRELOAD", "")


def child_environment(**changes: str) -> dict[str, str]:
    """The environment for a child Python that loads the library."""
    environment = dict(os.environ, **changes)
    if PRELOAD:
        environment["LD_PRELOAD"] = PRELOAD
    return environment


# Simulators record their devices in a runtime folder of this run's own, so
# that their serial numbers start at SIM0001 and other runs' simulators stay
# out of the device list.
os.environ["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="kelvo-pytest-")
atexit.register(shutil.rmtree, os.environ["XDG_RUNTIME_DIR"], True)

# What kelvo-sim sends (see its --help): 16-bit words peak at +-24000, 32-bit
# channels at +-6000000 counts of a 24-bit value in the top bits.
PEAK16 = 24000
PEAK24 = 6000000


def waveform(channel: int, seconds: float) -> float:
    """kelvo-sim's channel `channel` at `seconds`: sine, ramp, square in turn."""
    cycles = (1.0 + 0.5 * channel) * seconds
    p = cycles - math.floor(cycles)
    kind = channel % 3
    if kind == 0:
        return math.sin(2.0 * math.pi * p)
    if kind == 1:
        return 2.0 * p - 1.0
    return 1.0 if p < 0.5 else -1.0


def lround(x: float) -> int:
    """C's lround: halves away from zero."""
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


class Sim:
    """A running kelvo-sim with its devices' tty paths."""

    def __init__(self, devices: int, options: list[str]) -> None:
        self.process = subprocess.Popen([SIM, "--devices", str(devices), *options], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        # Read the descriptor itself: a buffered reader would hold lines
        # that select() then waits for in vain.
        out = b""
        deadline = time.monotonic() + 20
        while out.count(b"\n") < devices and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.5)
            chunk = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            if ready and not chunk:
                break
            out += chunk
        self.paths: list[str] = out.decode().split()
        if len(self.paths) < devices:
            self.stop()
            raise RuntimeError(f"kelvo-sim gave no paths: {self.process.stderr.read().decode()}")
        recorded = {d.path: d.serial for d in running_simulated_devices()}
        self.serials = [recorded.get(path, "") for path in self.paths]

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def sim_takes(option: str) -> bool:
    """Whether this build's kelvo-sim knows `option` (its --help names it)."""
    shown = subprocess.run([SIM, "--help"], capture_output=True, text=True, timeout=10)
    return option in shown.stdout + shown.stderr


@pytest.fixture
def sim() -> Iterator[Callable[..., Sim]]:
    """Start kelvo-sim: ``sim(devices=1, rate=2000, block=50, faults=(), options=())``."""
    started: list[Sim] = []

    def start(devices: int = 1, rate: float = 2000, block: int = 50, faults: tuple[str, ...] = (),
              options: tuple[str, ...] = ()) -> Sim:
        arguments = ["--rate", str(rate), "--block", str(block), *options]
        for fault in faults:
            arguments += ["--fault", fault]
        started.append(Sim(devices, arguments))
        return started[-1]

    yield start
    for s in started:
        s.stop()


@pytest.fixture
def device(sim: Callable[..., Sim]) -> Iterator[kelvo.Device]:
    """One simulated device, open, streaming 2000 samples/s when started."""
    with kelvo.open(sim().paths[0]) as dev:
        yield dev


@pytest.fixture
def listed(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Callable[[dict[str, str]], None]:
    """``listed({path: serial})``: the library's discovery then finds those
    ttys as USB devices of an accepted identity with those serial numbers."""

    def install(devices: dict[str, str]) -> None:
        tools = tmp_path / "tools"
        tools.mkdir(exist_ok=True)
        # The library runs `ls /dev/ttyA*` and `ls /dev/ttyU*`; the devices
        # are listed for the first.
        serials = "".join(f"  {path}) serial={serial} ;;\n" for path, serial in devices.items())
        scripts = {
            "ls": f'#!/bin/sh\ncase "$1" in /dev/ttyA*) printf "%s\\n" {" ".join(devices)} ;; esac\n',
            "udevadm": ('#!/bin/sh\ncase "$3" in\n' + serials + "  *) exit 1 ;;\nesac\n"
                        'printf \'  looking at parent device "/devices/usb1/1-3":\\n'
                        '    KERNELS=="1-3"\\n    SUBSYSTEMS=="usb"\\n    DRIVERS=="usb"\\n'
                        '    ATTRS{idProduct}=="4001"\\n    ATTRS{idVendor}=="303a"\\n'
                        '    ATTRS{serial}=="%s"\\n\' "$serial"\n'),
        }
        for name, text in scripts.items():
            script = tools / name
            script.write_text(text)
            script.chmod(script.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setenv("PATH", f"{tools}:{os.environ['PATH']}")

    return install
