# SPDX-License-Identifier: MIT
"""kelvo serve against simulated devices, through real sockets: what a
hostile or broken client can do to the view, and that the capture loses no
sample for any of it. KELVO_CLI and KELVO_SIM name the programs."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from webSocketClient import WebSocket, decode_frame, http_get  # noqa: E402

KELVO = os.environ.get("KELVO_CLI", "kelvo")
SIM = os.environ.get("KELVO_SIM", "kelvo-sim")
# Sanitized builds run several times slower: every wait is generous, and
# polls, never sleeps for a result.
PATIENCE = 60.0
# What a client's queue and threads may cost the server: a few MiB, and far
# more under a sanitizer's shadow memory and thread state.
MOST_GROWTH_KIB = (256 if os.environ.get("KELVO_SANITIZE") else 32) * 1024


def wait_for(condition, what, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Serve:
    """Simulated devices and `kelvo serve` on them; stop() returns its summary."""

    def __init__(self, *options, devices=2, rate=5000):
        self.folder = tempfile.TemporaryDirectory()
        self.sim = subprocess.Popen([SIM, "-n", str(devices), "-r", str(rate)], stdout=subprocess.PIPE, text=True)
        self.paths = [self.sim.stdout.readline().strip() for _ in range(devices)]
        self.err_path = os.path.join(self.folder.name, "serve.err")
        with open(self.err_path, "w") as err:
            self.serve = subprocess.Popen([KELVO, "serve", *self.paths, "--config", "CONF:DEV 2", *options],
                                          stdout=subprocess.PIPE, stderr=err, text=True)
        self.url = wait_for(self._url, "the view's address")

    def _url(self):
        if self.serve.poll() is not None:
            raise AssertionError("kelvo serve ended: " + open(self.err_path).read())
        found = re.search(r"serving the view on (\S+)", open(self.err_path).read())
        return found.group(1) if found else None

    def stderr(self):
        return open(self.err_path).read()

    def status(self):
        import json
        code, _, body = http_get(self.url, "/status" + ("?" + self.url.split("?", 1)[1] if "?" in self.url else ""))
        assert code == 200
        return json.loads(body)

    def resident_kib(self):
        for line in open(f"/proc/{self.serve.pid}/status"):
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def stop(self):
        self.serve.send_signal(signal.SIGINT)
        out, _ = self.serve.communicate(timeout=PATIENCE)
        self.sim.send_signal(signal.SIGINT)
        self.sim.wait(timeout=PATIENCE)
        errors = self.stderr()
        self.folder.cleanup()
        assert self.serve.returncode == 0, out + errors
        return out

    def kill(self):
        for process in (self.serve, self.sim):
            if process.poll() is None:
                process.kill()
                process.wait()


@pytest.fixture
def served():
    running = []

    def start(*options, **settings):
        s = Serve(*options, **settings)
        running.append(s)
        return s

    yield start
    for s in running:
        s.kill()


def assert_nothing_lost(summary):
    dropped = [int(n) for n in re.findall(r"dropped\s+(\d+)", summary)]
    assert dropped and not any(dropped), summary
    assert all(int(n) > 0 for n in re.findall(r"samples\s+(\d+)", summary)), summary


def frames_of(ws, kind, count, timeout=PATIENCE):
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        opcode, payload = ws.receive()
        if opcode == 2 and payload[0] == kind:
            got.append(decode_frame(payload))
    assert len(got) == count, f"{len(got)} of {count} frames of kind {kind}"
    return got


def description(ws, devices=1):
    """The description, once it names `devices` devices: a page that
    comes before the streams start gets it again as they do."""
    import json
    while True:
        opcode, payload = ws.receive()
        if opcode == 1:
            text = json.loads(payload)
            assert text["type"] == "description"
            if len(text["devices"]) >= devices:
                return text


# ---- what the page gets -------------------------------------------------

def test_each_browser_gets_the_description_and_columns_and_one_that_comes_later_the_window(served):
    s = served("--bind", "127.0.0.1:0")
    first, second = WebSocket(s.url), WebSocket(s.url)
    for ws in (first, second):
        devices = description(ws, 2)["devices"]
        assert [d["channels"] for d in devices] == [["Adc24_1", "Adc24_2"]] * 2
        assert [d["id"] for d in devices] == [0, 1]
    columns = [c for f in frames_of(first, 1, 40) for c in f["columns"]]
    # The simulator's waves move within a 10 ms column.
    assert any(mx > mn for c in columns for mn, mx in zip(c["min"], c["max"]))
    assert all(mn <= mx and -1.0 <= mn and mx <= 1.0 for c in columns for mn, mx in zip(c["min"], c["max"]))
    first.close()
    later = WebSocket(s.url)
    description(later)
    kept = frames_of(later, 1, 2)
    assert all(f["device"] in (0, 1) for f in kept)
    assert len(kept[0]["columns"]) > 1, "the window held so far comes first"
    later.send_json({"type": "mark", "text": "from a socket"})
    marker = frames_of(later, 3, 1)[0]
    assert marker["text"] == "from a socket" and marker["source"] == "web"
    second.close()
    later.close()
    assert_nothing_lost(s.stop())


# ---- hostile requests ---------------------------------------------------

def test_no_path_leaves_the_built_in_files(served):
    s = served("--bind", "127.0.0.1:0")
    for path in ["/../../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd",
                 "/app.js/../../etc/passwd", "//etc/passwd", "/web/app.js", "/status/../../etc/passwd",
                 "/" + "a/" * 2000 + "x"]:
        code, _, body = http_get(s.url, path)
        assert code in (400, 404, 413, 414), (path, code)
        assert b"root:" not in body
    code, headers, body = http_get(s.url, "/app.js")
    assert code == 200 and len(body) > 0 and "text/javascript" in headers
    assert http_get(s.url, "/")[0] == 200
    assert_nothing_lost(s.stop())


def test_a_header_too_large_and_requests_of_other_methods_are_refused(served):
    s = served("--bind", "127.0.0.1:0")
    code, _, _ = http_get(s.url, "/", extra_headers="X-Padding: " + "x" * 40000 + "\r\n")
    assert code in (0, 400, 413, 431), code
    host, port = s.url.split("//")[1].split("/")[0].split(":")
    with socket.create_connection((host, int(port)), timeout=10) as c:
        c.sendall(b"POST /status HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\nConnection: close\r\n\r\nabcd")
        assert b" 405 " in c.recv(4096).split(b"\r\n")[0] + b" "
    with socket.create_connection((host, int(port)), timeout=10) as c:
        c.sendall(b"\x16\x03\x01\x02\x00garbage that is not HTTP\r\n\r\n")
        c.recv(4096)
    assert http_get(s.url, "/status")[0] == 200, "still serving"
    assert_nothing_lost(s.stop())


def test_bad_upgrades_get_no_socket(served):
    s = served("--bind", "127.0.0.1:0")
    host, port = s.url.split("//")[1].split("/")[0].split(":")
    key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    for path, headers in [("/ws", "Sec-WebSocket-Version: 13\r\n"),  # no key
                          ("/ws", key + "Sec-WebSocket-Version: 8\r\n"),
                          ("/", key + "Sec-WebSocket-Version: 13\r\n"),
                          ("/ws/deeper", key + "Sec-WebSocket-Version: 13\r\n"),
                          ("/ws", key + "Sec-WebSocket-Version: " + "9" * 5000 + "\r\n")]:
        with socket.create_connection((host, int(port)), timeout=30) as c:
            c.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n{headers}\r\n"
                      .encode())
            answer = b""
            while b"\r\n" not in answer:
                chunk = c.recv(4096)
                if not chunk:
                    break
                answer += chunk
            assert b" 101 " not in answer.split(b"\r\n")[0], (path, headers[:60], answer[:80])
    assert s.status()["clients"] == 0
    assert_nothing_lost(s.stop())


def test_with_a_token_nothing_with_data_is_served_without_it(served):
    s = served("--bind", "127.0.0.1:0", "--token")
    token = re.search(r"\?token=([0-9a-f]{32})$", s.url)
    assert token, s.url
    base = s.url.split("?")[0]
    for path in ["/", "/index.html", "/status", "/?token=" + "0" * 32, "/status?token=" + token.group(1)[:-1]]:
        assert http_get(base, path)[0] == 403, path
    with pytest.raises(ConnectionRefusedError):
        WebSocket(base, query="")
    with pytest.raises(ConnectionRefusedError):
        WebSocket(base, query="?token=" + token.group(1).upper())
    assert http_get(base, "/app.js")[0] == 200, "the code is no secret"
    assert http_get(base, "/?token=" + token.group(1))[0] == 200
    ws = WebSocket(s.url)
    assert ws.receive()[0] == 1
    ws.close()
    assert s.status()["refused"]["token"] >= 7
    assert_nothing_lost(s.stop())


def test_any_address_but_loopback_has_a_token_unless_refused(served):
    s = served("--bind", "0.0.0.0:0")
    assert "?token=" in s.url
    assert "open to other machines" in s.stderr()
    assert_nothing_lost(s.stop())
    s = served("--bind", "0.0.0.0:0", "--no-token")
    assert "?token=" not in s.url and "without a token" in s.stderr()
    assert_nothing_lost(s.stop())


def test_a_flood_of_connections_costs_the_capture_nothing(served):
    s = served("--bind", "127.0.0.1:0")
    host, port = s.url.split("//")[1].split("/")[0].split(":")
    idle = []
    for _ in range(200):
        try:
            idle.append(socket.create_connection((host, int(port)), timeout=10))
        except OSError:
            pass
    answered = []

    def ask():
        try:
            answered.append(http_get(s.url, "/status", timeout=30)[0])
        except OSError:
            answered.append(0)

    askers = [threading.Thread(target=ask) for _ in range(50)]
    for t in askers:
        t.start()
    for c in idle:
        c.close()
    for t in askers:
        t.join()
    assert answered.count(200) > 0
    # Once they are gone the view serves at once, browsers too.
    ws = WebSocket(s.url)
    description(ws)
    frames_of(ws, 1, 5)
    ws.close()
    assert_nothing_lost(s.stop())


def test_sockets_beyond_the_most_are_refused(served):
    s = served("--bind", "127.0.0.1:0")
    sockets = [WebSocket(s.url) for _ in range(16)]
    with pytest.raises((ConnectionRefusedError, ConnectionError)):
        WebSocket(s.url)
    sockets.pop().close()
    wait_for(lambda: s.status()["clients"] < 16, "a socket to close")
    extra = WebSocket(s.url)
    assert extra.receive()[0] == 1
    for ws in sockets + [extra]:
        ws.close()
    assert_nothing_lost(s.stop())


# ---- broken and slow clients --------------------------------------------

def test_a_client_that_never_reads_costs_the_capture_and_the_others_nothing(served):
    # Its frames pile up in the kernel's buffers first; the server's own
    # dropping of them is webServerTest's, which sends faster than a
    # capture needs to.
    s = served("--bind", "127.0.0.1:0", devices=4, rate=20000)
    stalled = WebSocket(s.url, receive_buffer=4096)
    reader = WebSocket(s.url)
    description(reader)
    before = s.resident_kib()
    counters = frames_of(reader, 4, 4 * 5)
    assert all(c["not_sent"] == 0 and not c["gone"] for c in counters)
    frames_of(reader, 1, 50)
    assert s.resident_kib() - before < MOST_GROWTH_KIB
    reader.close()
    stalled.close()
    assert_nothing_lost(s.stop())


def test_clients_that_leave_mid_frame_or_claim_huge_frames_cost_nothing(served):
    s = served("--bind", "127.0.0.1:0")
    before = s.resident_kib()
    for claim in (10, 1 << 20, 1 << 40):
        ws = WebSocket(s.url)
        ws.send_raw(1, b'{"type":"ma', declared=claim)  # the rest never comes
        ws.close()
    half = WebSocket(s.url)
    half.sock.sendall(b"\x81")  # a frame's first byte only
    half.close()
    noisy = WebSocket(s.url)
    noisy.send_raw(2, b"\x00" * 100)
    noisy.send_json({"type": "drawn", "sequence": 4000000000})
    noisy.send_json({"type": "mark", "text": ""})
    noisy.send_json({"type": "mark", "text": "x" * 2000})
    noisy.send_json({"type": "mark", "text": 7})
    noisy.send_raw(1, b"not json")
    noisy.send_raw(1, b"[" * 3000)
    wait_for(lambda: s.status()["messages_ignored"] >= 6, "the page's nonsense to be counted")
    noisy.send_raw(1, b"x" * 10000)  # over the page's limit: the socket goes
    wait_for(lambda: s.status()["clients"] == 0, "the sockets to close")
    assert s.resident_kib() - before < MOST_GROWTH_KIB
    assert http_get(s.url, "/status")[0] == 200
    assert_nothing_lost(s.stop())


# ---- gaps and other machines --------------------------------------------

def test_an_unplugged_device_shows_as_gone_and_then_as_a_gap(served):
    s = served("--bind", "127.0.0.1:0")
    ws = WebSocket(s.url)
    description(ws)
    frames_of(ws, 1, 20)
    s.sim.send_signal(signal.SIGUSR1)  # device 1 is unplugged
    wait_for(lambda: any(f["gone"] and f["device"] == 0 for f in frames_of(ws, 4, 1)), "device 0 gone")
    s.sim.send_signal(signal.SIGUSR2)  # and plugged in again
    gap = frames_of(ws, 2, 1)[0]
    assert gap["device"] == 0 and gap["cause"] == "disconnected"
    assert 0 < gap["start"] < gap["end"] and gap["lost"] > 0
    ws.close()
    s.stop()


def test_a_view_of_publishers_is_on_this_machines_time_axis(tmp_path):
    sim = subprocess.Popen([SIM, "-n", "1", "-r", "2000"], stdout=subprocess.PIPE, text=True)
    path = sim.stdout.readline().strip()
    # ipc: a free TCP port found here could be taken before the publisher
    # binds it, or its neighbour, where the publisher serves its clock.
    endpoint = f"ipc://{tmp_path}/publisher"
    err = tmp_path / "serve.err"
    publisher = subprocess.Popen([KELVO, "publish", path, "--config", "CONF:DEV 2", "--bind", endpoint],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(err, "w") as errors:
        viewer = subprocess.Popen([KELVO, "serve", "--from", endpoint, "--bind", "127.0.0.1:0"],
                                  stdout=subprocess.PIPE, stderr=errors, text=True)
    try:
        url = wait_for(lambda: (re.search(r"serving the view on (\S+)", err.read_text()) or [None, None])[1],
                       "the view's address")
        ws = WebSocket(url)
        text = description(ws)
        assert text["source"] == "subscriber" and not text["can_mark"]
        assert text["devices"][0]["channels"] == ["Adc24_1", "Adc24_2"]
        columns = [c for f in frames_of(ws, 1, 10) for c in f["columns"]]
        # The view's axis starts with the viewer: the first columns are
        # within seconds of it, not on the publisher's clock.
        assert all(-1000 < c["index"] < 100 * 600 for c in columns), columns[:3]
        ws.close()
    finally:
        for process in (viewer, publisher, sim):
            process.send_signal(signal.SIGINT)
            process.wait(timeout=PATIENCE)
    assert viewer.returncode == 0
