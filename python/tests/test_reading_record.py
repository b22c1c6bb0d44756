"""The reading record: tesla right for every row (kA/m included), over_range,
the bytes a log holds, the format -o chooses and the run's statistics.

Expected values come from arithmetic written out here (mu0 = 4 pi 1e-7 T m/A,
1 G = 1e-4 T), never from the package's own table.
"""
from __future__ import annotations

import json
import math
import os
import subprocess
import sys
from datetime import datetime, timezone
from pathlib import Path

import pytest

from korvel import _format, _records
from korvel.meter import make_reading

MU0 = 4 * math.pi * 1e-7
PACKAGE_ROOT = Path(__file__).resolve().parents[1]
STAMP = datetime(2026, 12, 9, 7, 34, 42, 386140, tzinfo=timezone.utc)
START = datetime(2026, 12, 9, 7, 34, 42, 385975, tzinfo=timezone.utc)


def python_read(args, sim_library, cwd=None):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-m", "korvel", "read", "--simulate", "--latency", "0", *args],
                          capture_output=True, text=True, timeout=60, env=env, cwd=cwd)


# ------------------------------------------------------------ tesla per row

@pytest.mark.parametrize("count, units, range_, scale, tesla", [
    (1234, 2, 2, 5, 1234 * 1e3 * MU0),         # 1234A: kA/m, 1.5507 T (within 1e-4)
    (1234, 2, 2, 4, 123.4 * 1e3 * MU0),        # 123.4A: 0.15507 T
    (1234, 2, 2, 0, 1234000 * MU0),            # 1234000Am: 1.5507 T
    (1234, 2, 1, 5, 123.4 * 1e3 * MU0),        # 123.4A
    (1234, 2, 1, 4, 12.34 * 1e3 * MU0),        # 12.34A
    (1234, 2, 1, 2, 12.34 * MU0),              # 12.34Am: A/m, not kA/m
    (1234, 2, 0, 4, 1.234 * 1e3 * MU0),        # 1.234A
    (1234, 2, 0, 5, 12.34 * 1e3 * MU0),        # 12.34A
    (1234, 2, 0, 0, 12340 * MU0),              # 12340Am
    (1234, 0, 0, 0, 123.4e-4), (1234, 0, 1, 2, 1.234e-4), (1234, 1, 1, 2, 1.234e-4),
    (-32768, 2, 2, 5, -32768 * 1e3 * MU0),
])
def test_tesla_is_the_shown_number_in_si_for_every_row(count, units, range_, scale, tesla):
    assert _format.to_tesla(count, units, range_, scale) == pytest.approx(tesla, rel=1e-12)


def test_pymeasure_reads_a_as_kiloampere_per_metre():
    pytest.importorskip("pymeasure")
    from korvel.pymeasure import parse_field
    assert parse_field("1234A") == pytest.approx(1.5507, rel=1e-4)
    assert parse_field("1234000Am") == pytest.approx(1.5507, rel=1e-4)
    assert parse_field(" 123.4A") == pytest.approx(0.15507, rel=1e-4)


@pytest.mark.parametrize("scale, text", [(5, "1234A"), (0, "1234000Am"), (4, "1234.0A")])
def test_a_simulated_meter_with_a_scale_code_reads_the_same_field(meter, sim, scale, text):
    """1.5507 T = 1234001 A/m = 1234.0 kA/m in every resolution of range 2."""
    sim.set_scale(0, scale)
    sim.set_field(0, 1.5507)
    meter.set_units("A/m", "dc")
    meter.range = 2
    reading = meter.read()
    assert reading.scale == scale and reading.text == text
    assert reading.tesla == pytest.approx(1.5507, rel=2e-3)
    assert not reading.over_range


def test_set_scale_refuses_what_the_meter_cannot_send(sim):
    for bad in (-1, 256, 2.5, True):
        with pytest.raises(korvel_error()):
            sim.set_scale(0, bad)
    with pytest.raises(korvel_error()):
        sim.set_scale(3, 5)  # no such meter


def korvel_error():
    from korvel.errors import KorvelError
    return KorvelError


# --------------------------------------------------------------- over range

@pytest.mark.parametrize("field, count", [(1.5, 32767), (-1.5, -32767)])
def test_a_pinned_reading_is_over_range(meter, sim, field, count):
    sim.set_field(0, field)  # 15000 G: range 0 holds 3276.7 G
    meter.set_units("G", "dc")
    meter.range = 0
    reading = meter.read()
    assert reading.count == count and reading.over_range
    assert reading.tesla == pytest.approx(count * 1e-5)  # the range's limit, as documented


@pytest.mark.parametrize("count, over", [(32767, True), (-32767, True), (-32768, True), (32766, False),
                                         (-32766, False), (0, False)])
def test_over_range_is_decided_by_the_count(count, over):
    assert make_reading(count, 0, 0, 0, 0, 0, STAMP).over_range is over


# ------------------------------------------------------------ record bytes

def test_reading_records_byte_for_byte():
    args = (STAMP, 0.0, 0.01251, "125.1G", "G", 0, "DC", 1251)
    assert _records.format_record("csv", *args) == (
        "2026-12-09T07:34:42.386140Z,0.000000,0.01251,125.1G,G,0,DC,1251,false\n")
    assert _records.format_record("jsonl", *args) == (
        '{"timestamp":"2026-12-09T07:34:42.386140Z","elapsed_s":0.000000,"tesla":0.01251,'
        '"text":"125.1G","units":"G","range":0,"acdc":"DC","counts":1251,"over_range":false}\n')
    assert _records.CSV_HEADER == "timestamp,elapsed_s,tesla,text,units,range,acdc,counts,over_range\n"
    pinned = (STAMP, 1.5, 0.32767, "3276.7G", "G", 0, "DC", 32767)
    assert _records.format_record("csv", *pinned).endswith(",3276.7G,G,0,DC,32767,true\n")
    assert _records.format_record("jsonl", *pinned).endswith('"counts":32767,"over_range":true}\n')
    assert _records.format_record("text", *pinned).endswith("DC  range 0  OVER RANGE\n")
    assert "OVER RANGE" not in _records.format_record("text", *args)


def _meta(fmt, file=0):
    return _records.format_meta(fmt, "1.0.0", "KORVEL,KV-100,KV0001,1.02", "KV0001", "HP-100 AXIAL,P-10001",
                                "T", "DC", 0, True, START, "bench-3", "korvel read -n 3", file)


def test_meta_blocks_byte_for_byte():
    lines = ["# korvel 1.0.0", "# format: csv", "# records: 2", "# meter: KORVEL,KV-100,KV0001,1.02",
             "# serial: KV0001", "# probe: HP-100 AXIAL,P-10001", "# units: T", "# acdc: DC", "# range: 0",
             "# auto_range: on", "# start: 2026-12-09T07:34:42.385975Z", "# host: bench-3",
             "# command: korvel read -n 3"]
    assert _meta("csv") == "\n".join(lines) + "\n"
    assert _meta("text") == "\n".join(lines).replace("format: csv", "format: text") + "\n"
    assert _meta("csv", file=2) == "\n".join(lines) + "\n# file: 2\n"
    assert _meta("jsonl") == (
        '{"type":"meta","korvel":"1.0.0","format":"jsonl","records":2,"meter":"KORVEL,KV-100,KV0001,1.02",'
        '"serial":"KV0001","probe":"HP-100 AXIAL,P-10001","units":"T","acdc":"DC","range":0,'
        '"auto_range":true,"start":"2026-12-09T07:34:42.385975Z","host":"bench-3",'
        '"command":"korvel read -n 3"}\n')


# ------------------------------------------------------ python3 -m korvel read

@pytest.mark.parametrize("name, extra, fmt", [
    ("field.csv", [], "csv"), ("field.jsonl", [], "jsonl"), ("field.ndjson", [], "jsonl"),
    ("field.txt", [], "text"), ("field", [], "text"), ("field.csv", ["--format", "jsonl"], "jsonl"),
    ("field.jsonl", ["--format", "text"], "text"),
])
def test_the_output_name_chooses_the_format_unless_format_is_given(sim_library, tmp_path, name, extra, fmt):
    done = python_read(["-n", "2", "-q", "-o", name, *extra], sim_library, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / name).read_text().splitlines()
    if fmt == "jsonl":
        meta = json.loads(lines[0])
        assert meta["type"] == "meta" and meta["format"] == "jsonl" and meta["records"] == 2
        assert [json.loads(line)["over_range"] for line in lines[1:]] == [False, False]
        return
    assert lines[:3] == ["# korvel " + lines[0][len("# korvel "):], f"# format: {fmt}", "# records: 2"]
    body = [line for line in lines if not line.startswith("#")]
    if fmt == "csv":
        assert body[0] == _records.CSV_HEADER.strip() and body[1].endswith(",false")
    else:
        assert len(body) == 2 and body[0].endswith("range 0")


def test_text_on_standard_output_has_no_meta_block(sim_library):
    done = python_read(["-n", "1", "-q"], sim_library)
    assert done.returncode == 0 and not done.stdout.startswith("#") and len(done.stdout.splitlines()) == 1


def test_appending_another_format_to_a_text_log_is_refused(sim_library, tmp_path):
    log = tmp_path / "field.log"
    assert python_read(["-n", "1", "-q", "-o", str(log)], sim_library).returncode == 0
    before = log.read_text()
    refused = python_read(["-n", "1", "-q", "-o", str(log), "--append", "--format", "csv"], sim_library)
    assert refused.returncode == 2 and "not a csv log" in refused.stderr and log.read_text() == before
    again = python_read(["-n", "1", "-q", "-o", str(log), "--append"], sim_library)
    assert again.returncode == 0, again.stderr
    assert log.read_text().count("# format: text") == 2


def test_statistics_leave_over_range_readings_out(sim_library):
    pinned = python_read(["-n", "3", "--field", "1.5", "--range", "0", "--seed", "1"], sim_library)
    assert pinned.returncode == 0, pinned.stderr
    assert pinned.stdout.count("OVER RANGE") == 3
    assert "over range: 3 readings, left out of the field figures" in pinned.stderr
    assert "field:" not in pinned.stderr  # 0.32767 T is no measured value
    fits = python_read(["-n", "3", "--field", "0.01", "--range", "0", "--seed", "1"], sim_library)
    assert "over range" not in fits.stderr and "field: min 0.0" in fits.stderr


@pytest.mark.parametrize("value", ["256", "-1", "x", "5.0"])
def test_scale_option_is_checked(sim_library, value):
    done = python_read(["--scale", value], sim_library)
    assert done.returncode == 2 and done.stderr.strip() == "korvel: --scale must be a whole number from 0 to 255"


def test_append_onto_a_rotated_set_opens_the_next_file(sim_library, tmp_path):
    first = python_read(["-n", "12", "-q", "-o", "r.csv", "--rotate-size", "1000"], sim_library, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    files = sorted(tmp_path.glob("r.*.csv"))
    assert len(files) >= 2 and all(f.stat().st_size <= 1000 for f in files)
    before = {f: f.read_bytes() for f in files}
    refused = python_read(["-n", "1", "-q", "-o", "r.csv", "--rotate-size", "1000"], sim_library, cwd=tmp_path)
    assert refused.returncode == 2 and "r.0001.csv exists: --append continues that log" in refused.stderr
    more = python_read(["-n", "2", "-q", "-o", "r.csv", "--rotate-size", "1000", "--append"], sim_library,
                       cwd=tmp_path)
    assert more.returncode == 0, more.stderr
    assert {f: f.read_bytes() for f in files} == before  # no full file gets another meta block
    added = sorted(set(tmp_path.glob("r.*.csv")) - set(files))
    assert [f.name for f in added] == ["r.%04d.csv" % (len(files) + 1)]
    lines = added[0].read_text().splitlines()
    assert f"# file: {len(files) + 1}" in lines and lines.count(_records.CSV_HEADER.strip()) == 1
    assert len([line for line in lines if line[:1].isdigit()]) == 2
    from korvel import read_log
    log = read_log(tmp_path / "r.csv")
    assert [len([r for r in log.readings if r.run == n]) for n in (1, 2)] == [12, 2] and len(log.runs) == 2
