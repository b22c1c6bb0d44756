#!/usr/bin/env python3
"""Readings per second at the simulated meter's default latency (1 ms per
exchange): a raw C loop of mtrGetReading, `korvel read`, and a loop of
korvel.Meter.read(), each run REPEAT times; medians and their ratio to the raw
loop. Goal: korvel read and Meter.read() at >= 99 % of the raw loop.

    /usr/bin/python3 bench/read_rate.py [BUILD_DIR] [--count N] [--repeat R]

The raw loop and Meter.read() are timed around their loops; korvel read by
its whole process (start, library load, open, settings, N readings written to
/dev/null as CSV, exit), so its figure includes everything a user waits for.
"""
from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def raw_loop(build: Path, count: int) -> float:
    env = dict(os.environ, LD_LIBRARY_PATH=str(build))
    out = subprocess.run([str(build / "bench" / "raw_read_loop"), str(count)], capture_output=True, text=True,
                         check=True, env=env).stdout.split()
    return float(out[0])


def korvel_read(build: Path, count: int):
    """(whole-process rate, the rate korvel read reports over its readings)"""
    start = time.monotonic()
    done = subprocess.run([str(build / "korvel"), "--simulate", "read", "-n", str(count), "--format", "csv",
                           "-o", "/dev/null"], check=True, capture_output=True, text=True)
    whole = count / (time.monotonic() - start)
    reported = float(re.search(r"\(([\d.]+) readings/s\)", done.stderr).group(1))
    return whole, reported


PYTHON_LOOP = """
import sys, time, korvel
count = int(sys.argv[1])
with korvel.Meter(simulate=True) as meter:
    start = time.monotonic()
    for _ in range(count):
        meter.read()
    print(count / (time.monotonic() - start))
"""


def python_read(build: Path, count: int) -> float:
    env = dict(os.environ, KORVEL_SIM_LIBRARY=str(build / "libkorvel-x64-sim.so.1"),
               PYTHONPATH=str(ROOT / "python"))
    out = subprocess.run([sys.executable, "-c", PYTHON_LOOP, str(count)], capture_output=True, text=True,
                         check=True, env=env).stdout
    return float(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default=str(ROOT / "build"))
    parser.add_argument("--count", type=int, default=3000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    names = ["raw C loop (mtrGetReading)", "korvel read (its summary)", "korvel read (whole process)",
             "korvel.Meter.read() loop"]
    samples = {name: [] for name in names}
    # Interleaved, so a busy moment of the machine strikes every kind alike.
    for _ in range(args.repeat):
        samples[names[0]].append(raw_loop(build, args.count))
        whole, reported = korvel_read(build, args.count)
        samples[names[1]].append(reported)
        samples[names[2]].append(whole)
        samples[names[3]].append(python_read(build, args.count))
    medians = {name: statistics.median(values) for name, values in samples.items()}
    raw = medians[names[0]]
    print(f"{args.count} readings, {args.repeat} runs each, default latency (1 ms per exchange)")
    print(f"{'':30} {'median readings/s':>18} {'of raw loop':>12}")
    for name, value in medians.items():
        print(f"{name:30} {value:18.1f} {100 * value / raw:11.2f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main())
