"""korvel read as a logger: settings for the run, self-describing logs, files
never clobbered, whole records on a full disk, a lost meter waited for,
rotated files, and the messages for bad option values."""
import json
import math
import os
import re
import signal
import socket
import subprocess
import time
from datetime import datetime, timezone

import pytest

from test_cli import KORVEL, csv_meta, csv_rows, check_records, jsonl_records, run, sim, summary_count


def meta_of_jsonl(text):
    return [r for r in map(json.loads, text.splitlines()) if r.get("type") == "meta"]


# ------------------------------------------------------------- settings, meta

@pytest.mark.parametrize("options, units, acdc, range_, auto", [
    (["--units", "T", "--range", "2"], "T", "DC", "2", "off"),
    (["--units", "A/m", "--range", "auto"], "A/m", "DC", None, "on"),
    (["--ac", "--range", "1"], "G", "AC", "1", "off"),
    ([], "G", "DC", None, "on"),  # the power-on settings, as they are
])
def test_read_applies_the_settings_and_the_log_says_so(options, units, acdc, range_, auto):
    result = sim("read", "-n", "4", "--format", "csv", *options)
    assert result.returncode == 0, result.stderr
    meta = csv_meta(result.stdout)
    assert result.stdout.startswith("# korvel ")
    assert re.fullmatch(r"\d+\.\d+\.\d+", result.stdout.split("\n")[0][len("# korvel "):])
    assert meta["meter"].startswith("KORVEL,KV-100,KV0001,") and meta["serial"] == "KV0001"
    assert meta["probe"].startswith("HP-100")
    assert (meta["units"], meta["acdc"], meta["auto_range"]) == (units, acdc, auto)
    if range_ is not None:
        assert meta["range"] == range_
    assert meta["host"] == socket.gethostname()
    assert meta["command"] == "korvel --simulate read -n 4 --format csv" + "".join(" " + o for o in options)
    start = datetime.fromisoformat(meta["start"].replace("Z", "+00:00"))
    assert abs((datetime.now(timezone.utc) - start).total_seconds()) < 30
    rows = csv_rows(result.stdout)
    assert len(rows) == 4
    check_records(rows)
    assert {(r["units"], r["acdc"]) for r in rows} == {(units, acdc)}
    if range_ is not None:
        assert {r["range"] for r in rows} == {range_}


def test_jsonl_log_starts_with_one_meta_record():
    result = sim("read", "-n", "3", "--format", "jsonl", "--units", "T")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    first = json.loads(lines[0])
    assert first["type"] == "meta" and first["serial"] == "KV0001" and first["units"] == "T"
    assert set(first) == {"type", "korvel", "format", "records", "meter", "serial", "probe", "units", "acdc",
                          "range", "auto_range", "start", "host", "command"}
    assert first["format"] == "jsonl" and first["records"] == 2
    assert isinstance(first["auto_range"], bool) and isinstance(first["range"], int)
    assert len(jsonl_records(result.stdout)) == 3 == len(lines) - 1


# ------------------------------------------------------- nothing clobbered

def test_an_existing_log_is_refused_appended_to_or_overwritten(tmp_path):
    log = tmp_path / "field.csv"
    assert sim("read", "-n", "5", "--format", "csv", "-o", str(log)).returncode == 0
    before = log.read_bytes()

    refused = sim("read", "-n", "2", "--format", "csv", "-o", str(log))
    assert refused.returncode == 2
    assert "exists" in refused.stderr and "--append" in refused.stderr and "--force" in refused.stderr
    assert log.read_bytes() == before

    appended = sim("read", "-n", "3", "--format", "csv", "-o", str(log), "--append")
    assert appended.returncode == 0, appended.stderr
    text = log.read_text()
    assert text.startswith(before.decode())
    assert text.count("# korvel ") == 2 and text.count("timestamp,elapsed_s") == 1  # one header
    assert len(csv_rows(text)) == 8

    wrong = sim("read", "-n", "1", "--format", "jsonl", "-o", str(log), "--append")
    assert wrong.returncode == 2 and "is a csv log" in wrong.stderr
    assert log.read_text() == text
    jsonl = tmp_path / "field.jsonl"
    assert sim("read", "-n", "1", "--format", "jsonl", "-o", str(jsonl)).returncode == 0
    other = sim("read", "-n", "1", "--format", "csv", "-o", str(jsonl), "--append")
    assert other.returncode == 2 and "is a jsonl log" in other.stderr

    # A log torn by a power cut gets its last line ended before the new run.
    with log.open("a") as torn:
        torn.write("2026-12-0")
    mended = sim("read", "-n", "1", "--format", "csv", "-o", str(log), "--append")
    assert mended.returncode == 0, mended.stderr
    assert "\n2026-12-0\n# korvel " in log.read_text()
    text = log.read_text()

    forced = sim("read", "-n", "2", "--format", "csv", "-o", str(log), "--force")
    assert forced.returncode == 0, forced.stderr
    assert len(csv_rows(log.read_text())) == 2 and log.read_text().count("# korvel ") == 1

    both = sim("read", "-o", str(log), "--append", "--force")
    assert both.returncode == 2 and "exclude each other" in both.stderr


def test_dash_is_standard_output():
    result = sim("read", "-n", "2", "--format", "jsonl", "-o", "-")
    assert result.returncode == 0, result.stderr
    assert len(jsonl_records(result.stdout)) == 2


def test_a_full_disk_leaves_whole_records_and_a_true_count(tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", str(mount)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here ({mounted.stderr.strip()}): the full-disk test needs root")
    try:
        for fmt in ("csv", "jsonl"):
            log = mount / f"field.{fmt}"
            result = sim("read", "--continuous", "--format", fmt, "-o", str(log), timeout=60)
            assert result.returncode == 1, result.stderr
            assert "No space left on device" in result.stderr and "last whole record" in result.stderr
            text = log.read_text()
            assert text.endswith("\n")
            rows = csv_rows(text) if fmt == "csv" else jsonl_records(text)
            assert len(rows) == summary_count(result.stderr) > 10
            check_records(rows if fmt == "csv" else [{k: str(v) for k, v in r.items()} for r in rows])
            log.unlink()
    finally:
        subprocess.run(["umount", str(mount)], check=False)


# ----------------------------------------------------------- long runs

def read_until_lines_after_gap(args, log, gap_mark, lines):
    """Runs korvel with args until the log holds `lines` lines after the gap
    mark, then Ctrl-C; returns the exit code and standard error."""
    process = subprocess.Popen([KORVEL, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            text = log.read_text() if log.exists() else ""
            if gap_mark in text and text.split(gap_mark)[1].count("\n") >= lines:
                break
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)
    finally:
        process.kill()
    return process.returncode, err


def test_reconnect_waits_for_the_same_meter_and_notes_the_gap(tmp_path):
    log = tmp_path / "field.jsonl"
    returncode, err = read_until_lines_after_gap(
        ["--simulate", "--meters", "2", "--meter", "KV0002", "--unplug-after", "0.3", "--replug-after", "0.8",
         "read", "--continuous", "--interval", "0.02", "--format", "jsonl", "-o", str(log), "--reconnect",
         "--units", "T"], log, '"type":"gap"', 11)
    assert returncode == 0, err
    assert "waiting for it to come back" in err and "is back" in err
    records = [json.loads(line) for line in log.read_text().splitlines()]
    kinds = [r.get("type", "reading") for r in records]
    assert kinds[0] == "meta" and kinds.count("gap") == 1
    gap_at = kinds.index("gap")
    gap = records[gap_at]
    before, after = records[1:gap_at], records[gap_at + 1:]
    assert before and after and all("type" not in r for r in before + after)
    start, end = (datetime.fromisoformat(gap[k].replace("Z", "+00:00")) for k in ("from", "to"))
    assert 0.5 < (end - start).total_seconds() < 10
    assert before[-1]["timestamp"] <= gap["from"] and after[0]["timestamp"] >= gap["to"]
    assert {r["units"] for r in before + after} == {"T"}  # the settings were applied again
    assert len(before + after) == summary_count(err)


def test_lost_meter_without_reconnect_says_how_to_wait(tmp_path):
    result = sim("--unplug-after", "0.2", "--replug-after", "0.2", "read", "--continuous", "--interval", "0.01")
    assert result.returncode == 1
    assert "--reconnect" in result.stderr


def test_rotation_by_size_starts_numbered_files_each_with_its_meta_block(tmp_path):
    log = tmp_path / "field.csv"
    result = sim("read", "-n", "40", "--format", "csv", "-o", str(log), "--rotate-size", "1500")
    assert result.returncode == 0, result.stderr
    assert not log.exists()
    files = sorted(tmp_path.glob("field.*.csv"))
    assert [f.name for f in files][:2] == ["field.0001.csv", "field.0002.csv"] and len(files) >= 3
    total = 0
    for number, f in enumerate(files, start=1):
        text = f.read_text()
        assert f.stat().st_size <= 1500
        assert text.startswith("# korvel ") and csv_meta(text)["file"] == str(number)
        total += len(csv_rows(text))
    assert total == 40
    # Refused again unless asked; --append goes on in the last file.
    assert sim("read", "-o", str(log), "--format", "csv", "--rotate-size", "1500").returncode == 2
    more = sim("read", "-n", "2", "--format", "csv", "-o", str(log), "--rotate-size", "1500", "--append")
    assert more.returncode == 0, more.stderr
    assert sum(len(csv_rows(f.read_text())) for f in tmp_path.glob("field.*.csv")) == 42


def test_rotation_by_time(tmp_path):
    log = tmp_path / "field.jsonl"
    result = sim("read", "--duration", "1", "--interval", "0.05", "--format", "jsonl", "-o", str(log),
                 "--rotate-time", "0.3")
    assert result.returncode == 0, result.stderr
    files = sorted(tmp_path.glob("field.*.jsonl"))
    assert 3 <= len(files) <= 5
    assert all(meta_of_jsonl(f.read_text())[0]["file"] == n for n, f in enumerate(files, start=1))
    assert sum(len(jsonl_records(f.read_text())) for f in files) == summary_count(result.stderr)


# --------------------------------------------------------------- messages

@pytest.mark.parametrize("args, says", [
    (["read", "-n", "0"], "-n must be a whole number of 1 or more"),
    (["read", "-n", "abc"], "-n must be a whole number of 1 or more"),
    (["read", "-n", "2.5"], "-n must be a whole number of 1 or more"),
    (["read", "--duration", "0"], "--duration must be a number of seconds greater than 0"),
    (["read", "--duration", "nan"], "--duration must be a number of seconds greater than 0"),
    (["read", "--duration", "inf"], "--duration must be a number of seconds greater than 0"),
    (["read", "--interval", "-1"], "--interval must be a number of seconds of 0 or more"),
    (["read", "--rotate-size", "0", "-o", "x"], "--rotate-size must be a whole number of bytes of 1 or more"),
    (["read", "--units", "mT"], "--units must be G, T or A/m, not 'mT'"),
    (["read", "--range", "3"], "--range must be 0, 1, 2 or auto, not '3'"),
    (["read", "--format", "xml"], "--format must be text, csv or jsonl, not 'xml'"),
    (["read", "--ac", "--dc"], "--ac and --dc exclude each other"),
    (["read", "--rotate-time", "60"], "--rotate-size and --rotate-time need a file"),
    (["--field", "abc", "info"], "--field must be a number of tesla from -10 to 10"),
    (["--meters", "17", "info"], "--meters must be a whole number from 0 to 16"),
    (["--replug-after", "1", "info"], "--replug-after plugs the meter back in after --unplug-after"),
    (["raed"], "'raed' is not a korvel command; did you mean 'read'?"),
    (["eeprom", "dumb"], "'dumb' is not a korvel eeprom command; did you mean 'dump'?"),
])
def test_bad_values_get_one_sentence_naming_the_option(args, says, tmp_path):
    result = sim(*args, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    first = result.stderr.splitlines()[0]
    assert first.startswith("korvel: ") and says in first, result.stderr
    assert len(first) < 160
    assert list(tmp_path.iterdir()) == []


def test_one_reading_shows_no_rate():
    result = sim("read")
    assert result.returncode == 0
    assert re.search(r"^1 reading$", result.stderr, re.M) and "readings/s" not in result.stderr


# ------------------------------------------------- over range, formats, pace

@pytest.mark.parametrize("field", ["1.5", "-1.5"])
def test_over_range_readings_are_flagged_in_every_format_and_left_out_of_the_figures(field, tmp_path):
    csv = sim("--field", field, "read", "-n", "3", "--range", "0", "--format", "csv")
    assert csv.returncode == 0, csv.stderr
    rows = csv_rows(csv.stdout)
    assert [r["over_range"] for r in rows] == ["true"] * 3
    assert {abs(int(r["counts"])) for r in rows} <= {32767, 32768}
    assert "3 readings were over range" in csv.stderr and "field: min" not in csv.stderr
    jsonl = sim("--field", field, "read", "-n", "2", "--range", "0", "--format", "jsonl")
    assert [r["over_range"] for r in jsonl_records(jsonl.stdout)] == [True, True]
    text = sim("--field", field, "read", "-n", "1", "--range", "0")
    assert text.stdout.rstrip().endswith("OVER RANGE")
    fine = sim("--field", "0.0125", "read", "-n", "2", "--range", "0", "--format", "jsonl")
    assert [r["over_range"] for r in jsonl_records(fine.stdout)] == [False, False]


def test_the_file_name_chooses_the_format_and_every_file_has_a_meta_block(tmp_path):
    for name, first in (("x.csv", "# korvel "), ("x.jsonl", '{"type":"meta"'), ("x.ndjson", '{"type":"meta"'),
                        ("x.log", "# korvel ")):
        result = sim("read", "-n", "2", "-o", str(tmp_path / name))
        assert result.returncode == 0, result.stderr
        text = (tmp_path / name).read_text()
        assert text.startswith(first), name
    assert csv_meta((tmp_path / "x.csv").read_text())["format"] == "csv"
    assert len(csv_rows((tmp_path / "x.csv").read_text())) == 2
    assert "# format: text" in (tmp_path / "x.log").read_text()
    forced = sim("read", "-n", "1", "--format", "jsonl", "-o", str(tmp_path / "y.csv"))
    assert (tmp_path / "y.csv").read_text().startswith('{"type":"meta"')
    assert forced.returncode == 0


def test_a_replugged_meter_keeps_the_pace_and_leaves_one_gap(tmp_path):
    log = tmp_path / "paced.csv"
    returncode, err = read_until_lines_after_gap(
        ["--simulate", "--unplug-after", "0.7", "--replug-after", "0.6", "read", "--continuous", "--interval",
         "0.5", "-o", str(log), "--reconnect"], log, "# gap:", 4)
    assert returncode == 0, err
    text = log.read_text()
    assert text.count("# gap:") == 1
    rows = csv_rows(text)
    stamps = [datetime.fromisoformat(r["timestamp"].replace("Z", "+00:00")) for r in rows]
    elapsed = [float(r["elapsed_s"]) for r in rows]
    assert elapsed[0] == 0.0 and len(rows) >= 5
    spacing = [(b - a).total_seconds() for a, b in zip(stamps, stamps[1:])]
    assert min(spacing) >= 0.25, spacing  # no catch-up burst after the gap
    assert all(abs((s - stamps[0]).total_seconds() - e) < 2e-6 for s, e in zip(stamps, elapsed))


@pytest.mark.parametrize("scale, letters", [(5, "A"), (0, "Am")])
def test_kilo_ampere_rows_give_the_true_field_in_tesla(scale, letters):
    # 1.5507 T is 1234 kA/m (mu0 = 4 pi 1e-7 T m/A): "1234A" with scale code 5, "1234000Am" plainly.
    result = sim("--field", "1.5507", "--scale", str(scale), "read", "-n", "3", "--units", "A/m", "--range", "2",
                 "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    for record in jsonl_records(result.stdout):
        assert record["tesla"] == pytest.approx(1.5507, rel=0.002)
        assert re.fullmatch(r"\s*12\d\d(000)?" + letters, record["text"]), record["text"]
        shown = float(re.match(r"\s*(\d+)", record["text"]).group(1))
        assert record["tesla"] == pytest.approx(shown * (1000 if letters == "A" else 1) * 4e-7 * math.pi, rel=1e-6)
