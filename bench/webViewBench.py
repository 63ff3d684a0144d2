#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The browser view measured in headless Chromium against simulated devices.

    /usr/bin/python3 bench/webViewBench.py [--build build] [--seconds 20]

(i)   device to screen: 4 devices x 8 channels at 5 kHz, one page, for
      --seconds: the server's latency (/status latency_ms: sample arrival
      to the page's "drawn"), median and p99;
(ii)  the page's frame rate over the same run (kelvoView.fps, sampled once
      a second after a warm-up);
(iii) the server's CPU: 4 devices at about 1 MB/s each (8 channels at
      28 kHz: 36-byte samples), first with no page, then with 3 pages, in
      one kelvo process, from /proc/PID/stat (utime + stime), and the
      server's own threads of it (/proc/PID/task: kelvo-web*, civetweb-*).
Prints a table against the targets; exit status 1 if one is missed.
Needs Debian's Python (Selenium), Chromium and chromedriver."""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))

from browser import Browser  # noqa: E402
from viewSession import ViewSession  # noqa: E402

CHANNELS = 8
WARM_UP_S = 4
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def status(session: ViewSession) -> dict:
    with urllib.request.urlopen(session.url.split("?")[0] + "status", timeout=10) as answer:
        return json.load(answer)


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime: fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


# The server's own threads: the view thread, one writer per page, and
# civetweb's workers (its master accepts connections).
VIEW_THREADS = ("kelvo-web", "kelvo-web-out", "civetweb-")


def view_threads_cpu(pid: int) -> dict[int, float]:
    """CPU seconds of each of the server's threads, by thread id."""
    seconds = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            if name.startswith(VIEW_THREADS):
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                seconds[int(tid)] = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return seconds


def cpu_shares(pid: int, seconds: float) -> tuple[float, float]:
    """The shares of one core the process, and the server's threads of it,
    used over the next `seconds`."""
    start_cpu, start_view, start = cpu_seconds(pid), view_threads_cpu(pid), time.monotonic()
    time.sleep(seconds)
    end_view, elapsed = view_threads_cpu(pid), time.monotonic() - start
    view = sum(end - start_view.get(tid, 0.0) for tid, end in end_view.items())
    return (cpu_seconds(pid) - start_cpu) / elapsed, view / elapsed


def open_pages(session: ViewSession, count: int) -> list[Browser]:
    pages = []
    for _ in range(count):
        page = Browser(1600, 1200)
        pages.append(page)
        page.open(session.url)
    for page in pages:
        page.wait_for("v.devices.length === 4 && v.devices.every(d => d.columns > 50)", 120, "the page's columns")
    return pages


def serve(args, rate: int) -> ViewSession:
    return ViewSession(args.kelvo, args.sim, 4, ["--rate", str(rate), "--block", str(args.block)],
                       ["--config", f"CONFigure:DEVice {CHANNELS}", "--bind", "127.0.0.1:0"])


def latency_and_frame_rate(args) -> dict:
    with serve(args, 5000) as session:
        pages = open_pages(session, 1)
        try:
            time.sleep(WARM_UP_S)
            rates = []
            deadline = time.monotonic() + args.seconds
            while time.monotonic() < deadline:
                time.sleep(1)
                rates.append(pages[0].view("v.fps"))
            strips = pages[0].view("v.stripAreas().length")
            not_sent = pages[0].view("v.devices.reduce((n, d) => n + (d.counters ? d.counters.notSent : 0), 0)")
        finally:
            for page in pages:
                page.close()
        latency = status(session)["latency_ms"]
    return {"latency": latency, "fps_median": statistics.median(rates), "fps_min": min(rates),
            "strips": strips, "not_sent": not_sent}


def server_cpu(args) -> dict:
    rate = args.mb_rate
    with serve(args, rate) as session:
        pid = session.server.pid
        time.sleep(WARM_UP_S)
        alone, _ = cpu_shares(pid, args.seconds)
        pages = open_pages(session, 3)
        try:
            time.sleep(WARM_UP_S)
            watched, server = cpu_shares(pid, args.seconds)
            fps = [page.view("v.fps") for page in pages]
            totals = pages[0].view("v.devices.reduce((t, d) => [t[0] + d.counters.received, t[1] + d.counters.lost],"
                                   " [0, 0])")
        finally:
            for page in pages:
                page.close()
        counters = status(session)
    return {"alone": alone, "watched": watched, "server": server, "fps": fps, "dropped": counters["frames_dropped"],
            "received": totals[0], "lost": totals[1],
            "mb_per_s": rate * (4 + 4 * CHANNELS) / 1e6}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--block", type=int, default=100, help="samples per block from the simulator")
    parser.add_argument("--mb-rate", type=int, default=28000, help="samples per second for about 1 MB/s")
    args = parser.parse_args()
    args.kelvo = os.path.join(args.build, "cli", "kelvo")
    args.sim = os.path.join(args.build, "sim", "kelvo-sim")

    view = latency_and_frame_rate(args)
    cpu = server_cpu(args)
    extra = (cpu["watched"] - cpu["alone"]) * 100
    rows = [
        ("device to screen, median", f"{view['latency']['median']:.1f} ms", "<= 50 ms",
         view["latency"]["median"] <= 50),
        ("device to screen, p99", f"{view['latency']['p99']:.1f} ms", "<= 150 ms", view["latency"]["p99"] <= 150),
        (f"page frame rate, 4 x {CHANNELS} strips (min {view['fps_min']})", f"{view['fps_median']} /s", ">= 30 /s",
         view["fps_median"] >= 30),
        (f"server CPU, no page ({cpu['mb_per_s']:.2f} MB/s per device)", f"{cpu['alone'] * 100:.1f} % of a core", "",
         True),
        ("server CPU, 3 pages", f"{cpu['watched'] * 100:.1f} % of a core", "", True),
        ("process CPU for the 3 pages", f"{extra:+.1f} % of a core ({cpu['watched'] / cpu['alone']:.2f}x)", "<= 5 %",
         extra <= 5),
        ("the server's threads, 3 pages", f"{cpu['server'] * 100:.1f} % of a core", "<= 5 %", cpu["server"] <= 0.05),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"{'measure':<{width}}  {'result':<28}  {'target':<9}  met")
    for name, result, target, met in rows:
        print(f"{name:<{width}}  {result:<28}  {target:<9}  {'yes' if met else 'NO'}")
    print(f"latency over {view['latency']['count']} frames; {view['strips']} strips; frames not sent to the page: "
          f"{view['not_sent']}; with 3 pages: frames not sent {cpu['dropped']}, samples lost {cpu['lost']} of "
          f"{cpu['received']}, page frame rates {cpu['fps']}")
    return 0 if all(r[3] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
