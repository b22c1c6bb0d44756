"""korvel as a service: the notify datagrams systemd would get (a unix
datagram socket the test binds and names in NOTIFY_SOCKET), config files,
and state kept out of the current folder."""
import os
import re
import socket
import subprocess
import time
from pathlib import Path

import pytest

KORVEL = os.environ.get("KORVEL_CLI", str(Path(__file__).resolve().parents[2] / "build" / "korvel"))


class FakeSystemd:
    """A notify socket, by path or by abstract name ('@...')."""

    def __init__(self, tmp_path, abstract=False):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            self.name = "@korvel-test-%d-%d" % (os.getpid(), time.monotonic_ns())
            self.sock.bind("\0" + self.name[1:])
        else:
            self.name = str(tmp_path / "notify")
            self.sock.bind(self.name)
        self.sock.settimeout(0.1)
        self.heard = []  # (seconds since start, message)
        self.start = time.monotonic()

    def listen(self, seconds, until=None):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                message = self.sock.recv(4096).decode()
            except socket.timeout:
                continue
            self.heard.append((time.monotonic() - self.start, message))
            if until and until(message):
                return

    def pings(self):
        return [t for t, m in self.heard if m == "WATCHDOG=1"]

    def statuses(self):
        return [m for _, m in self.heard if m != "WATCHDOG=1"]


def service_env(systemd, tmp_path, watchdog_usec=None):
    env = dict(os.environ, NOTIFY_SOCKET=systemd.name, XDG_STATE_HOME=str(tmp_path / "state"),
               XDG_CONFIG_HOME=str(tmp_path / "config"))
    if watchdog_usec:
        env["WATCHDOG_USEC"] = str(watchdog_usec)
    return env


def test_read_is_ready_pings_the_watchdog_and_a_stalled_exchange_stops_the_pings(tmp_path):
    systemd = FakeSystemd(tmp_path)
    # The watchdog is 0.6 s; one exchange hangs 3 s, 1.5 s into the run.
    process = subprocess.Popen([KORVEL, "--simulate", "--stall-after", "1.5", "read", "--continuous", "--interval",
                                "0.02", "-o", str(tmp_path / "field.csv")],
                               env=service_env(systemd, tmp_path, 600000), stderr=subprocess.PIPE, text=True)
    try:
        systemd.listen(6)
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    systemd.listen(0.3)
    assert process.returncode == 0, err
    statuses = systemd.statuses()
    assert statuses[0] == "READY=1\nSTATUS=meter KV0001: logging to %s" % (tmp_path / "field.csv"), statuses
    pings = systemd.pings()
    gaps = [b - a for a, b in zip(pings, pings[1:])]
    # Healthy: a ping at least every watchdog period; stalled: none for
    # longer than the watchdog, and pings again after it.
    before = [t for t in pings if t < 1.4]
    after = [t for t in pings if t > 4.8]
    assert len(before) >= 3 and len(after) >= 2, pings
    assert max(gaps) > 2.0, gaps
    assert sum(1 for g in gaps if g > 0.6) == 1, gaps
    assert statuses[-1] == "STOPPING=1"


def test_a_lost_meter_is_a_status_line_and_the_wait_still_pings(tmp_path):
    systemd = FakeSystemd(tmp_path, abstract=True)
    # Each look for the missing meter takes the library about 1.5 s; the
    # watchdog (4 s) must be longer than that.
    process = subprocess.Popen([KORVEL, "--simulate", "--unplug-after", "0.5", "--replug-after", "5", "read",
                                "--continuous", "--reconnect", "--interval", "0.05", "-q",
                                "-o", str(tmp_path / "field.csv")],
                               env=service_env(systemd, tmp_path, 4000000), stderr=subprocess.PIPE, text=True)
    try:
        systemd.listen(12, until=lambda m: m.startswith("STATUS=meter KV0001: logging") and len(systemd.heard) > 3)
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    statuses = systemd.statuses()
    assert "STATUS=meter KV0001 lost; waiting for it to come back" in statuses, statuses
    assert statuses[-1].startswith("STATUS=meter KV0001: logging"), statuses
    pings = systemd.pings()
    assert len([t for t in pings if 1.5 < t < 5.0]) >= 1, pings  # pings while waiting
    assert max(b - a for a, b in zip(pings, pings[1:])) < 4.0, pings  # never silent for a watchdog


def test_serve_is_ready_once_listening(tmp_path):
    systemd = FakeSystemd(tmp_path, abstract=True)
    process = subprocess.Popen([KORVEL, "--simulate", "serve", "--port", "0"],
                               env=service_env(systemd, tmp_path, 1000000), stderr=subprocess.PIPE, text=True)
    try:
        systemd.listen(10, until=lambda m: m == "WATCHDOG=1" and len(systemd.pings()) >= 2)
    finally:
        process.terminate()
        _, err = process.communicate(timeout=30)
    ready = [m for m in systemd.statuses() if m.startswith("READY=1")]
    assert len(ready) == 1 and re.search(r"STATUS=listening on 127\.0\.0\.1:\d+; meter connected", ready[0]), \
        systemd.statuses()
    assert systemd.statuses().index(ready[0]) == 0  # nothing before it
    assert len(systemd.pings()) >= 2


def test_outside_systemd_nothing_is_sent_and_nothing_is_in_the_current_folder(tmp_path):
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state"))
    env.pop("NOTIFY_SOCKET", None)
    work = tmp_path / "work"
    work.mkdir()
    started = time.monotonic()
    process = subprocess.Popen([KORVEL, "--simulate", "publish", "--broker", "mqtt://127.0.0.1:1", "--interval",
                                "0.05"], env=env, cwd=work, stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline() + process.stderr.readline()
    told = time.monotonic() - started
    spool = tmp_path / "state" / "korvel" / "spool"
    # The complaint about the broker can come before the first reading is kept (a slow sanitizer build):
    # stop only once the spool holds something, or after a bound.
    kept = spool / "KV0001.spool"
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and not (kept.exists() and kept.stat().st_size > 0):
        time.sleep(0.05)
    process.terminate()
    _, err = process.communicate(timeout=60)
    assert told < 1.0 and re.search(r"korvel: \d{4}-\d\d-\d\dT[\d:.]+Z cannot reach the broker at 127\.0\.0\.1:1 "
                                    r"\(Connection refused\); readings are kept in %s and sent when it is back"
                                    % re.escape(str(spool)), line), (told, line)
    assert list(work.iterdir()) == []
    assert kept.stat().st_size > 0, err


def test_an_old_spool_in_the_current_folder_is_reported_and_left(tmp_path):
    old = tmp_path / "korvel-spool"
    old.mkdir()
    (old / "KV0001.spool").write_text('{"seq":1,"tesla":0.01}\n{"seq":2,"tesla":0.01}\n')
    before = sorted((p.name, p.stat().st_size) for p in old.iterdir())
    env = dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state"))
    result = subprocess.run([KORVEL, "--simulate", "publish", "--broker", "mqtt://127.0.0.1:1", "-n", "1",
                             "--flush-timeout", "0"], env=env, cwd=tmp_path, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert "korvel: ./korvel-spool holds 2 unsent readings from an earlier run; left as it is (--spool " \
           "./korvel-spool sends them)" in result.stderr
    assert sorted((p.name, p.stat().st_size) for p in old.iterdir()) == before


def config_run(tmp_path, text, *args, name="korvel.conf"):
    path = tmp_path / name
    path.write_text(text)
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"), XDG_STATE_HOME=str(tmp_path / "state"))
    return subprocess.run([KORVEL, "--config", str(path), *args], env=env, capture_output=True, text=True,
                          timeout=30, cwd=tmp_path)


def test_a_config_file_gives_top_level_and_section_options_and_the_command_line_wins(tmp_path):
    text = 'simulate = true\nfield = 0.5\n\n[read]\ncount = 3\nformat = "csv"\n\n[publish]\nbroker = "mqtt://x"\n'
    result = config_run(tmp_path, text, "read")
    assert result.returncode == 0, result.stderr
    rows = [line for line in result.stdout.splitlines() if not line.startswith("#")]
    assert rows[0].startswith("timestamp,") and len(rows) == 4
    assert all(abs(float(row.split(",")[2]) - 0.5) < 0.01 for row in rows[1:])
    result = config_run(tmp_path, text, "read", "-n", "1", "--format", "jsonl")
    assert result.returncode == 0 and result.stdout.count("\n") == 2  # meta + one reading
    # --print-config writes what a file would say, and reads back the same.
    printed = config_run(tmp_path, text, "read", "--interval", "0.25", "--print-config")
    assert printed.returncode == 0, printed.stderr
    assert re.search(r"^simulate = true$", printed.stdout, re.M)
    section = printed.stdout.split("[read]\n")[1]
    assert "count = 3\n" in section and "interval = 0.25\n" in section and 'format = "csv"\n' in section
    again = config_run(tmp_path, printed.stdout, "read", "--print-config", name="again.conf")
    assert again.stdout.split("\n", 1)[1] == printed.stdout.split("\n", 1)[1]


def test_the_default_config_file_is_read_from_the_user_config_folder(tmp_path):
    folder = tmp_path / "config" / "korvel"
    folder.mkdir(parents=True)
    (folder / "korvel.conf").write_text("simulate = true\n[read]\ncount = 2\n")
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"))
    result = subprocess.run([KORVEL, "read", "-q"], env=env, capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n") == 2


@pytest.mark.parametrize("text, says", [
    ("simulate = true\n[read]\nintervall = 1\n", "[read] intervall is not an option of korvel read; did you mean "
                                                  "interval?"),
    ('simulate = true\n[read]\ninterval = "soon"\n', "[read] interval: --interval must be a number of seconds"),
    ("simulat = true\n", "simulat is not an option of korvel; did you mean simulate?"),
    ("[reed]\ncount = 1\n", "section [reed] is not a korvel command"),
    ("[serve]\nport = 70000\n", "[serve] port: --port"),
])
def test_a_bad_key_or_value_names_the_file_and_the_key(tmp_path, text, says):
    result = config_run(tmp_path, text, "read")
    assert result.returncode == 2
    assert result.stderr.startswith("korvel: %s: %s" % (tmp_path / "korvel.conf", says)), result.stderr

