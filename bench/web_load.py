#!/usr/bin/env /usr/bin/python3
"""korvel serve --http under watch: the server's CPU per second and memory
with no page, with the sampler alone (a recording, no page), and with 1 and 5
pages streaming at 10 Hz; then the time from navigation to the first reading
shown in a headless Chromium (median of runs).

Usage: bench/web_load.py [--build build] [--seconds 10] [--loads 10] [--latency S]

The streams are plain HTTP clients reading /api/stream as a page's
EventSource does (the server cannot tell them apart); the figure is the
server process's user + system time per wall second, read from /proc.
"With the sampler" is what the meter's exchanges cost (the simulated meter
runs inside the server); the pages' share is what lies beyond it.
Figures, not pass/fail: run it on a quiet machine and quote one run.
"""

from __future__ import annotations

import argparse
import http.client
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

TICKS = os.sysconf("SC_CLK_TCK")


class Server:
    def __init__(self, program, library, latency, record_dir):
        simulate = ["--simulate"] + (["--latency", str(latency)] if latency is not None else [])
        env = dict(os.environ, KORVEL_SIM_LIBRARY=library)
        self.process = subprocess.Popen(
            [program, *simulate, "serve", "--bind", "127.0.0.1", "--port", "0", "--http", "0",
             "--record-dir", record_dir],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.monotonic() + 30
        self.port = None
        while self.port is None:
            for line in list(self.lines):
                match = re.search(r"page on http://127\.0\.0\.1:(\d+)/", line)
                if match:
                    self.port = int(match.group(1))
            if time.monotonic() > deadline:
                sys.exit("the server did not start:\n" + "\n".join(self.lines))
            time.sleep(0.02)

    def _read(self):
        for raw in self.process.stderr:
            self.lines.append(raw.decode("utf-8", "replace").rstrip())

    def cpu_seconds(self):
        fields = open(f"/proc/{self.process.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS

    def memory(self):
        status = open(f"/proc/{self.process.pid}/status").read()
        rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
        hwm = int(re.search(r"VmHWM:\s+(\d+)", status).group(1))
        return rss, hwm

    def post(self, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request("GET", "/")
        token = re.search(rb'korvel-token" content="([0-9a-f]+)', connection.getresponse().read()).group(1)
        connection.request("POST", path, body="", headers={
            "Origin": f"http://127.0.0.1:{self.port}", "X-Korvel-Token": token.decode(),
            "Content-Type": "application/x-www-form-urlencoded"})
        response = connection.getresponse()
        response.read()
        connection.close()
        assert response.status == 200, response.status

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)


class Stream(threading.Thread):
    """A page's EventSource: reads /api/stream and counts its events."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.events = 0
        self.stopping = False
        self.connection = None
        self.sock = None

    def run(self):
        self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        self.connection.request("GET", "/api/stream", headers={"Accept": "text/event-stream"})
        # Kept: a response that closes the connection at its end takes the
        # connection's socket from it, and stop() still has to end the stream.
        self.sock = self.connection.sock
        response = self.connection.getresponse()
        while not self.stopping:
            line = response.fp.readline()
            if not line:
                break
            if line.startswith(b"data: "):
                self.events += 1

    def stop(self):
        self.stopping = True
        try:
            self.sock.shutdown(2)
        except (OSError, AttributeError):
            pass


def measure(server, seconds):
    cpu0, wall0 = server.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return (server.cpu_seconds() - cpu0) / (time.monotonic() - wall0) * 100


def first_readings(url, loads):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.TemporaryDirectory(prefix="korvel-bench-chromium-")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--user-data-dir={profile.name}", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    times = []
    try:
        for _ in range(loads):
            driver.get("about:blank")
            time.sleep(0.5)  # the previous page's stream has ended; the sampler has stopped
            driver.get(url)
            WebDriverWait(driver, 15, poll_frequency=0.01).until(
                lambda d: d.execute_script("return window.korvelPage && window.korvelPage.firstReadingMs"))
            times.append(driver.execute_script("return window.korvelPage.firstReadingMs"))
    finally:
        driver.quit()
        profile.cleanup()
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--loads", type=int, default=10)
    parser.add_argument("--latency", type=float, default=None,
                        help="simulated meter's exchange time in seconds (--latency of korvel --simulate)")
    args = parser.parse_args()
    program = os.path.join(args.build, "korvel")
    library = os.path.join(args.build, "libkorvel-x64-sim.so.1")
    with tempfile.TemporaryDirectory(prefix="korvel-bench-rec-") as record_dir:
        server = Server(program, library, args.latency, record_dir)
        try:
            time.sleep(1)
            rows = []
            cpu = measure(server, args.seconds)
            rows.append(("no page, no sampling", cpu, 0, server.memory()))
            server.post("/api/recording/start")
            sampler = measure(server, args.seconds)
            rows.append(("sampler alone (recording, no page)", sampler, 0, server.memory()))
            server.post("/api/recording/stop")
            for tabs in (1, 5):
                streams = [Stream(server.port) for _ in range(tabs)]
                for s in streams:
                    s.start()
                time.sleep(1)
                before = [s.events for s in streams]
                cpu = measure(server, args.seconds)
                rate = statistics.median((s.events - b) / args.seconds for s, b in zip(streams, before))
                rows.append((f"{tabs} page stream{'s' if tabs > 1 else ''} at 10 Hz", cpu, rate, server.memory()))
                for s in streams:
                    s.stop()
                time.sleep(1)
            print(f"server CPU over {args.seconds:g} s each (% of one core), events/s per stream, memory:")
            for name, cpu, rate, (rss, hwm) in rows:
                print(f"  {name:38s} {cpu:6.2f} %   {rate:5.1f} ev/s   RSS {rss / 1024:6.1f} MiB (peak {hwm / 1024:.1f})")
            print(f"  5 pages beyond the sampler: {rows[3][1] - rows[1][1]:.2f} % of one core")
            times = first_readings(f"http://127.0.0.1:{server.port}/", args.loads)
            print(f"first reading on the page after navigation ({args.loads} loads): median {statistics.median(times):.0f} ms,"
                  f" max {max(times):.0f} ms")
        finally:
            server.stop()


if __name__ == "__main__":
    main()
