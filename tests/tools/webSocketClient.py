# SPDX-License-Identifier: MIT
"""A bare WebSocket client for the view's tests: it speaks the protocol's
framing itself so that a test can also break it (stop reading, leave in the
middle of a frame, send what no browser would)."""
import base64
import json
import os
import re
import socket
import struct
import urllib.parse


def parse_url(url):
    """host, port and the query string ('' or '?token=...') of the view's address."""
    parts = urllib.parse.urlsplit(url)
    return parts.hostname, parts.port, ("?" + parts.query) if parts.query else ""


def http_get(url, path, extra_headers="", timeout=10.0):
    """(status, headers text, body) of a plain GET of `path` (taken as it is)."""
    host, port, _ = parse_url(url)
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n{extra_headers}Connection: close\r\n\r\n"
                  .encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode(errors="replace").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    return status, "\r\n".join(lines[1:]), body


class WebSocket:
    def __init__(self, url, query=None, timeout=60.0, receive_buffer=None):
        """`receive_buffer` shrinks the socket's buffer before it connects,
        so that a client that stops reading soon fills the sender's."""
        host, port, own_query = parse_url(url)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.connect((host, port))
        key = base64.b64encode(os.urandom(16)).decode()
        path = "/ws" + (own_query if query is None else query)
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                refused = re.match(rb"HTTP/1\.[01] (\d+)", head)
                if refused:
                    raise ConnectionRefusedError(int(refused.group(1)))
                raise ConnectionError("closed during the upgrade: " + head.decode(errors="replace"))
            head += chunk
        self.status = int(head.split()[1])
        if self.status != 101:
            raise ConnectionRefusedError(self.status)
        self.buffer = b""

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def receive(self):
        """(opcode, payload) of the next message."""
        first, second = self._read(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack(">H", self._read(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._read(8))[0]
        return first & 0x0F, self._read(length)

    def send_raw(self, opcode, payload, declared=None):
        """A masked frame; `declared` claims another length than the payload's."""
        length = len(payload) if declared is None else declared
        header = bytes([0x80 | opcode])
        if length < 126:
            header += bytes([0x80 | length])
        elif length < 65536:
            header += bytes([0x80 | 126]) + struct.pack(">H", length)
        else:
            header += bytes([0x80 | 127]) + struct.pack(">Q", length)
        mask = os.urandom(4)
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def send_json(self, value):
        self.send_raw(1, json.dumps(value).encode())

    def close(self):
        self.sock.close()


def decode_frame(payload):
    """A binary frame of the view as a dict (docs/web-protocol.md)."""
    kind, protocol, device, sequence = struct.unpack_from("<BBHI", payload, 0)
    frame = {"kind": kind, "protocol": protocol, "device": device, "sequence": sequence}
    if kind == 1:
        channels, count, _ = struct.unpack_from("<HHI", payload, 8)
        columns, at = [], 16
        for _ in range(count):
            index, samples, _ = struct.unpack_from("<qII", payload, at)
            values = struct.unpack_from(f"<{2 * channels}f", payload, at + 16)
            columns.append({"index": index, "samples": samples, "min": values[0::2], "max": values[1::2]})
            at += 16 + 8 * channels
        frame["columns"] = columns
    elif kind == 2:
        start, end, lost, length = struct.unpack_from("<ddqH", payload, 8)
        frame.update(start=start, end=end, lost=lost, cause=payload[34:34 + length].decode())
    elif kind == 3:
        time, text_length, source_length = struct.unpack_from("<dHH", payload, 8)
        frame.update(time=time, text=payload[20:20 + text_length].decode(),
                     source=payload[20 + text_length:20 + text_length + source_length].decode())
    elif kind == 4:
        gone, = struct.unpack_from("<B", payload, 8)
        received, lost, gaps, not_sent, rate = struct.unpack_from("<QQQQd", payload, 16)
        frame.update(gone=bool(gone), received=received, lost=lost, gaps=gaps, not_sent=not_sent, rate=rate)
    return frame
