"""The korvel program driven as a user drives it, against the simulated meter.

KORVEL_CLI names the built program (CTest passes it); the simulated library is
found next to it, as it is in the build folder.
"""
import csv
import fcntl
import io
import json
import math
import os
import pty
import re
import select
import signal
import subprocess
import termios
import time
from datetime import datetime
from pathlib import Path

import pytest

KORVEL = os.environ.get("KORVEL_CLI", str(Path(__file__).resolve().parents[2] / "build" / "korvel"))
BUILD = Path(KORVEL).parent
SIM_LIBRARY = str(BUILD / "libkorvel-x64-sim.so.1")
REAL_LIBRARY = os.environ.get("KORVEL_CLI_REAL_LIBRARY", str(BUILD / "libkorvel-x64.so.1"))

# "A" is kA/m, "Am" A/m (mu0 = 4 pi 1e-7 T m/A).
TESLA_PER_UNIT = {"G": 1e-4, "T": 1.0, "A": 4e-4 * math.pi, "Am": 4e-7 * math.pi}


def run(*args, stdin="", timeout=30, cwd=None):
    return subprocess.run([KORVEL, *args], input=stdin, capture_output=True, text=True, timeout=timeout,
                          cwd=cwd)


def sim(*args, **kwargs):
    return run("--simulate", *args, **kwargs)


def tesla_of_text(text):
    """The meter's text (e.g. '  120G', '0.01234T', '1234000Am') in tesla."""
    match = re.fullmatch(r"\s*(-?\d+(?:\.\d+)?)(G|T|Am|A)", text)
    assert match, f"not a reading: {text!r}"
    return float(match.group(1)) * TESLA_PER_UNIT[match.group(2)]


def timestamp(text):
    assert text.endswith("Z"), text
    return datetime.fromisoformat(text[:-1] + "+00:00")


def summary_count(stderr):
    if re.search(r"^1 reading$", stderr, re.M):  # one reading: no time, no rate
        return 1
    match = re.search(r"^(\d+) readings in [\d.]+ s \([\d.]+ readings/s\)$", stderr, re.M)
    assert match, stderr
    return int(match.group(1))


def csv_rows(text):
    """The records of a CSV log (its '#' lines set aside)."""
    return list(csv.DictReader(line for line in io.StringIO(text) if not line.startswith("#")))


def csv_meta(text):
    """The '# key: value' lines of a CSV log (the first of each key)."""
    meta = {}
    for line in text.splitlines():
        if line.startswith("# "):
            key, _, value = line[2:].partition(": ")
            meta.setdefault(key, value)
    return meta


def jsonl_records(text):
    """The reading records of a JSON-lines log (meta and gap records set aside)."""
    return [r for r in map(json.loads, text.splitlines()) if "type" not in r]


def check_records(rows):
    """Timestamps increase, elapsed time agrees with them, tesla agrees with the text."""
    assert rows
    first = timestamp(rows[0]["timestamp"])
    assert float(rows[0]["elapsed_s"]) == 0.0
    previous = None
    for row in rows:
        stamp = timestamp(row["timestamp"])
        elapsed = float(row["elapsed_s"])
        assert abs((stamp - first).total_seconds() - elapsed) < 2e-6
        if previous is not None:
            assert stamp > previous
        previous = stamp
        assert float(row["tesla"]) == pytest.approx(tesla_of_text(row["text"]), rel=1e-6, abs=1e-12)
        assert row["units"] in ("G", "T", "A/m")
        assert row["acdc"] in ("DC", "AC")
        assert int(row["range"]) in (0, 1, 2)


# ------------------------------------------------------------ program basics

def test_version_and_help_and_the_exit_codes_in_the_man_page():
    version = run("--version")
    assert version.returncode == 0
    assert re.fullmatch(r"korvel \d+\.\d+\.\d+\n", version.stdout)
    top = run("--help")
    assert top.returncode == 0
    assert "man korvel" in top.stdout
    for name in ("info", "read", "scpi", "console", "eeprom", "list", "selftest", "help"):
        assert re.search(rf"^\s+{name}\b", top.stdout, re.M), name
    page = run("help", "--man").stdout
    status = page.split(".SH EXIT STATUS\n", 1)[1].split(".SH ", 1)[0]
    for code, words in (("0", "Success"), ("1", "The meter answered with an error"), ("2", "Usage error"),
                        ("3", "No meter found")):
        assert f".B {code}\n{words}" in status.replace("\\-", "-"), code


@pytest.mark.parametrize("command", [["info"], ["read"], ["scpi"], ["console"], ["eeprom"], ["list"],
                                     ["selftest"], ["eeprom", "dump"], ["eeprom", "verify"],
                                     ["eeprom", "restore"]])
def test_every_subcommand_has_help_that_names_its_man_page_with_examples(command):
    result = run(*command, "--help")
    assert result.returncode == 0, result.stderr
    assert f"man korvel-{command[0]}" in result.stdout
    assert "--simulate" in result.stdout and "--meter" in result.stdout
    assert "\n.SH EXAMPLES\n" in run("help", "--man", command[0]).stdout


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate"],
    ["--simulate", "read", "--format", "xml"],
    ["--simulate", "read", "-n", "0"],
    ["--simulate", "read", "-n", "ten"],
    ["--simulate", "read", "--interval", "-1"],
    ["--simulate", "--meters", "17", "info"],
    ["--simulate", "--field", "11", "info"],
    ["--field", "0.1", "info"],              # simulator options need --simulate
    ["--unplug-after", "1", "read"],
    ["--scale", "5", "read"],
    ["--simulate", "--scale", "256", "info"],
    ["eeprom"],
    ["--simulate", "eeprom", "dump"],        # -o is required
    ["eeprom", "restore", "backup.bin"],      # no --yes: refused before anything is touched
    ["--simulate", "eeprom", "dump", "-o", "x.bin", "--start", "0x"],
    ["--simulate", "eeprom", "dump", "-o", "x.bin", "--start", "-4"],
    ["--simulate", "eeprom", "dump", "-o", "x.bin", "--start", "100000"],
    ["--simulate", "eeprom", "dump", "-o", "x.bin", "--length", "0"],
    ["--simulate", "--library", REAL_LIBRARY, "info"],  # not the simulated library
], ids=lambda a: " ".join(a) or "nothing")
def test_usage_errors_exit_2(args, tmp_path):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2, (result.stdout, result.stderr)
    assert result.stderr.startswith("korvel: ")
    assert result.stdout == ""
    assert list(tmp_path.iterdir()) == []


def test_restore_without_yes_says_what_is_at_stake(tmp_path):
    result = run("eeprom", "restore", str(tmp_path / "backup.bin"))
    assert result.returncode == 2
    assert "calibration" in result.stderr and "--yes" in result.stderr


@pytest.mark.parametrize("args, says", [
    (["--simulate", "--meters", "0", "info"], "the simulated bus is empty"),
    (["--simulate", "--meters", "0", "read"], "the simulated bus is empty"),
    (["--simulate", "--meters", "0", "list"], "the simulated bus is empty"),
    (["--simulate", "--meters", "2", "--meter", "KV0009", "info"], "no meter with serial number KV0009 "
                                                                   "(found: KV0001, KV0002)"),
    (["info"], "no meter found"),  # the real library, and no meter on this machine's USB
])
def test_no_meter_exits_3_with_advice(args, says):
    result = run(*args)
    assert result.returncode == 3, (result.stdout, result.stderr)
    assert says in result.stderr
    assert result.stdout == ""


def test_a_missing_library_is_named_with_the_places_tried(tmp_path):
    result = run("--library", str(tmp_path / "nowhere.so"), "info")
    assert result.returncode == 1
    assert "cannot load" in result.stderr and "nowhere.so" in result.stderr


def test_a_library_that_is_not_korvel_is_refused():
    import ctypes.util
    other = ctypes.util.find_library("m")  # the C maths library: loads, but is no meter library
    result = run("--library", other, "info")
    assert result.returncode == 1
    assert "not a Korvel library" in result.stderr and "openKorvel" in result.stderr


def test_library_option_loads_that_build():
    result = run("--library", SIM_LIBRARY, "info")
    assert result.returncode == 0, result.stderr
    assert re.search(r"^library\s+.*libkorvel-x64-sim\.so\.1 \(simulated meter\)$", result.stdout, re.M)


# ----------------------------------------------------------------- info, list

def test_info_shows_identity_settings_reading_and_queue():
    result = sim("info")
    assert result.returncode == 0, result.stderr
    info = dict(re.match(r"(\S+(?: \S+)?)\s{2,}(.*)", line).groups()
                for line in result.stdout.splitlines() if not line.startswith(" "))
    assert info["meter"].startswith("KORVEL,KV-100,KV0001,")
    assert info["probe"]
    assert info["units"] == "DC GAUSS"
    assert info["range"] in ("0", "1", "2")
    assert info["auto-range"] in ("on", "off")
    assert info["hold"] == "0 (off)" and info["relative"] == "0 (off)"
    text, tesla = re.fullmatch(r"(\S+)  \((\S+) T\)", info["reading"]).groups()
    assert float(tesla) == pytest.approx(tesla_of_text(text), rel=1e-6)
    assert float(tesla) == pytest.approx(0.0125, abs=0.001)  # the default field
    assert re.fullmatch(r"\d{3}( \(.*\))?", info["status byte"])
    assert info["errors"] == "none"


def test_field_option_sets_the_simulated_field():
    result = sim("--field", "0.2", "read", "-n", "3", "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    for record in jsonl_records(result.stdout):
        assert record["tesla"] == pytest.approx(0.2, rel=0.02)


def test_list_shows_every_meter_and_meter_picks_one():
    listed = sim("--meters", "3", "list")
    assert listed.returncode == 0, listed.stderr
    lines = listed.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["KV0001", "KV0002", "KV0003"]
    assert all("probe:" in line for line in lines)
    one = sim("--meters", "3", "--meter", "kv0002", "list")
    assert one.returncode == 0 and one.stdout.split()[0] == "KV0002" and len(one.stdout.splitlines()) == 1
    info = sim("--meters", "3", "info", "--meter", "KV0003")  # options after the subcommand too
    assert info.returncode == 0, info.stderr
    assert re.search(r"^meter\s+KORVEL,KV-100,KV0003,", info.stdout, re.M)


# ----------------------------------------------------------------- scpi, console

def test_scpi_prints_one_line_per_reply_and_settings_stick():
    result = sim("scpi", "*IDN?", ":UNIT:FLUX:DC:TESL", ":UNIT:FLUX?",
                 ":SENS:FLUX:RANG 1;:SENS:FLUX:RANG?", "*ESE 32;*ESE?")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("KORVEL,KV-100,KV0001,")
    assert lines[1:] == ["DC TESLA", "1", "032"]  # the unit setting has no reply: no line


def test_scpi_reads_a_script_from_standard_input():
    script = "# units first\r\n:unit:flux:dc:gaus\r\n\n   \n:sens:flux:rang 2\n:meas:flux?\n:unit:flux?\n"
    result = sim("scpi", stdin=script)
    assert result.returncode == 0, result.stderr
    reading, units = result.stdout.splitlines()
    assert re.fullmatch(r"\s*-?\d+G", reading)  # range 2: tens of gauss
    assert units == "DC GAUSS"


def test_scpi_error_replies_exit_1_after_running_every_line():
    result = sim("scpi", "foo", ":SENS:FLUX:RANG 7", "*IDN?")
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    assert lines[:2] == ["Unknown Cmd: FOO", "Error: [0-2]"]
    assert lines[2].startswith("KORVEL,")
    assert "2 of 3 lines got an error reply" in result.stderr


def test_scpi_on_a_pipe_answers_each_line_as_it_comes_and_stops_when_the_meter_is_lost():
    process = subprocess.Popen([KORVEL, "--simulate", "--unplug-after", "1", "scpi"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        process.stdin.write("*IDN?\n")
        process.stdin.flush()
        assert process.stdout.readline().startswith("KORVEL,")  # answered before the input ends
        time.sleep(1.5)
        process.stdin.write("*IDN?\n*ESE 1\n*ESE?\n")
        process.stdin.close()
        out = process.stdout.read()
        err = process.stderr.read()
        assert process.wait(timeout=10) == 1
    finally:
        process.kill()
    assert out == "USB Connection Problem\n"
    assert "connection to the meter was lost" in err


def test_console_on_a_pipe_has_no_prompt_and_knows_help_and_quit():
    result = sim("console", stdin="*IDN?\nhelp\nquit\n*IDN?\n")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("KORVEL,")
    assert any(line.strip().startswith(":MEAS:FLUX?") for line in lines)
    assert sum(line.startswith("KORVEL,") for line in lines) == 1  # nothing after quit
    assert "korvel>" not in result.stdout


class Terminal:
    """korvel on a pseudo-terminal, as a person at a keyboard sees it."""

    def __init__(self, args, home):
        self.master, slave = pty.openpty()
        env = {**os.environ, "HOME": str(home), "TERM": "xterm"}
        # Its own session with this terminal as the controlling one, so Ctrl-C
        # typed here reaches it as it would at a real terminal.
        self.process = subprocess.Popen([KORVEL, *args], stdin=slave, stdout=slave, stderr=slave, env=env,
                                        close_fds=True, start_new_session=True,
                                        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.seen = ""

    def expect(self, pattern, timeout=10):
        deadline = time.monotonic() + timeout
        while not re.search(pattern, self.seen):
            left = deadline - time.monotonic()
            assert left > 0, f"no {pattern!r} in {self.seen!r}"
            if select.select([self.master], [], [], left)[0]:
                try:
                    self.seen += os.read(self.master, 4096).decode(errors="replace")
                except OSError:
                    break
        found = re.search(pattern, self.seen)
        assert found, f"no {pattern!r} in {self.seen!r}"
        self.seen = self.seen[found.end():]
        return found

    def type(self, keys):
        os.write(self.master, keys.encode())

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.master)


def test_console_edits_completes_and_keeps_history(tmp_path):
    terminal = Terminal(["--simulate", "console"], tmp_path)
    try:
        terminal.expect(r"korvel> ")
        terminal.type("*idn?\r")
        terminal.expect(r"KORVEL,KV-100,KV0001")
        terminal.expect(r"korvel> ")
        # Tab completes :mea to :MEAS, then :MEAS: to :MEAS:FLUX? (the screen
        # is redrawn in pieces, so judge by the answer and the history).
        terminal.type(":mea\t")
        time.sleep(0.3)
        terminal.type(":\t")
        time.sleep(0.3)
        terminal.type("\r")
        terminal.expect(r"\r\n\s*-?\d+\.\dG\r\n")
        terminal.type("help\r")
        terminal.expect(r":SENS:HOLD:RES\s+release the held value")
        terminal.expect(r"korvel> ")
        # help WORD: the local list filtered; nothing reaches the meter.
        terminal.type("help hold\r")
        listed = terminal.expect(r"((?:.|\n)*?)korvel> ").group(1)
        assert ":SENS:HOLD:STAT" in listed and ":MEAS:FLUX?" not in listed, listed
        terminal.type(":SYST:ERR?\r")
        terminal.expect(r"0, NO ERROR")
        # Ctrl-C drops the half-typed line and the console goes on.
        terminal.type("*IDN")
        time.sleep(0.2)
        terminal.type("\x03")
        time.sleep(0.2)
        terminal.type("*STB?\r")
        terminal.expect(r"\r\n\d{3}\r\n")
        assert terminal.process.poll() is None
        terminal.type("quit\r")
        assert terminal.process.wait(timeout=10) == 0
    finally:
        terminal.close()
    history = (tmp_path / ".korvel_history").read_text()
    assert "*idn?" in history and ":MEAS:FLUX?" in history


# ---------------------------------------------------------------------- read

def test_read_csv_parses_back_and_agrees_with_itself():
    result = sim("read", "-n", "10", "--format", "csv")
    assert result.returncode == 0, result.stderr
    rows = csv_rows(result.stdout)
    assert len(rows) == 10
    assert list(rows[0]) == ["timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts",
                             "over_range"]
    check_records(rows)
    assert summary_count(result.stderr) == 10
    values = [float(row["tesla"]) for row in rows]
    stats = re.search(r"field: min (\S+) T, max (\S+) T, mean (\S+) T, standard deviation (\S+) T",
                      result.stderr)
    assert stats, result.stderr
    low, high, mean, deviation = map(float, stats.groups())
    assert low == pytest.approx(min(values)) and high == pytest.approx(max(values))
    assert mean == pytest.approx(sum(values) / 10, rel=1e-6)
    spread = math.sqrt(sum((v - sum(values) / 10) ** 2 for v in values) / 9)
    assert deviation == pytest.approx(spread, rel=1e-5, abs=1e-12)


def test_read_json_lines_parse_back():
    result = sim("read", "-n", "5", "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    rows = jsonl_records(result.stdout)
    assert len(rows) == 5
    check_records([{k: str(v) for k, v in row.items()} for row in rows])
    assert all(isinstance(row["tesla"], float) and isinstance(row["counts"], int) for row in rows)


def test_read_takes_one_reading_by_default():
    result = sim("read")
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.splitlines()) == 1
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z\s", result.stdout)
    assert summary_count(result.stderr) == 1


def test_read_spaces_readings_by_the_interval_for_the_duration():
    result = sim("read", "--duration", "0.6", "--interval", "0.1", "--format", "csv")
    assert result.returncode == 0, result.stderr
    rows = csv_rows(result.stdout)
    elapsed = [float(row["elapsed_s"]) for row in rows]
    assert 3 <= len(rows) <= 6 and elapsed[-1] < 0.6
    # Never ahead of its slot (a busy machine may make one late).
    assert all(t >= 0.1 * k - 1e-3 for k, t in enumerate(elapsed)), elapsed
    gaps = sorted(b - a for a, b in zip(elapsed, elapsed[1:]))
    assert gaps[len(gaps) // 2] == pytest.approx(0.1, abs=0.03)


def test_read_to_a_file_keeps_standard_output_clean(tmp_path):
    log = tmp_path / "field.csv"
    result = sim("read", "-n", "20", "--format", "csv", "-o", str(log))
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    assert "\r" not in result.stderr  # no progress line when standard error is no terminal
    rows = csv_rows(log.read_text())
    assert len(rows) == 20
    check_records(rows)


def test_read_on_a_lost_meter_keeps_every_reading_and_exits_1(tmp_path):
    log = tmp_path / "lost.csv"
    result = sim("--unplug-after", "0.4", "read", "--continuous", "--interval", "0.01", "--format", "csv",
                 "-o", str(log))
    assert result.returncode == 1
    assert "connection was lost" in result.stderr and str(log) in result.stderr
    text = log.read_text()
    assert text.endswith("\n")
    rows = csv_rows(text)
    assert len(rows) == summary_count(result.stderr) > 0
    check_records(rows)


def test_read_lost_from_the_start_exits_1_with_no_readings():
    result = sim("--unplug-after", "0", "read", "-n", "5")
    assert result.returncode == 1
    assert summary_count(result.stderr) == 0
    assert result.stdout == ""


def test_ctrl_c_ends_read_cleanly(tmp_path):
    log = tmp_path / "field.jsonl"
    process = subprocess.Popen([KORVEL, "--simulate", "read", "--continuous", "--interval", "0.005", "--format",
                                "jsonl", "-o", str(log)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    try:
        deadline = time.monotonic() + 10
        # The meta record, then ten readings.
        while time.monotonic() < deadline and (not log.exists() or log.read_text().count("\n") < 11):
            time.sleep(0.02)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert out == ""
    text = log.read_text()
    assert text.endswith("\n")
    rows = jsonl_records(text)
    assert len(rows) == summary_count(err) >= 10
    assert "field: min" in err


def test_read_stops_quietly_when_the_reader_goes_away():
    process = subprocess.Popen([KORVEL, "--simulate", "read", "--continuous", "--format", "csv"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(4):
            process.stdout.readline()
        process.stdout.close()
        assert process.wait(timeout=10) == 0
    finally:
        process.kill()


def stderr_on_a_terminal(args):
    """Runs korvel with standard error on a pseudo-terminal; returns what it showed there."""
    master, slave = pty.openpty()
    process = subprocess.Popen([KORVEL, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=slave)
    os.close(slave)
    shown = b""
    try:
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the program closed its end
                break
            if not chunk:
                break
            shown += chunk
        assert process.wait(timeout=30) == 0
    finally:
        process.kill()
        os.close(master)
    return shown.decode()


def test_read_to_a_file_shows_progress_on_a_terminal(tmp_path):
    shown = stderr_on_a_terminal(["--simulate", "read", "-n", "30", "--interval", "0.02", "--format", "csv",
                                  "-o", str(tmp_path / "log.csv")])
    assert re.search(r"\r\d+ readings, \d+\.\d s, last -?\d+\.\dG", shown), shown
    assert "30 readings in" in shown  # the summary after the progress line is cleared


# --------------------------------------------------------------------- eeprom

def dump(path, *extra):
    result = sim("eeprom", "dump", "-o", str(path), *extra)
    assert result.returncode == 0, result.stderr
    assert "eepromAddr" not in result.stdout  # the library's per-read line is kept off standard output
    return result


def test_eeprom_dump_verify_restore_round_trip(tmp_path):
    backup = tmp_path / "backup.bin"
    saved = dump(backup)
    size = int(re.search(r"saved (\d+) bytes \(0x0000 to 0x[0-9A-F]{4}\) of meter KV0001", saved.stdout).group(1))
    image = backup.read_bytes()
    assert len(image) == size > 0
    assert not list(tmp_path.glob("*.part"))

    same = sim("eeprom", "verify", str(backup))
    assert same.returncode == 0, same.stderr
    assert "matches" in same.stdout

    changed = bytearray(image)
    changed[5] ^= 0xFF
    changed[size - 1] ^= 0x01
    altered = tmp_path / "altered.bin"
    altered.write_bytes(changed)
    differs = sim("eeprom", "verify", str(altered))
    assert differs.returncode == 1
    assert "2 of %d bytes differ" % size in differs.stdout
    assert "0x0005: meter 0x%02X, file 0x%02X" % (image[5], changed[5]) in differs.stdout

    restored = sim("eeprom", "restore", str(altered), "--yes")
    assert restored.returncode == 0, restored.stderr
    assert "verified every byte" in restored.stdout
    assert "eepromAddr" not in restored.stdout


def test_eeprom_shows_progress_on_a_terminal(tmp_path):
    shown = stderr_on_a_terminal(["--simulate", "eeprom", "dump", "-o", str(tmp_path / "b.bin")])
    assert re.search(r"\rreading 50 of \d+ bytes", shown), shown


def test_eeprom_part_of_the_memory(tmp_path):
    whole, part = tmp_path / "whole.bin", tmp_path / "part.bin"
    dump(whole)
    dump(part, "--start", "0x10", "--length", "64")
    assert part.read_bytes() == whole.read_bytes()[16:80]
    assert sim("eeprom", "verify", str(part), "--start", "16").returncode == 0
    assert sim("eeprom", "restore", str(part), "--start", "0x10", "--yes").returncode == 0


def test_eeprom_refuses_images_that_do_not_fit(tmp_path):
    whole = tmp_path / "whole.bin"
    dump(whole)
    size = whole.stat().st_size
    short = tmp_path / "short.bin"
    short.write_bytes(bytes(100))
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    huge = tmp_path / "huge.bin"
    huge.write_bytes(bytes(70000))
    cases = [
        (["restore", str(short), "--yes"], "must match it exactly"),
        (["restore", str(whole), "--yes", "--start", "1"], "do not fit"),
        (["restore", str(short), "--yes", "--start", str(size - 99)], "do not fit"),
        (["restore", str(empty), "--yes"], "empty"),
        (["restore", str(huge), "--yes"], "larger than any meter's memory"),
        (["verify", str(short)], "must match it exactly"),
        (["restore", str(tmp_path / "missing.bin"), "--yes"], "cannot open"),
    ]
    for args, says in cases:
        result = sim("eeprom", *args)
        assert result.returncode == 2, (args, result.stderr)
        assert says in result.stderr, (args, result.stderr)
    # What fits at the very end is taken.
    assert sim("eeprom", "restore", str(short), "--yes", "--start", str(size - 100)).returncode == 0


def test_eeprom_dump_on_a_lost_meter_leaves_no_file(tmp_path):
    backup = tmp_path / "backup.bin"
    result = sim("--unplug-after", "0", "eeprom", "dump", "-o", str(backup))
    assert result.returncode == 1
    assert "connection to the meter was lost" in result.stderr
    assert list(tmp_path.iterdir()) == []


# ------------------------------------------------------------------- selftest

def test_selftest_runs_the_console_self_test():
    result = sim("selftest", stdin="\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("hit <CR> to test unit 0 > unit 0 opened successfully with handle == 0x")
    assert "result: KORVEL,KV-100,KV0001," in result.stdout
    assert result.stdout.endswith("closing unit 0\n")


def test_selftest_reaches_the_chosen_meter():
    result = sim("--meters", "3", "selftest", "--meter", "KV0002", stdin="\n")
    assert result.returncode == 0, result.stderr
    assert "result: KORVEL,KV-100,KV0002," in result.stdout


def test_selftest_without_a_meter_exits_3():
    result = sim("--meters", "0", "selftest", stdin="\n")
    assert result.returncode == 3
    assert "open failed for 0" in result.stdout


def test_scale_option_reaches_the_simulated_meters_readings():
    """1.5507 T = 1234001 A/m (mu0 = 4 pi 1e-7): 1234 counts of 1 kA/m with
    scale code 5 in range 2, shown as the meter's kA/m row."""
    result = sim("--field", "1.5507", "--seed", "1", "--scale", "5", "read", "-n", "2", "--units", "A/m",
                 "--range", "2", "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    readings = [json.loads(line) for line in result.stdout.splitlines()[1:]]
    assert len(readings) == 2
    for r in readings:  # the simulated noise is about a quarter count
        assert r["text"] == f"{r['counts']}A" and abs(r["counts"] - 1234) <= 1
