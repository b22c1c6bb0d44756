#!/usr/bin/env python3
"""korvel serve under load: replies/s and latency percentiles for 1, 10, 100
and 500 clients, a probe client's latency during the meter's outage and
among 16 and 500 trickling clients, and one raw client's rate against the
meter's own (scpiCommand in a loop on the same simulated bus).

Usage: bench/serve_load.py [--build build] [--latency SECONDS] [--seconds 3]

Figures, not pass/fail: run it on a quiet machine and quote the medians and
ratios of one run. Clients are Python asyncio on one core, so at hundreds of
clients the client side may be what limits the rate; the latencies still
show whether anyone waits for anyone else.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import os
import re
import statistics
import subprocess
import sys
import threading
import time


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Server:
    def __init__(self, program, library, latency, *options):
        simulate = ["--simulate"] + (["--latency", str(latency)] if latency is not None else [])
        env = dict(os.environ, KORVEL_SIM_LIBRARY=library)
        self.process = subprocess.Popen([program, *simulate, "serve", "--port", "0", *options],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, text=True)
        self.lines = []
        for line in self.process.stderr:
            self.lines.append(line)
            match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            if match:
                self.port = int(match.group(1))
                break
        threading.Thread(target=lambda: [self.lines.append(x) for x in self.process.stderr], daemon=True).start()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


async def client_loop(port, seconds, line, latencies, start_gate):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    await start_gate.wait()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        writer.write(line)
        await writer.drain()
        await reader.readline()
        latencies.append(time.monotonic() - started)
    writer.close()


async def load(port, clients, seconds, line=b":MEAS:FLUX?\n"):
    latencies = []
    gate = asyncio.Event()
    tasks = [asyncio.create_task(client_loop(port, seconds, line, latencies, gate)) for _ in range(clients)]
    await asyncio.sleep(0.5)  # every client connected
    started = time.monotonic()
    gate.set()
    await asyncio.gather(*tasks)
    elapsed = time.monotonic() - started
    return len(latencies) / elapsed, latencies


async def trickle_and_probe(port, tricklers, seconds):
    writers = []
    for _ in range(tricklers):
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        writers.append(writer)
    stop = asyncio.Event()

    async def trickle():
        while not stop.is_set():
            for writer in writers:
                writer.write(b"*")
            await asyncio.sleep(1.0)

    task = asyncio.create_task(trickle())
    latencies = await probe(port, seconds)
    stop.set()
    await task
    for writer in writers:
        writer.close()
    return latencies


async def probe(port, seconds):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    latencies = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        writer.write(b"*IDN?\n")
        await writer.drain()
        await reader.readline()
        latencies.append(time.monotonic() - started)
        await asyncio.sleep(0.01)
    writer.close()
    return latencies


async def pipelined(port, seconds, window=8, line=b":MEAS:FLUX?\n"):
    """One client that keeps `window` lines ahead of its replies, as a raw
    socket client may: replies per second."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(line * window)
    count = 0
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        await reader.readline()
        count += 1
        writer.write(line)
    elapsed = time.monotonic() - started
    writer.close()
    return count / elapsed


def meter_rate(library, latency, seconds):
    """scpiCommand(":MEAS:FLUX?") in a loop, straight on the simulated library."""
    lib = ctypes.CDLL(library)
    lib.korvelSimReset(1)
    if latency is not None and hasattr(lib, "korvelSimSetLatency"):
        lib.korvelSimSetLatency(ctypes.c_double(latency))
    handle = lib.openKorvel()
    reply = ctypes.create_string_buffer(128)
    count = 0
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        lib.scpiCommand(handle, b":MEAS:FLUX?", reply, 128)
        count += 1
    elapsed = time.monotonic() - started
    lib.closeKorvel(handle)
    return count / elapsed


def ms(value):
    return f"{value * 1000:.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--latency", type=float, default=None,
                        help="the simulated meter's time per exchange (default: the simulator's own)")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    program = os.path.join(args.build, "korvel")
    library = os.path.abspath(os.path.join(args.build, "libkorvel-x64-sim.so.1"))
    if not os.path.exists(program):
        sys.exit(f"build {program} first (cmake --build {args.build})")
    label = "default" if args.latency is None else f"{args.latency * 1000:g} ms"
    print(f"simulated meter latency: {label}; {args.seconds:g} s per figure")

    server = Server(program, library, args.latency, "--max-clients", "1024")
    try:
        print(f"{'clients':>8} {'replies/s':>10} {'p50':>10} {'p99':>10}")
        for clients in (1, 10, 100, 500):
            rate, latencies = asyncio.run(load(server.port, clients, args.seconds))
            print(f"{clients:>8} {rate:>10.0f} {ms(percentile(latencies, 0.5)):>10} "
                  f"{ms(percentile(latencies, 0.99)):>10}")
        for tricklers in (16, 500):
            latencies = asyncio.run(trickle_and_probe(server.port, tricklers, args.seconds))
            print(f"probe among {tricklers} trickling clients: p99 {ms(percentile(latencies, 0.99))}, "
                  f"max {ms(max(latencies))}")
    finally:
        server.stop()

    outage = Server(program, library, args.latency, "--unplug-after", "1")
    try:
        latencies = asyncio.run(probe(outage.port, 1 + args.seconds))
        print(f"probe through the meter's outage: p99 {ms(percentile(latencies, 0.99))}, max {ms(max(latencies))}")
    finally:
        outage.stop()

    own = meter_rate(library, args.latency, args.seconds)
    server = Server(program, library, args.latency)
    try:
        bridged, _ = asyncio.run(load(server.port, 1, args.seconds))
        ahead = asyncio.run(pipelined(server.port, args.seconds))
    finally:
        server.stop()
    print(f"scpiCommand in a loop on the library: {own:.0f}/s")
    print(f"one client, query then wait: {bridged:.0f} replies/s ({100 * bridged / own:.1f} %)")
    print(f"one client, 8 lines ahead:   {ahead:.0f} replies/s ({100 * ahead / own:.1f} %)")


if __name__ == "__main__":
    main()
