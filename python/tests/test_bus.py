# SPDX-License-Identifier: MIT
"""The message bus between this process (master) and another (slave), on a
segment kelvo-busd makes. The bus is announced machine-wide, so these tests
run alone (ctest Python_bus, RUN_SERIAL)."""
from __future__ import annotations

import os
import re
import select
import signal
import struct
import subprocess
import sys
import time

import pytest

import kelvo
from conftest import child_environment

pytestmark = pytest.mark.bus

SLAVE = """
import kelvo
with kelvo.Bus.slave() as bus:
    print(bus.index, flush=True)
    text = bus.wait(timeout=20)
    bus.send("echo " + text)
    print(bus.wait(timeout=20), flush=True)
"""


ANNOUNCEMENT = "/tmp/xyzServer.id"


@pytest.fixture
def busd():
    """A kelvo-busd of this test's own; skips when another one holds the machine's announcement."""
    server = subprocess.Popen([os.environ.get("KELVO_BUSD", "kelvo-busd")], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    out = b""
    deadline = time.monotonic() + 10
    while b"announced" not in out and time.monotonic() < deadline:
        ready, _, _ = select.select([server.stdout], [], [], 0.5)
        chunk = os.read(server.stdout.fileno(), 4096) if ready else b""
        if ready and not chunk:
            break
        out += chunk
    match = re.search(rb"segment (\d+)", out)
    if match is None:
        server.kill()
        server.wait()
        pytest.skip(f"kelvo-busd did not start (another bus is live on this machine?): {server.stderr.read()!r}")
    with open(ANNOUNCEMENT, "rb") as announcement:
        announced = struct.unpack("<i", announcement.read(4))[0]
    if announced != int(match.group(1)):
        server.send_signal(signal.SIGINT)
        server.wait(10)
        pytest.skip("another bus test took the machine's bus announcement meanwhile")
    yield server
    server.send_signal(signal.SIGINT)
    server.wait(10)


def readline(process: subprocess.Popen, timeout: float = 20) -> str:
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    assert ready, "the slave process said nothing"
    return process.stdout.readline().strip()


def test_master_and_slave_exchange_messages_with_stamps(busd):
    slave = subprocess.Popen([sys.executable, "-c", SLAVE], stdout=subprocess.PIPE, text=True,
                             env=child_environment())
    try:
        index = int(readline(slave))
        with kelvo.Bus.master() as master:
            with pytest.raises(kelvo.KelvoError, match="the bus has a master already"):
                kelvo.Bus.master()
            assert master.send("hello", slave=index) == index
            assert master.wait(slave=index, timeout=20) == "echo hello"
            assert master.receive(slave=index) is None  # taken: the mailbox is empty
            assert master.send("bye") >= 1  # to every registered slave
            assert readline(slave) == "bye"
            sent, _, _, received = master.stamps(slave=index)
            assert sent > 0 and received > 0
        assert slave.wait(20) == 0
    finally:
        if slave.poll() is None:
            slave.kill()


def test_a_closed_bus_place_refuses_and_another_can_take_it(busd):
    with kelvo.Bus.master() as master:
        pass
    with pytest.raises(kelvo.KelvoError, match="closed"):
        master.send("late")
    with kelvo.Bus.master() as again:
        with pytest.raises(kelvo.Timeout):
            again.wait(slave=0, timeout=0.05)


# Both ends are programs of their own: a process keeps the bus segment it
# attached first, and this one may hold an earlier test's.
CAPTURING = """
import sys, kelvo
with kelvo.Capture([sys.argv[1]], config=["CONFigure:DEVice 2"], hdf5=sys.argv[2], markers="bus") as capture:
    try:
        kelvo.Bus.master()
    except kelvo.KelvoError as e:
        print(e, flush=True)
    capture.start()
    print("started", flush=True)
    sys.stdin.readline()
    capture.stop()
    print(capture.marker_stats, flush=True)
with kelvo.Bus.master():
    print("the master's place is free again", flush=True)
"""

MARKING = """
import sys, time, kelvo
with kelvo.Bus.slave() as bus:
    for text in sys.argv[1:]:
        while True:
            try:
                bus.send(text)
                break
            except kelvo.KelvoError:  # the master has not taken the last one yet
                time.sleep(0.001)
        print(bus.stamps()[0], flush=True)
"""


def test_a_capture_takes_each_slave_message_as_a_marker_at_its_send_stamp(busd, sim, tmp_path):
    import h5py

    s = sim(devices=1, rate=1000, block=50)
    path = tmp_path / "bus.h5"
    texts = ["one", "two ü", "three"]
    capturing = subprocess.Popen([sys.executable, "-c", CAPTURING, s.serials[0], str(path)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=child_environment())
    try:
        assert readline(capturing) == "the bus has a master already"
        assert readline(capturing) == "started"
        marking = subprocess.run([sys.executable, "-c", MARKING, *texts], capture_output=True, text=True,
                                 env=child_environment(), timeout=60)
        assert marking.returncode == 0, marking.stderr
        sent = [int(line) for line in marking.stdout.split()]
        capturing.stdin.write("stop\n")
        capturing.stdin.flush()
        assert readline(capturing) == "{'received': 3, 'dropped': 0}"
        assert readline(capturing) == "the master's place is free again"
        assert capturing.wait(20) == 0
    finally:
        if capturing.poll() is None:
            capturing.kill()
    with h5py.File(path, "r") as f:
        assert [t.decode() if isinstance(t, bytes) else t for t in f["markers"]["text"][:]] == texts
        assert list(f["markers"]["ticks"][:]) == sent
