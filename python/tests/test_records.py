"""One record format: `korvel read` and `python3 -m korvel read` on the same
seeded simulated meter write the same records, field by field, and the
documented schema (docs/records.md) is the one both write."""
from __future__ import annotations

import csv
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from korvel import _records

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
DOCS = PACKAGE_ROOT.parent / "docs" / "records.md"

STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z")
ELAPSED = re.compile(r"\d+\.\d{6}")


def python_read(args, sim_library):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-m", "korvel", "read", "--simulate", *args], capture_output=True,
                          text=True, timeout=60, env=env)


def program_read(args, korvel_program, sim_library):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
    return subprocess.run([korvel_program, "--simulate", "read", *args], capture_output=True, text=True,
                          timeout=60, env=env)


def split_log(fmt, text):
    """(meta dict, reading records as dicts of the written text of each field)."""
    if fmt == "csv":
        meta = {}
        for line in text.splitlines():
            if line.startswith("# "):
                key, _, value = line[2:].partition(": ")
                meta[key] = value
        meta["korvel"] = text.splitlines()[0][len("# korvel "):]
        body = [line for line in text.splitlines(keepends=True) if not line.startswith("#")]
        assert body[0] == _records.CSV_HEADER
        return meta, list(csv.DictReader(body))
    lines = text.splitlines()
    meta = json.loads(lines[0])
    assert meta.pop("type") == "meta"
    # The written text of every value, so 0.000000 and 0.0 differ.
    records = []
    for line in lines[1:]:
        fields = re.findall(r'"(\w+)":("(?:[^"\\]|\\.)*"|[^,}]+)', line)
        records.append({key: value for key, value in fields})
    return meta, records


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
@pytest.mark.parametrize("settings", [
    [], ["--units", "T", "--range", "auto"], ["--units", "A/m", "--range", "2"], ["--ac"],
    # 1.5 T is 15000 G: range 0 (at most 3276.7 G) pins.
    ["--field", "1.5", "--range", "0"],
    # 1.5507 T is 1234 kA/m: the meter's kA/m row.
    ["--field", "1.5507", "--scale", "5", "--units", "A/m", "--range", "2"],
], ids=["power-on", "tesla-auto", "am-range-2", "ac", "over-range", "scale-5-kA/m"])
def test_program_and_package_write_the_same_records(fmt, settings, sim_library, korvel_program):
    args = ["-n", "25", "--format", fmt, "-q", "--seed", "11", *settings]
    ours = python_read(args, sim_library)
    theirs = program_read(args, korvel_program, sim_library)
    assert ours.returncode == 0, ours.stderr
    assert theirs.returncode == 0, theirs.stderr
    meta_py, rows_py = split_log(fmt, ours.stdout)
    meta_c, rows_c = split_log(fmt, theirs.stdout)

    assert list(meta_py) == list(meta_c)  # the same keys in the same order
    for key in _records.META_KEYS:
        if key in ("start", "command"):
            continue
        assert meta_py[key] == meta_c[key], key
    assert len(rows_py) == len(rows_c) == 25
    if "--field" in settings:  # the rows these settings exist for are the ones compared
        pinned = settings[1] == "1.5"
        assert all(row["over_range"] == ("true" if pinned else "false") for row in rows_py)
    for py, c in zip(rows_py, rows_c):
        assert list(py) == list(c) == list(_records.COLUMNS)
        for column in ("tesla", "text", "units", "range", "acdc", "counts", "over_range"):
            assert py[column] == c[column], (column, py, c)
        for row in (py, c):
            assert STAMP.fullmatch(row["timestamp"].strip('"'))
            assert ELAPSED.fullmatch(row["elapsed_s"])


def test_the_documented_schema_is_the_one_written():
    text = DOCS.read_text()
    assert ",".join(_records.COLUMNS) in text
    for key in _records.META_KEYS:
        assert f"| `{key}`" in text or f"`{key}`," in text, key
    assert '"type":"gap"' in text and "# gap: from" in text


@pytest.mark.parametrize("tesla, written", [(0.0125, "0.0125"), (1.2e-5, "1.2e-05"), (0.0, "0"),
                                            (-0.01234567, "-0.01234567"), (100000000.0, "1e+08")])
def test_numbers_are_written_as_c_writes_them(tesla, written):
    record = _records.format_record("jsonl", __import__("datetime").datetime(2026, 1, 2, 3, 4, 5, 6,
                                    tzinfo=__import__("datetime").timezone.utc), 0.0, tesla, "x", "T", 0, "DC", 1)
    assert f'"tesla":{written},' in record and '"elapsed_s":0.000000,' in record
    assert '"timestamp":"2026-01-02T03:04:05.000006Z"' in record
    assert json.loads(record)["tesla"] == tesla


def test_control_characters_are_escaped_as_the_program_does():
    assert _records.json_string('a"b\\c\n\x7f') == '"a\\"b\\\\c\\u000a\\u007f"'
    assert _records.csv_field('1,"2"') == '"1,""2"""'


def test_python_read_refuses_to_overwrite_and_appends(sim_library, tmp_path):
    log = tmp_path / "run.jsonl"
    assert python_read(["-n", "3", "--format", "jsonl", "-o", str(log)], sim_library).returncode == 0
    before = log.read_text()
    refused = python_read(["-n", "3", "--format", "jsonl", "-o", str(log)], sim_library)
    assert refused.returncode == 2 and "exists" in refused.stderr and log.read_text() == before
    wrong = python_read(["-n", "1", "--format", "csv", "-o", str(log), "--append"], sim_library)
    assert wrong.returncode == 2 and "not a csv log" in wrong.stderr
    appended = python_read(["-n", "2", "--format", "jsonl", "-o", str(log), "--append", "--units", "T"],
                           sim_library)
    assert appended.returncode == 0, appended.stderr
    records = [json.loads(line) for line in log.read_text().splitlines()]
    assert [r.get("type") for r in records] == ["meta", None, None, None, "meta", None, None]
    assert records[4]["units"] == "T" and records[-1]["units"] == "T"
    forced = python_read(["-n", "1", "--format", "jsonl", "-o", str(log), "--force"], sim_library)
    assert forced.returncode == 0 and len(log.read_text().splitlines()) == 2


@pytest.mark.parametrize("args, says", [
    (["-n", "0"], "-n must be a whole number of 1 or more"),
    (["-n", "abc"], "-n must be a whole number of 1 or more"),
    (["--duration", "nan"], "--duration must be a number of seconds greater than 0"),
    (["--interval", "-1"], "--interval must be a number of seconds of 0 or more"),
    (["--field", "abc"], "--field must be a number of tesla from -10 to 10"),
])
def test_python_read_messages_match_the_program(args, says, sim_library):
    done = python_read(args, sim_library)
    assert done.returncode == 2
    assert done.stderr.strip() == f"korvel: {says}"


def test_plot_reads_the_meta_block(sim_library, tmp_path, korvel_program):
    log = tmp_path / "run.csv"
    made = program_read(["-n", "5", "--format", "csv", "-o", str(log)], korvel_program, sim_library)
    assert made.returncode == 0, made.stderr
    from korvel import read_log
    read = read_log(str(log))
    assert len(read.readings) == 5 and read.serials == ["KV0001"] and read.meta[0]["start"].endswith("Z")
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT), MPLBACKEND="Agg")
    png = subprocess.run([sys.executable, "-m", "korvel", "plot", str(log), "-o", "-"], capture_output=True,
                         timeout=120, env=env)
    assert png.returncode == 0, png.stderr
    assert png.stdout.startswith(b"\x89PNG")


def test_a_fresh_simulated_meter_sits_in_the_default_field_at_the_default_pace(sim_library):
    script = (
        "import time, korvel\n"
        "with korvel.Meter(simulate=True) as m:\n"
        "    first = m.read()\n"
        "    start = time.monotonic()\n"
        "    for _ in range(20): m.read()\n"
        "    slow = time.monotonic() - start\n"
        "with korvel.Meter(simulate=True, latency=0) as m:\n"
        "    start = time.monotonic()\n"
        "    for _ in range(20): m.read()\n"
        "    fast = time.monotonic() - start\n"
        "print(first.tesla, first.units.symbol, slow, fast)\n")
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0, done.stderr
    tesla, units, slow, fast = done.stdout.split()
    from korvel.simulator import DEFAULT_FIELD
    assert float(tesla) == pytest.approx(DEFAULT_FIELD, abs=6e-5) and units == "G"
    assert float(slow) >= 19.5 * 0.001  # one exchange per 1 ms tick, never faster
    assert float(fast) < float(slow)


def test_latency_is_for_the_simulated_meter_only():
    import korvel
    with pytest.raises(ValueError, match="simulate=True"):
        korvel.Meter(latency=0.01)
