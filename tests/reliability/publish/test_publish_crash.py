"""The publisher's numbering through kill -9, lost or damaged state files
and a full disk: a QoS 1 subscriber with a kept session must never see one
sequence number with two different readings, and must see every number."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time
from collections import defaultdict

import pytest

from conftest import Subscriber, free_port


def start(program, env, url, spool, *options, interval="0.002"):
    return subprocess.Popen([program, "--simulate", "--latency", "0", "publish", "--broker", url,
                             "--interval", interval, "--spool", str(spool), *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def kill_after(process, seconds):
    time.sleep(seconds)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=10)


def check_numbering(payloads, last):
    """Each number once with one reading, and all of 1..last."""
    readings = defaultdict(set)
    for payload in payloads:
        readings[json.loads(payload)["seq"]].add(payload)
    reused = {seq: texts for seq, texts in readings.items() if len(texts) > 1}
    assert not reused, f"{len(reused)} numbers carried two readings, e.g. {next(iter(reused.items()))}"
    assert sorted(readings) == list(range(1, last + 1))


def test_kill_9_and_lost_or_damaged_states_never_reuse_a_number(broker, korvel_program, sim_env, tmp_path):
    url = f"mqtt://127.0.0.1:{broker.port}"
    spool = tmp_path / "spool"
    state = spool / "KV0001.state"
    subscriber = Subscriber(broker, tmp_path)
    # Killed mid-run, each time with the state file as a crash or a person may leave it.
    for damage in ("kept", "missing", "empty", "random"):
        kill_after(start(korvel_program, sim_env, url, spool), 1.0)
        if damage == "missing":
            state.unlink()
        elif damage == "empty":
            state.write_bytes(b"")
        elif damage == "random":
            state.write_bytes(os.urandom(64))
    process = start(korvel_program, sim_env, url, spool, "-n", "100")
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    last = int(next(line for line in reversed((spool / "KV0001.spool").read_text().splitlines()))
               .split(",")[0].split(":")[1])
    check_numbering(subscriber.wait_for(lambda got: f'"seq":{last},' in "".join(got[-50:])), last)
    assert "state file" in err and "rebuilt from the spool" in err, err  # the random one was said
    assert broker.errors() == []


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KiB tmpfs, mounted by the test (root only)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here ({done.stderr.strip()}): the full-disk case needs root")
    yield disk
    subprocess.run(["umount", str(disk)], check=False)


def test_a_full_disk_ends_the_run_with_a_sentence_and_the_next_goes_on(broker, korvel_program, sim_env, tmp_path,
                                                                        small_disk):
    nowhere = f"mqtt://127.0.0.1:{free_port()}"  # everything stays in the spool
    process = start(korvel_program, sim_env, nowhere, small_disk, "--flush-timeout", "0", interval="0")
    _, err = process.communicate(timeout=60)
    assert process.returncode == 1, err
    assert "No space left on device" in err and "terminate" not in err, err
    spooled = len((small_disk / "KV0001.spool").read_bytes().splitlines())
    assert spooled > 100
    state = (small_disk / "KV0001.state").read_text()
    assert f"next_seq {spooled + 1:019d}" in state, state  # saved as the run ended
    # Room again: the next run sends what was spooled and goes on from there.
    subprocess.run(["mount", "-o", "remount,size=4m", str(small_disk)], check=True)
    subscriber = Subscriber(broker, tmp_path)
    process = start(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", small_disk, "-n", "20")
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    last = spooled + 20
    check_numbering(subscriber.wait_for(lambda got: f'"seq":{last},' in "".join(got[-20:])), last)


def test_a_state_file_that_cannot_be_written_is_a_sentence(broker, korvel_program, sim_env, tmp_path):
    (tmp_path / "spool" / "KV0001.state").mkdir(parents=True)
    process = start(korvel_program, sim_env, f"mqtt://127.0.0.1:{broker.port}", tmp_path / "spool", "-n", "300")
    _, err = process.communicate(timeout=60)
    assert process.returncode == 1 and "terminate" not in err, err
    assert "KV0001.state" in err and "Is a directory" in err, err
