# SPDX-License-Identifier: MIT
"""kelvo.Capture: two simulated devices recorded into HDF5 and read by the program at once."""
from __future__ import annotations

import json
from pathlib import Path
import signal
import struct
import time

import h5py
import numpy as np
import pytest

import kelvo

pytestmark = pytest.mark.capture

LAYOUT = "CONFigure:DEVice 2"


def test_two_devices_are_recorded_and_read_in_order_with_rising_times_and_a_marker(sim, tmp_path):
    s = sim(devices=2, rate=2000, block=50)
    path = tmp_path / "run.h5"
    taken: dict[str, list[tuple[np.ndarray, np.ndarray, int]]] = {}
    with kelvo.Capture(s.serials, config=[LAYOUT], hdf5=path, read=True) as capture:
        assert capture.serials == s.serials
        assert capture.channel_names[s.serials[0]] == ["Adc24_1", "Adc24_2"]
        capture.start()
        marked_at = None
        while min((sum(len(v) for v, _, _ in taken.get(serial, [])) for serial in s.serials), default=0) < 2000:
            batches = capture.read(timeout=5.0)
            assert batches, "nothing came for 5 s"
            for serial, values, times, first in batches:
                assert values.dtype == np.float32 and values.shape[1] == 2
                assert times.shape == (len(values),)
                taken.setdefault(serial, []).append((values, times, first))
            if marked_at is None and taken.get(s.serials[0]):
                marked_at = kelvo.now()
                capture.mark("stimulus on", time=marked_at)
        capture.stop()
        for serial, values, times, first in capture.read(timeout=1.0):
            taken[serial].append((values, times, first))
        stats = capture.stats

    for serial in s.serials:
        firsts = [first for _, _, first in taken[serial]]
        counts = [len(values) for values, _, _ in taken[serial]]
        assert firsts == list(np.cumsum([0, *counts[:-1]])), "every sample, in order"
        times = np.concatenate([t for _, t, _ in taken[serial]])
        assert np.all(np.diff(times) > 0)
        assert stats[serial] == {"received": sum(counts), "dropped": 0, "framing_errors": 0, "gaps": 0,
                                 "reconnects": 0, "markers": 1}
    with h5py.File(path, "r") as f:
        for serial in s.serials:
            group = f["devices"][serial]
            assert np.array_equal(group["index"][:], np.arange(stats[serial]["received"]))
            recorded = np.concatenate([v for v, _, _ in taken[serial]])
            assert np.array_equal(group["samples"][:], recorded), "the file holds what the program read"
            assert len(group["marker_index"][:]) == 1
        assert [t.decode() if isinstance(t, bytes) else t for t in f["markers"]["text"][:]] == ["stimulus on"]
        assert f["markers"]["ticks"][0] == round(marked_at * kelvo.TICKS_PER_SECOND)


@pytest.mark.parametrize("case", ["twice", "unknown serial", "unwritable"])
def test_a_session_that_cannot_be_had_raises_at_once_and_leaves_nothing(sim, tmp_path, case):
    s = sim(devices=2)
    path = tmp_path / "run.h5"
    devices = {"twice": [s.paths[0], s.paths[0]], "unknown serial": [s.serials[0], "SIM0099"],
               "unwritable": [s.serials[0]]}[case]
    target = tmp_path / "missing" / "run.h5" if case == "unwritable" else path
    says = {"twice": "is given twice", "unknown serial": "no device 'SIM0099'", "unwritable": str(target)}[case]
    with pytest.raises(kelvo.KelvoError, match=says):
        kelvo.Capture(devices, config=[LAYOUT], hdf5=target)
    assert not target.exists()
    with kelvo.Capture(s.paths, config=[LAYOUT]) as again:
        assert len(again.serials) == 2, "the devices were left closed"


def test_reading_a_capture_that_keeps_nothing_for_the_program_is_refused(sim, tmp_path):
    s = sim()
    with kelvo.Capture(s.paths, config=[LAYOUT], hdf5=tmp_path / "run.h5") as capture:
        with pytest.raises(kelvo.KelvoError, match="read=True"):
            capture.read(timeout=0)


def test_an_unplugged_device_comes_back_and_the_gap_is_handed_to_the_program(sim):
    s = sim(devices=2, rate=2000, block=50)
    indexes: dict[str, list[np.ndarray]] = {serial: [] for serial in s.serials}

    def take(batches) -> int:
        for serial, values, _, first in batches:
            indexes[serial].append(first + np.arange(len(values)))
        return len(batches)

    def read_while(condition) -> None:
        deadline = time.monotonic() + 20
        while condition() and time.monotonic() < deadline:
            take(capture.read(timeout=0.2))

    def taken(serial: str) -> int:
        return sum(map(len, indexes[serial]))

    with kelvo.Capture(s.serials, config=[LAYOUT], read=True, reconnect=True) as capture:
        capture.start()
        read_while(lambda: taken(s.serials[0]) < 1000)
        s.process.send_signal(signal.SIGUSR1)
        time.sleep(0.5)
        s.process.send_signal(signal.SIGUSR2)
        read_while(lambda: capture.stats[s.serials[0]]["reconnects"] < 1)
        before = taken(s.serials[0])
        read_while(lambda: taken(s.serials[0]) < before + 1000)
        capture.stop()
        while take(capture.read(timeout=0.5)):
            pass
        gaps = capture.gaps
        stats = capture.stats

    replugged = np.concatenate(indexes[s.serials[0]])
    assert [g["serial"] for g in gaps] == [s.serials[0]]
    gap = gaps[0]
    assert gap["cause"] == "disconnected"
    jump = np.flatnonzero(np.diff(replugged) != 1)
    assert len(jump) == 1, "one break, where the gap is"
    assert gap["first_index"] == replugged[jump[0]] + 1
    assert gap["last_index"] == replugged[jump[0] + 1] - 1
    assert gap["samples_lost"] == gap["last_index"] - gap["first_index"] + 1 > 0
    assert gap["end_ticks"] - gap["start_ticks"] >= 0.4 * kelvo.TICKS_PER_SECOND
    other = np.concatenate(indexes[s.serials[1]])
    assert np.array_equal(other, np.arange(len(other))), "the other device lost nothing"
    assert stats[s.serials[0]]["reconnects"] == 1 and stats[s.serials[0]]["gaps"] == 1
    assert stats[s.serials[1]]["gaps"] == 0 and stats[s.serials[1]]["dropped"] == 0


def test_a_split_recording_holds_every_sample_once_across_its_files(sim, tmp_path):
    s = sim(rate=2000, block=50)
    with kelvo.Capture(s.serials, config=[LAYOUT], hdf5=tmp_path / "run.h5", split=0.5) as capture:
        capture.start()
        while capture.stats[s.serials[0]]["received"] < 2500:
            time.sleep(0.05)
        capture.stop()
        received = capture.stats[s.serials[0]]["received"]
    files = sorted(tmp_path.glob("run-*.h5"))
    assert [f.name for f in files] == [f"run-{n:04d}.h5" for n in range(1, len(files) + 1)]
    assert len(files) >= 3 and not (tmp_path / "run.h5").exists()
    index = []
    for f in files:
        with h5py.File(f, "r") as recording:
            index.append(recording["devices"][s.serials[0]]["index"][:])
    assert np.array_equal(np.concatenate(index), np.arange(received))


def _texts(values) -> list[str]:
    return [v.decode() if isinstance(v, bytes) else v for v in values]


def _wait_for_markers(capture: kelvo.Capture, count: int) -> dict[str, int]:
    """The marker counts once `count` markers came (kept or dropped); they come from another thread."""
    deadline = time.monotonic() + 30
    while sum((stats := capture.marker_stats).values()) < count and time.monotonic() < deadline:
        time.sleep(0.01)
    return stats


def test_markers_over_zeromq_reach_a_python_capture_exactly_and_bad_messages_are_counted(sim, tmp_path):
    zmq = pytest.importorskip("zmq")
    s = sim(devices=1, rate=1000, block=50)
    path = tmp_path / "marks.h5"
    endpoint = f"ipc://{tmp_path}/marks.sock"
    with kelvo.Capture(s.serials, config=[LAYOUT], hdf5=path, markers=endpoint) as capture:
        capture.start()
        context = zmq.Context()
        push = context.socket(zmq.PUSH)
        push.connect(endpoint)
        stamp = round(kelvo.now() * kelvo.TICKS_PER_SECOND)
        push.send_multipart([b"stamped", struct.pack("<q", stamp)])
        for hostile in ([b"x" * (1 << 20)], [b"\xed\xa0\x80 a surrogate"], [b"two", b"stamps", b"12345678"],
                        [b"a stamp", b"1234"]):
            push.send_multipart(hostile)
        before = round(kelvo.now() * kelvo.TICKS_PER_SECOND)
        push.send(b"on arrival")
        push.close(linger=5000)
        context.term()
        stats = _wait_for_markers(capture, 6)
        after = round(kelvo.now() * kelvo.TICKS_PER_SECOND)
        capture.stop()
    assert stats == {"received": 2, "dropped": 4}
    with h5py.File(path, "r") as f:
        markers = f["markers"]
        assert _texts(markers["text"][:]) == ["stamped", "on arrival"]
        assert _texts(markers["source"][:]) == ["zmq", "zmq"]
        assert markers["ticks"][0] == stamp
        assert before <= markers["ticks"][1] <= after


def test_a_capture_refuses_a_megabyte_marker_with_the_reason_and_does_not_count_it(sim):
    s = sim(devices=1, rate=1000, block=50)
    with kelvo.Capture(s.serials, config=[LAYOUT], read=True) as capture:
        with pytest.raises(kelvo.KelvoError, match="not running"):
            capture.mark("too early")
        capture.start()
        with pytest.raises(kelvo.KelvoError, match="1048576 bytes, over the limit of 4096"):
            capture.mark("m" * (1 << 20))
        capture.mark("é" * 2048)  # 4096 bytes: just fits
        capture.stop()
        assert capture.marker_stats == {"received": 1, "dropped": 0}


def test_a_marker_source_that_cannot_be_had_refuses_the_capture(sim, tmp_path):
    zmq = pytest.importorskip("zmq")
    s = sim(devices=1, rate=1000, block=50)
    context = zmq.Context()
    holder = context.socket(zmq.PULL)
    port = holder.bind_to_random_port("tcp://127.0.0.1")
    try:
        with pytest.raises(kelvo.KelvoError, match=f"tcp://127.0.0.1:{port}: Address already in use"):
            kelvo.Capture(s.serials, config=[LAYOUT], hdf5=tmp_path / "none.h5", markers=f"tcp://127.0.0.1:{port}")
        assert not (tmp_path / "none.h5").exists()
    finally:
        holder.close(linger=0)
        context.term()


def _ask(socket, request: dict) -> dict:
    """One control request on a REQ socket and its answer."""
    socket.send_json(request)
    assert socket.poll(30000), f"no answer to {request}"
    answer: dict = json.loads(socket.recv())
    return answer


def test_a_script_steers_a_python_capture_through_its_control_socket(sim, tmp_path):
    zmq = pytest.importorskip("zmq")
    s = sim(devices=1, rate=2000, block=50)
    first, second = tmp_path / "first.h5", tmp_path / "second.h5"
    with kelvo.Capture(s.serials, config=[LAYOUT], hdf5=first, control="0") as capture:
        assert capture.control_endpoint.startswith("tcp://127.0.0.1:")
        context = zmq.Context()
        req = context.socket(zmq.REQ)
        req.connect(capture.control_endpoint)
        try:
            assert _ask(req, {"cmd": "status"})["state"] == "open"
            assert not _ask(req, {"cmd": "mark", "text": "too early"})["ok"]
            capture.start()
            marked = _ask(req, {"cmd": "mark", "text": "from a script"})
            assert marked["ok"] and marked["ticks"] > 0
            while capture.stats[s.serials[0]]["received"] < 1000:
                time.sleep(0.05)
            split = _ask(req, {"cmd": "split", "path": str(second)})
            assert split == {"ok": True, "closed": str(first), "file": str(second)}
            status = _ask(req, {"cmd": "status"})
            assert status["file"] == str(second) and status["refused"] == 1
            assert status["devices"][0]["serial"] == s.serials[0]
            while capture.stats[s.serials[0]]["received"] < status["devices"][0]["received"] + 1000:
                time.sleep(0.05)
            assert not capture.wait(timeout=0)
            assert _ask(req, {"cmd": "stop"}) == {"ok": True, "state": "running"}
            assert capture.wait(timeout=60), "the stop command ends the session"
            capture.stop()
            received = capture.stats[s.serials[0]]["received"]
            assert _ask(req, {"cmd": "status"})["state"] == "stopped"
        finally:
            req.close(linger=0)
            context.term()
    index = []
    for path in (first, second):
        with h5py.File(path, "r") as f:
            index.append(f["devices"][s.serials[0]]["index"][:])
            if path == first:
                assert _texts(f["markers"]["source"][:]) == ["control"]
                assert f["markers"]["ticks"][0] == marked["ticks"]
                assert _texts([f.attrs["next_file"]]) == [str(second)]
            else:
                assert _texts([f.attrs["previous_file"]]) == [str(first)]
    assert len(index[0]) > 0 and len(index[1]) > 0
    assert np.array_equal(np.concatenate(index), np.arange(received)), "every sample once, across the two files"


def test_a_control_endpoint_that_cannot_be_bound_refuses_the_capture(sim, tmp_path):
    zmq = pytest.importorskip("zmq")
    s = sim(devices=1, rate=1000, block=50)
    context = zmq.Context()
    holder = context.socket(zmq.REP)
    port = holder.bind_to_random_port("tcp://127.0.0.1")
    try:
        refusal = f"control: cannot bind tcp://127.0.0.1:{port}: Address already in use"
        with pytest.raises(kelvo.KelvoError, match=refusal):
            kelvo.Capture(s.serials, config=[LAYOUT], hdf5=tmp_path / "none.h5", control=str(port))
        assert not (tmp_path / "none.h5").exists()
        with pytest.raises(kelvo.KelvoError, match="the control port 70000 is not 1 to 65535"):
            kelvo.Capture(s.serials, config=[LAYOUT], read=True, control="70000")
    finally:
        holder.close(linger=0)
        context.term()


def test_a_python_capture_is_shown_in_browsers_and_takes_their_markers(sim, tmp_path):
    import sys
    import urllib.request
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "tools"))
    from webSocketClient import WebSocket, decode_frame
    s = sim(devices=1, rate=2000, block=50)
    file = tmp_path / "viewed.h5"
    with kelvo.Capture(s.serials, config=[LAYOUT], hdf5=file, web="127.0.0.1:0") as capture:
        assert capture.web_url.startswith("http://127.0.0.1:") and "token" not in capture.web_url
        with urllib.request.urlopen(capture.web_url, timeout=30) as page:
            assert page.status == 200 and b"<!doctype html" in page.read().lower()
        capture.start()
        ws = WebSocket(capture.web_url)
        ws.send_json({"type": "mark", "text": "seen in a browser"})
        while True:
            opcode, payload = ws.receive()
            if opcode == 2 and decode_frame(payload)["kind"] == 3:
                break
        ws.close()
        capture.stop()
    with h5py.File(file, "r") as f:
        assert _texts(f["markers"]["text"][:]) == ["seen in a browser"]
        assert _texts(f["markers"]["source"][:]) == ["web"]
