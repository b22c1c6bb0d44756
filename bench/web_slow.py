#!/usr/bin/env /usr/bin/python3
"""korvel serve --http held by slow clients: the time Prometheus would wait
for /metrics while N connections each send a request line and then a
header line now and then, never finishing (a slowloris). A slow connection
the server closes is opened again at once, so N are held throughout.

Usage: bench/web_slow.py [--build build] [--slow 1000] [--scrapes 40]

Prints the median and the 95th percentile of the scrape time, with none and
with N slow connections held, and how many slow connections were open when
each scrape began. Figures, not pass/fail: quote one run on a quiet machine.
"""

from __future__ import annotations

import argparse
import os
import re
import selectors
import socket
import statistics
import subprocess
import threading
import time


def scrape(port: int) -> float:
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
        sock.sendall(f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
        while sock.recv(65536):
            pass
    return time.monotonic() - started


class Slowloris(threading.Thread):
    """Holds `count` slow connections until stopped."""

    def __init__(self, port: int, count: int) -> None:
        super().__init__(daemon=True)
        self.port, self.count, self.stopping = port, count, False
        self.selector = selectors.DefaultSelector()
        self.open = 0

    def connect(self) -> None:
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        sock.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n".encode())
        sock.setblocking(False)
        self.selector.register(sock, selectors.EVENT_READ)
        self.open += 1

    def run(self) -> None:
        for _ in range(self.count):
            self.connect()
        next_line = time.monotonic() + 1
        while not self.stopping:
            for key, _ in self.selector.select(timeout=0.1):
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:  # closed by the server: open another
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.open -= 1
                    self.connect()
            if time.monotonic() >= next_line:
                next_line += 1
                for key in list(self.selector.get_map().values()):
                    try:
                        key.fileobj.send(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


def figures(samples: list) -> str:
    ordered = sorted(samples)
    p95 = ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))]
    return f"median {statistics.median(ordered) * 1000:.1f} ms, p95 {p95 * 1000:.1f} ms, max {ordered[-1] * 1000:.1f} ms"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--slow", type=int, default=1000)
    parser.add_argument("--scrapes", type=int, default=40)
    args = parser.parse_args()
    env = dict(os.environ, KORVEL_SIM_LIBRARY=os.path.abspath(f"{args.build}/libkorvel-x64-sim.so.1"))
    server = subprocess.Popen([f"{args.build}/korvel", "--simulate", "serve", "--no-scpi", "--http", "0"],
                              stderr=subprocess.PIPE, env=env)
    port = None
    for raw in server.stderr:
        match = re.search(rb"page on http://127\.0\.0\.1:(\d+)/", raw)
        if match:
            port = int(match.group(1))
            break
    threading.Thread(target=lambda: [None for _ in server.stderr], daemon=True).start()
    try:
        quiet = [scrape(port) for _ in range(args.scrapes)]
        print(f"/metrics, no slow connection: {figures(quiet)}")
        loris = Slowloris(port, args.slow)
        loris.start()
        time.sleep(3)
        held, loaded = [], []
        for _ in range(args.scrapes):
            held.append(loris.open)
            loaded.append(scrape(port))
            time.sleep(0.1)
        loris.stopping = True
        loris.join()
        print(f"/metrics, {args.slow} slow connections held (at least {min(held)} open at each scrape): "
              f"{figures(loaded)}")
    finally:
        server.terminate()
        server.wait(timeout=30)


if __name__ == "__main__":
    main()
