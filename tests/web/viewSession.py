# SPDX-License-Identifier: MIT
"""A simulator and `kelvo serve` as real processes, for the browser view's
tests and benchmarks: the simulator's devices in a runtime folder of their
own (so that their serial numbers are SIM0001... whatever else runs), and
the view's address read from the line the server prints on stderr."""
from __future__ import annotations

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

URL_LINE = re.compile(r"serving the view on (\S+)")


class Lines:
    """Collects a pipe's lines on a thread of its own, so the process never
    blocks on a full pipe, and lets a caller wait for one."""

    def __init__(self, pipe):
        self.lines: list[str] = []
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        for line in pipe:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)
            self.changed.notify_all()

    def wait_for(self, pattern: re.Pattern, timeout: float):
        """The first match of `pattern` in a line, or None once the pipe ended or time ran out."""
        deadline = time.monotonic() + timeout
        with self.changed:
            seen = 0
            while True:
                for line in self.lines[seen:]:
                    if line is None:
                        return None
                    found = pattern.search(line)
                    if found:
                        return found
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def text(self) -> str:
        with self.changed:
            return "\n".join(line for line in self.lines if line is not None)


class ViewSession:
    """kelvo-sim with `devices` devices and `kelvo serve` of all of them."""

    def __init__(self, kelvo: str, sim: str, devices: int, sim_options: list[str], serve_options: list[str],
                 timeout: float = 120):
        self.folder = tempfile.mkdtemp(prefix="kelvo-web-")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.folder)
        self.sim = None
        self.server = None
        try:
            self._start_sim(sim, devices, sim_options, timeout)
            self.serials = [f"SIM{n:04d}" for n in range(1, devices + 1)]
            self.kelvo = kelvo
            self._start_server(kelvo, self.serials, serve_options, timeout)
        except BaseException:
            self.close()
            raise

    def _start_sim(self, sim, devices, options, timeout):
        self.sim = subprocess.Popen([sim, "-n", str(devices), *options], env=self.env, text=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.sim_out = Lines(self.sim.stdout)
        self.sim_err = Lines(self.sim.stderr)
        tty = re.compile(r"^(/dev/\S+)$")
        deadline = time.monotonic() + timeout
        while len([line for line in self.sim_out.lines if line and tty.match(line)]) < devices:
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"kelvo-sim gave no {devices} ttys: {self.sim_err.text()}")
            time.sleep(0.05)

    def restart_server(self, timeout: float = 120) -> None:
        """A new `kelvo serve` of the same devices on the same address, once
        the last one has ended (a page reconnects to it)."""
        assert self.server.poll() is not None, "the server still runs"
        address = re.match(r"https?://([^/]+)/", self.url).group(1)
        options = list(self.server_options)
        options[options.index("--bind") + 1] = address
        self._start_server(self.kelvo, self.serials, options, timeout)

    def _start_server(self, kelvo, serials, options, timeout):
        self.server_options = options
        self.server_stdout = os.path.join(self.folder, "serve.out")
        with open(self.server_stdout, "w") as out:
            self.server = subprocess.Popen([kelvo, "serve", *serials, *options], env=self.env, text=True,
                                           stdout=out, stderr=subprocess.PIPE)
        self.server_err = Lines(self.server.stderr)
        found = self.server_err.wait_for(URL_LINE, timeout)
        if not found:
            raise AssertionError(f"kelvo serve printed no address:\n{self.server_err.text()}")
        self.url = found.group(1)

    def unplug(self) -> None:
        """The simulator's device 1, out (and back if it was started with --replug-after)."""
        self.sim.send_signal(signal.SIGUSR1)

    def stop_server(self, timeout: float = 120) -> int:
        """SIGINT, as Ctrl-C; the server's exit status."""
        self.server.send_signal(signal.SIGINT)
        try:
            return self.server.wait(timeout)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
            raise AssertionError(f"kelvo serve did not end on SIGINT:\n{self.server_err.text()}")

    def server_output(self) -> str:
        with open(self.server_stdout) as out:
            return out.read() + self.server_err.text()

    def close(self) -> None:
        for process in (self.server, self.sim):
            if process is not None and process.poll() is None:
                process.send_signal(signal.SIGINT)
                try:
                    process.wait(30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and self.server is not None:
            print(f"kelvo serve said:\n{self.server_output()}\nkelvo-sim said:\n{self.sim_err.text()}",
                  file=sys.stderr)
        self.close()
