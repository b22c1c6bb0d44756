"""korvel publish and korvel read left running on the simulated meter at
1 ms, with the broker restarted every 60 s, the meter pulled every 45 s and
the log rotated every 2 minutes (every minute in a run shorter than 4):
every reading accounted for, memory and descriptors flat.

KORVEL_SERVICE_SOAK_SECONDS sets the length (120 in CI; 600 by hand for
docs/reliability.md). The figures are printed (pytest -s shows them)."""

from __future__ import annotations

import json
import os
import signal
import statistics
import subprocess
import time
from collections import defaultdict
from pathlib import Path

from conftest import Subscriber

SECONDS = float(os.environ.get("KORVEL_SERVICE_SOAK_SECONDS", "120"))
BROKER_EVERY = 60
METER_EVERY = 45
ROTATE_EVERY = 120 if SECONDS >= 240 else 60


def sample(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    rss = int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmRSS:")))
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


def flat(samples, what):
    """The last quarter's median against the second quarter's (the first
    holds the warm-up): the growth, and a plain figure for the report."""
    quarter = max(1, len(samples) // 4)
    early = statistics.median(samples[quarter:2 * quarter])
    late = statistics.median(samples[-quarter:])
    return early, late


def test_publish_and_read_ride_out_broker_restarts_meter_pulls_and_rotation(broker, korvel_program, sim_env,
                                                                             tmp_path):
    url = f"mqtt://127.0.0.1:{broker.port}"
    subscriber = Subscriber(broker, tmp_path)
    env = dict(sim_env, XDG_STATE_HOME=str(tmp_path / "state"))
    pull = ["--unplug-every", str(METER_EVERY), "--replug-after", "1"]
    publisher = subprocess.Popen([korvel_program, "--simulate", *pull, "publish", "--broker", url, "--interval",
                                  "0.001", "--reconnect", "--spool", str(tmp_path / "spool")],
                                 stdout=subprocess.DEVNULL, stderr=open(tmp_path / "publish.err", "w"), env=env)
    log = tmp_path / "logs" / "field.jsonl"
    log.parent.mkdir()
    reader = subprocess.Popen([korvel_program, "--simulate", *pull, "read", "--continuous", "--reconnect",
                               "--interval", "0.001", "-o", str(log), "--rotate-time", str(ROTATE_EVERY)],
                              stdout=subprocess.DEVNULL, stderr=open(tmp_path / "read.err", "w"), env=env)
    samples = {"publish": [], "read": []}
    start = time.monotonic()
    next_restart = start + BROKER_EVERY
    restarts = 0
    try:
        while time.monotonic() - start < SECONDS:
            time.sleep(2)
            for name, process in (("publish", publisher), ("read", reader)):
                assert process.poll() is None, f"korvel {name} ended: " + (tmp_path / f"{name}.err").read_text()
                samples[name].append(sample(process.pid))
            if time.monotonic() >= next_restart:
                broker.stop()
                time.sleep(0.5)
                broker.start()
                restarts += 1
                next_restart += BROKER_EVERY
    finally:
        for process in (publisher, reader):
            process.send_signal(signal.SIGTERM)
        publisher.wait(timeout=90)
        reader.wait(timeout=30)
    publish_err = (tmp_path / "publish.err").read_text()
    read_err = (tmp_path / "read.err").read_text()
    assert publisher.returncode == 0, publish_err
    assert reader.returncode == 0, read_err

    # korvel read: the rows of every rotated file plus the gap records are
    # the whole run: as many readings as it says it took, one gap per pull.
    files = sorted(log.parent.iterdir())
    rows, gaps = 0, []
    for path in files:
        for line in path.read_text().splitlines():
            record = json.loads(line)
            if record.get("type") == "gap":
                gaps.append(record)
            elif record.get("type") != "meta":
                rows += 1
    taken = int(read_err.split(" readings in ")[0].split("\n")[-1])
    pulls = int(SECONDS // METER_EVERY)
    assert rows == taken, (rows, taken)
    assert len(gaps) in (pulls, pulls + 1) and len(files) >= int(SECONDS // ROTATE_EVERY), (len(gaps), files)

    # korvel publish: every number from 1 to the last at the subscriber,
    # each with one reading (one sent again after a reconnection is the
    # same record).
    published = int(publish_err.split(" readings taken")[0].split()[-1])
    readings = defaultdict(set)
    payloads = subscriber.wait_for(lambda got: False, timeout=120)  # until quiet for 3 s
    for payload in payloads:
        readings[json.loads(payload)["seq"]].add(payload)
    last = max(readings)
    gap_records = sum(1 for texts in readings.values() if '"type":"gap"' in next(iter(texts)))
    assert last == published + gap_records, (last, published, gap_records)
    missing = sorted(set(range(1, last + 1)) - set(readings))
    assert not missing, f"{len(missing)} missing, e.g. {missing[:5]}"
    assert all(len(texts) == 1 for texts in readings.values())
    twice = len(payloads) - len(readings)
    assert "lost the broker at" in publish_err and "connected to the broker at" in publish_err, publish_err

    figures = {}
    for name in samples:
        rss = flat([rss for rss, _ in samples[name]], "RSS")
        fds = flat([fds for _, fds in samples[name]], "fds")
        figures[name] = (rss, fds)
        assert rss[1] - rss[0] < 4096, f"korvel {name}: RSS grew from {rss[0]} to {rss[1]} KiB"
        assert fds[1] - fds[0] <= 2, f"korvel {name}: descriptors from {fds[0]} to {fds[1]}"
    report = []
    report.append(f"service soak {SECONDS:.0f} s: broker restarted {restarts} times, meter pulled every {METER_EVERY} s, "
          f"log rotated every {ROTATE_EVERY} s")
    report.append(f"  read: {rows} readings in {len(files)} files, {len(gaps)} gap records; RSS {figures['read'][0][0]:.0f} "
          f"-> {figures['read'][0][1]:.0f} KiB, fds {figures['read'][1][0]:.0f} -> {figures['read'][1][1]:.0f}")
    report.append(f"  publish: seq 1..{last} all received, {twice} delivered twice (same record); RSS "
          f"{figures['publish'][0][0]:.0f} -> {figures['publish'][0][1]:.0f} KiB, fds {figures['publish'][1][0]:.0f} "
          f"-> {figures['publish'][1][1]:.0f}")
    print("\n" + "\n".join(report))
    artifacts = Path(os.environ.get("KORVEL_ARTIFACTS", tmp_path))
    artifacts.mkdir(parents=True, exist_ok=True)
    (artifacts / "service-soak.txt").write_text("\n".join(report) + "\n")
