# SPDX-License-Identifier: MIT
"""Finding, naming, opening and closing devices; loading the library."""
from __future__ import annotations

import fcntl
import os
import subprocess
import sys

import pytest

import kelvo
from conftest import child_environment
from kelvo import _library


def test_list_devices_shows_running_simulators_and_open_takes_each_form_of_name(sim):
    s = sim(devices=2)
    assert s.serials == ["SIM0001", "SIM0002"]
    devices = kelvo.list_devices()
    assert devices == [kelvo.DeviceInfo("simulated", s.paths[0], "SIM0001"),
                       kelvo.DeviceInfo("simulated", s.paths[1], "SIM0002")]
    line = "\t".join(devices[1]) + "\n"
    for name, path, shown in [("SIM0002", s.paths[1], "SIM0002"), (devices[1], s.paths[1], "SIM0002"),
                              (line, s.paths[1], "SIM0002"), (s.paths[0], s.paths[0], s.paths[0])]:
        with kelvo.open(name) as dev:
            assert (dev.path, dev.name) == (path, shown)
            assert path == s.paths[0] or "SIM0002" in dev.query("*IDN?")
    s.stop()
    assert kelvo.list_devices() == []  # a simulator that ended takes its devices along


def test_usb_devices_the_library_lists_come_before_simulated_ones(sim, listed):
    s = sim(devices=2)
    listed({s.paths[0]: "XY0042"})
    assert kelvo.list_devices() == [kelvo.DeviceInfo("xy", s.paths[0], "XY0042"),
                                    kelvo.DeviceInfo("simulated", s.paths[0], "SIM0001"),
                                    kelvo.DeviceInfo("simulated", s.paths[1], "SIM0002")]
    with kelvo.open("XY0042") as dev:
        assert dev.path == s.paths[0]


def test_list_devices_is_empty_without_devices(listed):
    listed({})
    assert kelvo.list_devices() == kelvo.list_devices(all=True) == []


def test_open_takes_the_first_free_slot_and_close_frees_it(sim):
    s = sim(devices=3)
    first = kelvo.open(s.paths[0])
    with kelvo.open(s.paths[1]) as second:
        assert (first.slot, second.slot) == (0, 1)
        first.close()
        with kelvo.open(s.paths[2]) as third:
            assert third.slot == 0
        assert second.query("*IDN?").split(",")[2] == "SIM0002"
    assert first.closed and second.closed
    first.close()  # a second close does nothing


def test_open_in_a_chosen_slot_refuses_one_in_use(sim):
    s = sim(devices=2)
    with kelvo.open(s.paths[0], slot=3) as dev:
        assert dev.slot == 3
        with pytest.raises(kelvo.KelvoError, match="slot 3 is in use"):
            kelvo.open(s.paths[1], slot=3)
        assert "SIM0001" in dev.query("*IDN?")
    with pytest.raises(kelvo.InvalidArgument):
        kelvo.open(s.paths[0], slot=4)


def test_a_fifth_device_finds_no_slot(sim):
    s = sim(devices=4)
    opened = [kelvo.open(path) for path in s.paths]
    try:
        with pytest.raises(kelvo.KelvoError, match="all four device slots are in use"):
            kelvo.open(s.paths[0])
    finally:
        for dev in opened:
            dev.close()


def test_open_failures_say_why(tmp_path):
    with pytest.raises(kelvo.KelvoError, match="no-such-tty.*No such file or directory"):
        kelvo.open(str(tmp_path / "no-such-tty"))
    with pytest.raises(kelvo.KelvoError, match="no device 'NOSERIAL42'.*no listed device has that serial"):
        kelvo.open("NOSERIAL42")
    # A file that is no terminal: the library's own reason.
    plain = tmp_path / "plain"
    plain.write_text("")
    with pytest.raises(kelvo.KelvoError, match="cannot open"):
        kelvo.open(str(plain))
    # Nothing was left claimed by the failures.
    assert [_library.is_open(slot) for slot in range(4)] == [False] * 4


def test_a_device_another_program_holds_is_refused_with_the_library_reason(sim):
    path = sim().paths[0]
    holder = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)  # as another program holding the device
        with pytest.raises(kelvo.KelvoError, match=f"cannot open {path}: device busy: opened by another program"):
            kelvo.open(path)
    finally:
        os.close(holder)
    with kelvo.open(path) as dev:
        assert dev.query("*OPC?") == "1"


def test_a_closed_device_refuses_everything(sim):
    dev = kelvo.open(sim().paths[0])
    dev.close()
    for call in (lambda: dev.query("*IDN?"), dev.start, lambda: dev.read(1), lambda: dev.sample_size,
                 lambda: dev.configure("*CLS")):
        with pytest.raises(kelvo.KelvoError, match="closed"):
            call()


def test_library_facts():
    assert kelvo.library_version() == kelvo.__version__
    assert os.path.samefile(kelvo.library_path(), os.environ["KELVO_LIBRARY"])
    before = kelvo.ticks()
    assert kelvo.ticks() >= before > 0
    assert before / kelvo.TICKS_PER_SECOND <= kelvo.now() <= kelvo.ticks() / kelvo.TICKS_PER_SECOND


def test_a_missing_library_is_reported_with_where_it_was_looked_for(tmp_path):
    script = "import kelvo\ntry:\n    kelvo.list_devices()\nexcept kelvo.LibraryNotFound as e:\n    print(e)\n"
    env = child_environment(KELVO_LIBRARY=str(tmp_path / "libkelvo.so.1"))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert f"KELVO_LIBRARY={tmp_path}/libkelvo.so.1" in out.stdout
    assert "No such file" in out.stdout
    # Without the variable it falls back to the loader's path.
    env.pop("KELVO_LIBRARY")
    env["LD_LIBRARY_PATH"] = str(tmp_path)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert out.stdout == "" or "libkelvo.so.1 on the loader's path" in out.stdout
