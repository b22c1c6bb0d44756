#!/usr/bin/env python3
"""korvel publish's sustained rate: readings per second one publisher takes
and the broker acknowledges, at QoS 0 and 1, against `korvel read` on the
same simulated meter, with its CPU time per reading. Starts its own
Mosquitto on a free loopback port.

Usage: bench/publish_rate.py [--build build] [--readings 10000] [--latency S ...]

Prints one line per latency and QoS; quote the medians of --runs runs.
"""

from __future__ import annotations

import argparse
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def timed(command, env):
    """Wall seconds and CPU seconds (user + system) of a whole process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {done.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--readings", type=int, default=10000)  # enough that start and end weigh little
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--latency", type=float, nargs="*", default=[0.0, 0.001])
    args = parser.parse_args()
    program = os.path.abspath(os.path.join(args.build, "korvel"))
    env = dict(os.environ, KORVEL_SIM_LIBRARY=os.path.abspath(os.path.join(args.build, "libkorvel-x64-sim.so.1")))
    has_latency = "--latency" in subprocess.run([program, "--help"], capture_output=True, text=True).stdout

    with tempfile.TemporaryDirectory() as folder:
        port = free_port()
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as file:
            file.write(f"user {os.environ.get('USER', 'root')}\nlistener {port} 127.0.0.1\nallow_anonymous true\n")
        broker = subprocess.Popen(["mosquitto", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        try:
            print(f"{args.readings} readings, median of {args.runs} runs")
            print(f"{'latency':>8} {'what':>16} {'readings/s':>11} {'CPU us/reading':>15} {'of read':>8}")
            for latency in args.latency:
                simulate = [program, "--simulate"] + (["--latency", str(latency)] if has_latency else [])
                label = f"{latency * 1000:g} ms" if has_latency else "default"
                rows = {}
                commands = {
                    "korvel read": simulate + ["read", "-n", str(args.readings), "--interval", "0",
                                               "--format", "jsonl"],
                }
                for qos in (0, 1):
                    commands[f"publish QoS {qos}"] = simulate + [
                        "publish", "--broker", f"mqtt://127.0.0.1:{port}", "-n", str(args.readings), "--interval",
                        "0", "--qos", str(qos), "--spool", os.path.join(folder, f"spool-{latency}-{qos}")]
                for name, command in commands.items():
                    walls, cpus = [], []
                    for _ in range(args.runs):
                        wall, cpu = timed(command, env)
                        walls.append(wall)
                        cpus.append(cpu)
                    rows[name] = (args.readings / statistics.median(walls), statistics.median(cpus) / args.readings)
                base = rows["korvel read"][0]
                for name, (rate, cpu) in rows.items():
                    print(f"{label:>8} {name:>16} {rate:>11.0f} {cpu * 1e6:>15.1f} {100 * rate / base:>7.1f}%")
                if not has_latency:
                    break
        finally:
            broker.terminate()
            broker.wait()


if __name__ == "__main__":
    main()
