#!/usr/bin/env python3
"""korvel publish's sustained rate and cost, against one Mosquitto the script
starts on a free loopback port with a config it writes:

- zero latency, one meter: `korvel read`, `publish` at QoS 0 and 1, and the
  pipeline `korvel read --format jsonl | mosquitto_pub -l -q 1` as the peer;
- --meters N at --interval 0.001, QoS 1: one process for the N meters
  (`publish --all`) against N processes (one `--meter` each), side by side:
  readings per second as a share of the meters' rate (N x 1000/s) and the
  publisher's CPU per reading (utime + stime of the process(es), as in
  /proc/PID/stat, over the readings delivered);
- the backlog drain: one meter at 1 ms, the broker stopped until the
  publisher's spool holds --backlog readings it could not deliver (or for
  --outage seconds) and started again; the publisher comes back at its next
  reconnection attempt, so the count at reconnection (printed) is at least
  --backlog; the share of reading intervals over 1.5 ms in the first second
  of the drain, against the same share before the outage.

Usage: bench/publish_rate.py [--build build] [--readings 10000] [--meters 16]
       [--fleet-readings 3000] [--backlog 9000] [--outage S] [--runs 3]
       [--skip zero,fleet,drain]

Rates come from two runs of each command, with --fleet-readings and with one
reading, so the start (opening the meters, connecting) and the final flush
cancel out: rate = N (R - 1) / (wall(R) - wall(1)). Medians of --runs runs.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    def __init__(self, folder):
        self.port = free_port()
        self.config = os.path.join(folder, "mosquitto.conf")
        with open(self.config, "w") as file:
            file.write(f"user {os.environ.get('USER', 'root')}\nlistener {self.port} 127.0.0.1\n"
                       "allow_anonymous true\nmax_queued_messages 100000\n")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.02)
        sys.exit("mosquitto did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait()

    @property
    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"


def run_all(commands, env, shell=False):
    """Starts every command at once; wall seconds until the last ends and
    the CPU seconds (user + system) of all of them."""
    started = time.monotonic()
    processes = [subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  text=True, shell=shell) for command in commands]
    cpu = 0.0
    for process in processes:
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        err = process.stderr.read()
        if process.returncode != 0:
            sys.exit(f"{process.args} failed: {err}")
        cpu += usage.ru_utime + usage.ru_stime
    return time.monotonic() - started, cpu


def median_of(runs, measure):
    values = [measure() for _ in range(runs)]
    return tuple(statistics.median(column) for column in zip(*values))


def zero_latency(args, program, env, broker, folder):
    readings = args.readings
    simulate = [program, "--simulate", "--latency", "0"]
    commands = {
        "korvel read": [simulate + ["read", "-n", str(readings), "--interval", "0", "--format", "jsonl"]],
        "read | mosquitto_pub -q 1": " ".join(simulate) + f" read -n {readings} --interval 0 --format jsonl | "
                                     f"mosquitto_pub -p {broker.port} -t bench/pipe -l -q 1",
    }
    for qos in (0, 1):
        commands[f"publish QoS {qos}"] = [simulate + [
            "publish", "--broker", broker.url, "-n", str(readings), "--interval", "0", "--qos", str(qos),
            "--spool", os.path.join(folder, f"spool-zero-{qos}")]]
    print(f"\nZero latency, one meter, {readings} readings, median of {args.runs} runs")
    print(f"{'what':>28} {'readings/s':>11} {'CPU us/reading':>15}")
    rows = {}
    for name, command in commands.items():
        pipeline = isinstance(command, str)
        wall, cpu = median_of(args.runs, lambda: run_all([command] if pipeline else command, env, shell=pipeline))
        rows[name] = readings / wall
        cpu_text = "-" if pipeline else f"{cpu / readings * 1e6:.1f}"  # a shell's children are not counted
        print(f"{name:>28} {readings / wall:>11.0f} {cpu_text:>15}")
    peer = rows["read | mosquitto_pub -q 1"]
    print(f"publish QoS 1 / pipeline: {100 * rows['publish QoS 1'] / peer:.0f} % (target >= 100 %)")


def fleet(args, program, env, broker, folder):
    n, readings = args.meters, args.fleet_readings
    simulate = [program, "--simulate", "--latency", "0", "--meters", str(n)]
    counter = iter(range(1_000_000))

    def publish(count, *selection):
        spool = os.path.join(folder, f"spool-fleet-{next(counter)}")
        return simulate + ["publish", *selection, "--broker", broker.url, "-n", str(count), "--interval", "0.001",
                           "--qos", "1", "--spool", spool]

    def one_process(count):
        return [publish(count, "--all")]

    def processes(count):
        return [publish(count, "--meter", f"KV{i:04d}") for i in range(1, n + 1)]

    print(f"\n{n} meters at --interval 0.001, QoS 1, {readings} readings each, median of {args.runs} runs")
    print(f"{'what':>22} {'readings/s':>11} {'of meters':>10} {'CPU us/reading':>15}")
    for name, make in (("one process (--all)", one_process), (f"{n} processes", processes)):
        def measure():
            wall_one, _ = run_all(make(1), env)
            wall, cpu = run_all(make(readings), env)
            return n * (readings - 1) / max(wall - wall_one, 1e-9), cpu / (n * readings)
        rate, cpu = median_of(args.runs, measure)
        print(f"{name:>22} {rate:>11.0f} {100 * rate / (n * 1000):>9.1f}% {cpu * 1e6:>15.1f}")
    print("targets: one process >= 95 % of the meters' rate, <= 40 us per reading")


def late_share(stamps):
    intervals = [b - a for a, b in zip(stamps, stamps[1:])]
    return (sum(1 for i in intervals if i > 0.0015) / len(intervals) if intervals else float("nan"),
            max(intervals, default=float("nan")))


def spool_lines(path, seen):
    """Records in the spool file so far; `seen` ([offset, count]) carries
    the count on between calls, so each call reads only what was added."""
    try:
        with open(path, "rb") as file:
            file.seek(seen[0])
            added = file.read()
    except FileNotFoundError:
        return seen[1]
    seen[0] += len(added)
    seen[1] += added.count(b"\n")
    return seen[1]


def stay_away(args, spool):
    """Waits while the broker is away: --outage seconds, or until the
    spool holds --backlog records more than when the broker went (no
    deliveries meanwhile, so nothing is cut from the file's front)."""
    if args.outage is not None:
        time.sleep(args.outage)
        return
    path, seen = os.path.join(spool, "KV0001.spool"), [0, 0]
    start = spool_lines(path, seen)
    deadline = time.monotonic() + 10 * args.backlog / 1000 + 30  # a meter far below 1000/s
    while spool_lines(path, seen) - start < args.backlog:
        if time.monotonic() > deadline:
            sys.exit(f"the spool did not reach {args.backlog} readings")
        time.sleep(0.05)


def drain(args, program, env, broker, folder):
    """One meter at 1 ms; the broker away (--backlog readings or --outage s), then back."""
    topic = "korvel/KV0001/reading"
    out = os.path.join(folder, "drain.jsonl")
    results = []
    for run in range(args.runs):
        spool = os.path.join(folder, f"spool-drain-{run}")
        with open(out, "w") as sink:
            subscriber = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-t", topic, "-q", "1", "-c",
                                           "-i", f"bench-drain-{run}"], stdout=sink, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            publisher = subprocess.Popen([program, "--simulate", "--latency", "0", "publish", "--broker", broker.url,
                                          "--interval", "0.001", "--qos", "1", "--spool", spool], env=env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            time.sleep(2)
            subscriber.terminate()  # it would wait for the broker otherwise
            subscriber.wait()
            broker.stop()
            away = time.monotonic()
            stay_away(args, spool)
            away = time.monotonic() - away
            broker.start()
            subscriber = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-t", topic, "-q", "1", "-c",
                                           "-i", f"bench-drain-{run}"], stdout=sink, stderr=subprocess.DEVNULL)
            time.sleep(away / 2 + 10)  # the publisher's backoff, the drain and a second after it
            publisher.send_signal(signal.SIGINT)
            _, err = publisher.communicate(timeout=60)
            time.sleep(1)
            subscriber.terminate()
            subscriber.wait()
        back = [line for line in err.splitlines() if "connected to the broker" in line and "meanwhile" in line]
        if not back:
            sys.exit("the publisher never came back to the broker:\n" + err)
        reconnected = datetime.fromisoformat(re.search(r"korvel: (\S+)", back[-1]).group(1).replace("Z", "+00:00"))
        records = {}
        with open(out) as file:
            for line in file:
                record = json.loads(line)
                if "timestamp" in record:
                    records[record["seq"]] = record
        ordered = [records[seq] for seq in sorted(records)]
        stamps = [(datetime.fromisoformat(r["timestamp"].replace("Z", "+00:00")), r["elapsed_s"]) for r in ordered]
        during = [e for t, e in stamps if 0 <= (t - reconnected).total_seconds() < 1]
        before = [e for t, e in stamps if 0.5 <= e < 2]
        spooled = sum(1 for t, e in stamps if t < reconnected and e >= 2)  # the broker went at about 2 s
        late, longest = late_share(during)
        calm, _ = late_share(before)
        results.append((spooled, late, longest, calm))
    spooled, late, longest, calm = (statistics.median(column) for column in zip(*results))
    away = f"{args.outage:g} s" if args.outage is not None else f"until {args.backlog} readings were spooled"
    print(f"\nBacklog drain, one meter at 1 ms, broker away {away}, median of {args.runs} runs")
    print(f"readings spooled meanwhile: {spooled:.0f}; intervals over 1.5 ms in the drain's first second: "
          f"{100 * late:.2f} % (longest {longest * 1000:.1f} ms; before the outage {100 * calm:.2f} %); "
          f"target <= 1 %")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--readings", type=int, default=10000)  # enough that start and end weigh little
    parser.add_argument("--meters", type=int, default=16)
    parser.add_argument("--fleet-readings", type=int, default=3000)
    parser.add_argument("--backlog", type=int, default=9000, help="readings spooled while the broker is away")
    parser.add_argument("--outage", type=float, default=None, help="seconds the broker is away (instead of --backlog)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip", default="", help="comma-separated: zero, fleet, drain")
    args = parser.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    program = os.path.abspath(os.path.join(args.build, "korvel"))
    env = dict(os.environ, KORVEL_SIM_LIBRARY=os.path.abspath(os.path.join(args.build, "libkorvel-x64-sim.so.1")))
    with tempfile.TemporaryDirectory() as folder:
        broker = Broker(folder)
        try:
            print(f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {os.cpu_count()} cores, load "
                  f"{os.getloadavg()[0]:.1f}")
            if "zero" not in skip:
                zero_latency(args, program, env, broker, folder)
            if "fleet" not in skip:
                fleet(args, program, env, broker, folder)
            if "drain" not in skip:
                drain(args, program, env, broker, folder)
        finally:
            broker.stop()


if __name__ == "__main__":
    main()
