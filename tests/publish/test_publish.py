"""korvel publish against a real Mosquitto: three publishers standing for
three hosts through a broker restart with nothing lost, wrong credentials,
TLS with certificates made here, the last will, and the spool's bound."""

from __future__ import annotations

import csv
import json
from datetime import datetime
import random
import signal
import subprocess
import sys
import time

import pytest

from conftest import REPOSITORY, Broker, Subscriber, free_port

CONSUMER = REPOSITORY / "examples" / "mqtt_consumer.py"


def publish(program, env, broker_url, *options, **keywords):
    return subprocess.Popen([program, "--simulate", "publish", "--broker", broker_url, *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, **keywords)


def collect(broker, tmp_path, idle=15):
    """The example consumer, subscribed before anything is published."""
    out = tmp_path / "readings"
    consumer = subprocess.Popen([sys.executable, str(CONSUMER), "--port", str(broker.port), "--out", str(out),
                                 "--idle", str(idle)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The consumer says when the broker holds its subscription (with a session the broker keeps); a fixed
    # wait was too short on a loaded machine, and the first readings went unseen.
    line = consumer.stderr.readline()
    assert line.startswith("subscribed to "), line + consumer.stderr.read()
    return consumer, out


def seqs_of(out, serial):
    with open(out / f"{serial}.csv", newline="") as file:
        rows = list(csv.DictReader(file))
    assert all(float(row["tesla"]) == pytest.approx(0.0125, abs=5e-4) for row in rows)
    return sorted(int(row["seq"]) for row in rows)


def three_publishers(korvel_program, sim_env, broker, tmp_path, count):
    url = f"mqtt://127.0.0.1:{broker.port}"
    return [publish(korvel_program, sim_env, url, "--meters", "3", "--meter", f"KV000{n}", "-n", str(count),
                    "--interval", "0.02", "--spool", str(tmp_path / f"spool{n}")) for n in (1, 2, 3)]


def finish(publishers, count):
    for process in publishers:
        _, err = process.communicate(timeout=120)
        assert process.returncode == 0, err
        assert f"{count} readings taken" in err


def test_three_hosts_publishing_while_the_broker_is_down_lose_nothing(brokers, korvel_program, sim_env, tmp_path):
    """Started while the broker is away, three publishers keep every reading
    in their spools and deliver all of them, in order, once it is back."""
    broker = brokers()
    consumer, out = collect(broker, tmp_path)
    broker.stop()
    publishers = three_publishers(korvel_program, sim_env, broker, tmp_path, 100)
    time.sleep(3)  # every reading is taken meanwhile, into the spools
    broker.start()
    finish(publishers, 100)
    summary, errors = consumer.communicate(timeout=120)
    for serial in ("KV0001", "KV0002", "KV0003"):
        assert seqs_of(out, serial) == list(range(1, 101)), summary + errors


def test_three_hosts_through_a_broker_restart(broker, korvel_program, sim_env, tmp_path):
    """The broker restarts mid-run: every reading arrives. A Mosquitto whose
    persistence really writes loses no acknowledged message when stopped, so
    anything missing is the publisher's fault; the broker's log must show
    that it could write its persistence file."""
    consumer, out = collect(broker, tmp_path)
    publishers = three_publishers(korvel_program, sim_env, broker, tmp_path, 150)
    time.sleep(1.2)
    broker.stop()
    assert (broker.folder / "mosquitto.db").exists(), "the broker saved nothing"
    time.sleep(3)  # the publishers spool meanwhile
    broker.start()
    finish(publishers, 150)
    summary, errors = consumer.communicate(timeout=120)
    for serial in ("KV0001", "KV0002", "KV0003"):
        assert seqs_of(out, serial) == list(range(1, 151)), summary + errors
    assert broker.errors() == []


def test_reconnect_waits_for_the_same_meter_and_goes_on(broker, korvel_program, sim_env, tmp_path):
    received = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-t", "korvel/KV0001/reading",
                                 "-C", "41", "-W", "60"], stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    process = subprocess.Popen([korvel_program, "--simulate", "--unplug-after", "0.5", "--replug-after", "1",
                                "publish", "--broker", f"mqtt://127.0.0.1:{broker.port}", "-n", "40",
                                "--interval", "0.05", "--units", "T", "--reconnect", "--spool", str(tmp_path / "spool")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim_env)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    assert "waiting for it" in err and "is back" in err, err
    records = [json.loads(line) for line in received.communicate(timeout=60)[0].splitlines()]
    # 40 readings and the outage as one gap record, each under its own number.
    assert [record["seq"] for record in records] == list(range(1, 42))
    gaps = [record for record in records if record.get("type") == "gap"]
    readings = [record for record in records if "type" not in record]
    assert len(gaps) == 1 and len(readings) == 40 and gaps[0]["serial"] == "KV0001"
    assert {record["units"] for record in readings} == {"T"}  # the run's units throughout
    assert {record["serial"] for record in readings} == {"KV0001"}
    # One clock: stamped when asked for, elapsed from the first; the pace kept after the gap (no burst).
    stamps = [datetime.fromisoformat(r["timestamp"].replace("Z", "+00:00")) for r in readings]
    assert readings[0]["elapsed_s"] == 0
    assert all(abs((t - stamps[0]).total_seconds() - r["elapsed_s"]) < 2e-6 for t, r in zip(stamps, readings))
    # A burst would put three readings within one interval; a late reading on a busy machine puts two
    # close together at most.
    spans = [(c - a).total_seconds() for a, c in zip(stamps, stamps[2:])]
    assert min(spans) >= 0.05 - 1e-3, spans


def test_wrong_password_is_a_clear_error(brokers, korvel_program, sim_env, tmp_path):
    passwords = tmp_path / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(passwords), "bench3", "right"], check=True)
    broker = brokers("secured", f"allow_anonymous false\npassword_file {passwords}\n")
    wrong = tmp_path / "wrong"
    wrong.write_text("not-it\n")
    process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", "--username", "bench3",
                      "--password-file", str(wrong), "-n", "3", "--spool", str(tmp_path / "spool"))
    _, err = process.communicate(timeout=60)
    assert process.returncode == 1
    assert "refused" in err and "--password-file" in err, err
    right = tmp_path / "right"
    right.write_text("right\n")
    process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", "--username", "bench3",
                      "--password-file", str(right), "-n", "3", "--spool", str(tmp_path / "spool"))
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err


def test_tls_with_a_certificate_made_here(brokers, korvel_program, sim_env, tmp_path):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=tmp_path)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=korvel test CA")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1")
    (tmp_path / "san.cnf").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "san.cnf")
    broker = brokers("tls", f"allow_anonymous true\ncafile {tmp_path}/ca.pem\ncertfile {tmp_path}/server.pem\n"
                            f"keyfile {tmp_path}/server.key\n")
    received = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "--cafile", str(tmp_path / "ca.pem"),
                                 "-h", "127.0.0.1", "-t", "korvel/KV0001/reading", "-C", "5", "-W", "30"],
                                stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    process = publish(korvel_program, sim_env, f"mqtts://127.0.0.1:{broker.port}", "--cafile",
                      str(tmp_path / "ca.pem"), "-n", "5", "--interval", "0.05", "--spool", str(tmp_path / "spool"))
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    lines = received.communicate(timeout=60)[0].splitlines()
    assert [json.loads(line)["seq"] for line in lines] == [1, 2, 3, 4, 5]


def test_a_killed_publisher_is_marked_offline_by_its_last_will(broker, korvel_program, sim_env, tmp_path):
    process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", "--interval", "0.1",
                      "--units", "T", "--range", "auto", "--spool", str(tmp_path / "spool"))
    deadline = time.monotonic() + 20
    while broker.retained("korvel/KV0001/status") != "online":
        assert time.monotonic() < deadline, "never online"
        time.sleep(0.2)
    # The logs' meta record, with the settings the meter took for the run.
    meta = json.loads(broker.retained("korvel/KV0001/meta"))
    assert (meta["type"], meta["serial"], meta["units"], meta["auto_range"]) == ("meta", "KV0001", "T", True)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=10)
    deadline = time.monotonic() + 20
    while broker.retained("korvel/KV0001/status") != "offline":
        assert time.monotonic() < deadline, "the last will never came"
        time.sleep(0.2)


def test_a_full_spool_drops_the_oldest_and_says_so(brokers, korvel_program, sim_env, tmp_path):
    port = free_port()  # no broker there yet
    spool = tmp_path / "spool"
    process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{port}", "-n", "40", "--interval", "0.01",
                      "--spool-max", "2000", "--flush-timeout", "0", "--spool", str(spool))
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    assert "dropping the oldest" in err and "dropped by the full spool" in err and "left in" in err, err
    # The next run, with a broker: the spooled readings first, in order;
    # the counts they carry add up to the numbers that are missing.
    broker = Broker(tmp_path / "late", port=port)
    try:
        subscriber = Subscriber(broker, tmp_path)
        process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{port}", "-n", "1", "--spool", str(spool))
        _, err = process.communicate(timeout=60)
        assert process.returncode == 0, err
        records = [json.loads(line) for line in subscriber.wait_for(lambda got: '"seq":41,' in "".join(got[-3:]))]
        seqs = [record["seq"] for record in records]
        assert seqs == sorted(seqs) and seqs[0] > 1 and seqs[-1] == 41
        assert sum(record.get("dropped", 0) for record in records) == 41 - len(seqs)
    finally:
        broker.stop()


def test_a_second_publisher_on_one_spool_is_refused(korvel_program, sim_env, tmp_path):
    """Two publishers on one spool would number readings twice and tear its
    lines: the second one refuses to start and names the first."""
    url = f"mqtt://127.0.0.1:{free_port()}"  # no broker needed
    first = publish(korvel_program, sim_env, url, "--interval", "0.01", "--flush-timeout", "0",
                    "--spool", str(tmp_path / "spool"))
    lock = tmp_path / "spool" / "KV0001.lock"
    deadline = time.monotonic() + 20
    while not (lock.exists() and lock.read_text().strip()):
        assert time.monotonic() < deadline, "the first publisher never took the spool"
        time.sleep(0.05)
    second = publish(korvel_program, sim_env, url, "-n", "5", "--spool", str(tmp_path / "spool"))
    _, err = second.communicate(timeout=60)
    assert second.returncode == 1
    assert f"in use by another korvel publish (pid {first.pid})" in err, err
    first.send_signal(signal.SIGTERM)
    _, err = first.communicate(timeout=60)
    assert first.returncode == 0, err


def test_a_damaged_spool_keeps_its_good_records_and_publishes_only_whole_ones(broker, korvel_program, sim_env,
                                                                              tmp_path):
    spool = tmp_path / "spool"
    nowhere = f"mqtt://127.0.0.1:{free_port()}"
    process = publish(korvel_program, sim_env, nowhere, "-n", "100", "--interval", "0", "--flush-timeout", "0",
                      "--spool", str(spool))
    assert process.communicate(timeout=60)[1] and process.returncode == 0
    lines = (spool / "KV0001.spool").read_bytes().splitlines(keepends=True)
    assert len(lines) == 100
    noise = bytes(random.Random(21).getrandbits(8) for _ in range(300)).replace(b"{", b"(") + b"\n"
    (spool / "KV0001.spool").write_bytes(b"".join(lines[:30]) + b"x" * 5000 + b"\n" + b"".join(lines[30:60]) +
                                         noise + b"".join(lines[60:]))
    subscriber = Subscriber(broker, tmp_path)
    process = publish(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", "-n", "5", "--interval", "0",
                      "--spool", str(spool))
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    damaged = 1 + noise.count(b"\n")
    assert f"set {damaged} damaged lines" in err, err
    payloads = subscriber.wait_for(lambda got: len(got) >= 105)
    assert sorted(json.loads(payload)["seq"] for payload in payloads) == list(range(1, 106))
    assert (spool / "KV0001.bad").stat().st_size == 5001 + len(noise)


def test_dropped_counts_only_readings_that_never_reached_the_broker(broker, korvel_program, sim_env, tmp_path):
    """The broker freezes while a small spool overflows: readings already on
    their way when the spool let them go still reach it once it thaws, and
    must not be counted as dropped."""
    subscriber = Subscriber(broker, tmp_path)
    process = subprocess.Popen([korvel_program, "--simulate", "--latency", "0", "publish", "--broker",
                                f"mqtt://127.0.0.1:{broker.port}", "-n", "1500", "--interval", "0.002",
                                "--spool-max", "4000", "--spool", str(tmp_path / "spool")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim_env)
    time.sleep(0.8)
    broker.process.send_signal(signal.SIGSTOP)
    time.sleep(1.5)
    broker.process.send_signal(signal.SIGCONT)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    payloads = subscriber.wait_for(lambda got: '"seq":1500,' in "".join(got[-5:]))
    records = {record["seq"]: record for record in map(json.loads, payloads)}  # each once
    seqs = set(records)
    missing = set(range(1, 1501)) - seqs
    assert max(seqs) == 1500 and missing, err
    assert sum(record.get("dropped", 0) for record in records.values()) == len(missing)


@pytest.mark.parametrize("field", ["1.5", "-1.5"])
def test_over_range_readings_say_so_in_the_payload(broker, korvel_program, sim_env, tmp_path, field):
    received = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-t", "korvel/KV0001/reading",
                                 "-C", "2", "-W", "30"], stdout=subprocess.PIPE, text=True)
    time.sleep(0.5)
    process = subprocess.Popen([korvel_program, "--simulate", "--field", field, "publish", "--broker",
                                f"mqtt://127.0.0.1:{broker.port}", "-n", "2", "--interval", "0", "--range", "0",
                                "--spool", str(tmp_path / "spool")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim_env)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    records = [json.loads(line) for line in received.communicate(timeout=60)[0].splitlines()]
    assert [r["over_range"] for r in records] == [True, True]
    assert all(abs(r["counts"]) >= 32767 and r["serial"] == "KV0001" for r in records)


def test_one_process_publishes_three_meters_through_a_broker_restart(broker, korvel_program, sim_env, tmp_path):
    """publish --all: one process and one connection for three meters, each
    with its own spool, numbers and topics. The broker restarts mid-run and
    every number of every meter arrives once; a clean stop leaves every
    status offline, and each meter names the connection's status topic."""
    consumer, out = collect(broker, tmp_path, idle=10)  # longer than the outage and the backoff
    process = subprocess.Popen([korvel_program, "--simulate", "--meters", "3", "publish", "--all", "--broker",
                                f"mqtt://127.0.0.1:{broker.port}", "-n", "150", "--interval", "0.02",
                                "--spool", str(tmp_path / "spool")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim_env)
    time.sleep(1.2)
    broker.stop()
    time.sleep(3)  # the meters spool meanwhile
    broker.start()
    _, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    summary, errors = consumer.communicate(timeout=120)
    for serial in ("KV0001", "KV0002", "KV0003"):
        assert f"{serial}: 150 readings taken" in err, err
        assert seqs_of(out, serial) == list(range(1, 151)), summary + errors
        assert sorted(path.name for path in (tmp_path / "spool").glob(f"{serial}.*")) == \
            [f"{serial}.lock", f"{serial}.spool", f"{serial}.state"]
        assert broker.retained(f"korvel/{serial}/status") == "offline"
        assert broker.retained(f"korvel/{serial}/publisher") == "korvel/publisher/korvel-KV0001/status"
    assert broker.retained("korvel/publisher/korvel-KV0001/status") == "offline"
    assert broker.errors() == []


def test_a_killed_fleet_publisher_is_marked_offline_by_its_last_will(broker, korvel_program, sim_env, tmp_path):
    process = subprocess.Popen([korvel_program, "--simulate", "--meters", "2", "publish", "--meter", "KV0002",
                                "--meter", "KV0001", "--broker", f"mqtt://127.0.0.1:{broker.port}", "--interval",
                                "0.1", "--spool", str(tmp_path / "spool")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim_env)
    will = "korvel/publisher/korvel-KV0002/status"  # the client id follows the first meter given
    deadline = time.monotonic() + 20
    while broker.retained(will) != "online" or broker.retained("korvel/KV0001/status") != "online":
        assert time.monotonic() < deadline, "never online"
        time.sleep(0.2)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=10)
    deadline = time.monotonic() + 20
    while broker.retained(will) != "offline":
        assert time.monotonic() < deadline, "the last will never came"
        time.sleep(0.2)
    assert broker.retained("korvel/KV0001/publisher") == will


def test_all_and_meter_together_are_refused(korvel_program, sim_env, tmp_path):
    done = subprocess.run([korvel_program, "--simulate", "--meters", "2", "publish", "--all", "--meter", "KV0001",
                           "--broker", "mqtt://127.0.0.1:1", "--spool", str(tmp_path / "spool")],
                          capture_output=True, text=True, env=sim_env, timeout=30)
    assert done.returncode == 2 and "--all" in done.stderr, done.stderr
