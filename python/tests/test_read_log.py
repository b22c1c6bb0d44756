"""korvel.read_log and `plot FILE...`: logs written by both programs read back
in order (appended runs, rotated sets, text), with their gaps, and anything
that is not a Korvel record named by file and line."""
from __future__ import annotations

import os
import subprocess
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import korvel
from korvel import _records
from korvel.__main__ import _segments, program_name

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
T0 = datetime(2026, 3, 1, 12, 0, 0, tzinfo=timezone.utc)


def python_read(args, sim_library, cwd):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    done = subprocess.run([sys.executable, "-m", "korvel", "read", "--simulate", "--latency", "0", "-q", *args],
                          capture_output=True, text=True, timeout=60, env=env, cwd=cwd)
    assert done.returncode == 0, done.stderr


def parse_utc(text):
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=timezone.utc)


def write_run(handle, fmt, start, counts, header=True, file=0, gap_after=None):
    """A run as the writers lay it out, one reading a second (counts in gauss, range 0)."""
    handle.write(_records.format_meta(fmt, "1.0.0", "KORVEL,KV-100,KV0002,1.02", "KV0002", "P", "G", "DC", 0,
                                      False, start, "h", "cmd", file))
    if header and fmt == "csv":
        handle.write(_records.CSV_HEADER)
    for i, count in enumerate(counts):
        handle.write(_records.format_record(fmt, start + timedelta(seconds=i), float(i), count * 1e-5,
                                            "%.1fG" % (count / 10), "G", 0, "DC", count))
        if gap_after == i:
            handle.write(_records.format_gap(fmt, start + timedelta(seconds=i + 0.5),
                                             start + timedelta(seconds=i + 0.9)))


def test_an_appended_csv_reads_as_two_runs_with_utc_times(sim_library, tmp_path):
    pd = pytest.importorskip("pandas")
    python_read(["-n", "3", "-o", "field.csv"], sim_library, tmp_path)
    python_read(["-n", "2", "-o", "field.csv", "--append", "--units", "T"], sim_library, tmp_path)
    log = korvel.read_log(tmp_path / "field.csv")
    assert [r.run for r in log.readings] == [1, 1, 1, 2, 2]
    assert [m["units"] for m in log.meta] == ["G", "T"] and log.serials == ["KV0001"]
    assert [r.elapsed_s == 0 for r in log.readings] == [True, False, False, True, False]
    stamps = [line.split(",")[0] for line in (tmp_path / "field.csv").read_text().splitlines()
              if line[:1].isdigit()]
    frame = log.to_pandas()
    assert len(frame) == 5 and str(frame.index.tz) == "UTC"
    assert list(frame.index) == [pd.Timestamp(parse_utc(s)) for s in stamps]
    assert list(frame["run"]) == [1, 1, 1, 2, 2] and not frame["over_range"].any()
    assert frame.attrs["meta"][1]["units"] == "T" and frame.attrs["meta"][0]["records"] == 2
    assert korvel.read_log(str(tmp_path / "field.csv"), as_frame=True).equals(frame)


def test_a_rotated_jsonl_set_reads_in_order_as_one_run(korvel_program, sim_library, tmp_path):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
    done = subprocess.run([korvel_program, "--simulate", "read", "-n", "40", "--latency", "0", "-q",
                           "--format", "jsonl", "-o", "rot.jsonl", "--rotate-size", "3000"],
                          capture_output=True, text=True, timeout=60, env=env, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    files = sorted(tmp_path.glob("rot.*.jsonl"))
    assert len(files) >= 3
    log = korvel.read_log(tmp_path / "rot.jsonl")  # the set's name reads every file
    assert log.files == [str(f) for f in files]
    assert len(log.readings) == 40 and len(log.runs) == 1
    assert len(log.runs[0].continued_in) == len(files) - 1
    assert [r.elapsed_s for r in log.readings] == sorted(r.elapsed_s for r in log.readings)
    given = korvel.read_log([str(f) for f in files])  # the files named one by one
    assert [r.timestamp for r in given.readings] == [r.timestamp for r in log.readings]


def test_a_text_log_reads_back_with_over_range(sim_library, tmp_path):
    python_read(["-n", "3", "--field", "1.5", "--range", "0", "-o", "field.log"], sim_library, tmp_path)
    log = korvel.read_log(tmp_path / "field.log")
    assert log.meta[0]["format"] == "text" and log.meta[0]["serial"] == "KV0001"
    assert [(r.over_range, r.units, r.counts, r.text) for r in log.readings] == [(True, "G", None, "3276.7G")] * 3
    assert log.readings[0].tesla == pytest.approx(0.32767)


def test_gaps_belong_to_their_run_and_break_the_plotted_line(tmp_path):
    path = tmp_path / "g.jsonl"
    with open(path, "w") as handle:
        write_run(handle, "jsonl", T0, [100, 101, 102, 103], gap_after=1)
        write_run(handle, "jsonl", T0 + timedelta(minutes=5), [200, 201])
    log = korvel.read_log(path)
    assert [(g.start, g.end, g.run, g.line) for g in log.gaps] == [
        (T0 + timedelta(seconds=1.5), T0 + timedelta(seconds=1.9), 1, 4)]
    assert [[r.counts for r in segment] for segment in _segments(log)] == [[100, 101], [102, 103], [200, 201]]
    csv_path = tmp_path / "g.csv"
    with open(csv_path, "w") as handle:
        write_run(handle, "csv", T0, [100, 101, 102], gap_after=0)
    assert [g.line for g in korvel.read_log(csv_path).gaps] == [16]  # 13 meta lines, header, one record


def test_a_log_from_before_over_range_counts_pinned_readings(tmp_path):
    path = tmp_path / "old.csv"
    path.write_text("# korvel 0.9.0\n# serial: KV0001\n"
                    "timestamp,elapsed_s,tesla,text,units,range,acdc,counts\n"
                    "2026-03-01T12:00:00.000000Z,0.000000,0.32767,3276.7G,G,0,DC,32767\n"
                    "2026-03-01T12:00:01.000000Z,1.000000,0.01,100.0G,G,0,DC,1000\n")
    assert [r.over_range for r in korvel.read_log(path).readings] == [True, False]


@pytest.mark.parametrize("content, line, says", [
    ("a,b\n1,2\n", 1, "not a Korvel record"),
    ('{"x": 1}\n', 1, "damaged record"),
    ("# korvel 1.0.0\n# format: csv\ntimestamp,elapsed_s,tesla,text,units,range,acdc,counts,over_range\n"
     "2026-03-01T12:00:00.000000Z,0.000000,0.01,100.0G,G,0,DC,1000,false\n"
     "2026-03-01T12:00:01.000000Z,1.000000,0.01,10\n", 5, "fields where the header has"),
    ('{"type":"meta","korvel":"1.0.0"}\n{"timestamp":"2026-03-01T12:00:00.000000Z","elapsed_s":0.0', 2,
     "torn"),
    ("\x89PNG\r\n", 1, "not UTF-8"),
])
def test_what_is_not_a_korvel_record_is_named_by_file_and_line(tmp_path, content, line, says):
    path = tmp_path / "bad.log"
    path.write_bytes(content.encode("latin-1"))
    with pytest.raises(korvel.LogError) as caught:
        korvel.read_log(path)
    assert caught.value.path == str(path) and caught.value.line == line
    assert says in str(caught.value) and f"{path}, line {line}:" in str(caught.value)


def test_a_torn_record_an_append_left_behind_can_be_skipped_and_is_listed(sim_library, tmp_path):
    log = tmp_path / "field.jsonl"
    python_read(["-n", "3", "-o", "field.jsonl"], sim_library, tmp_path)
    log.write_bytes(log.read_bytes()[:-20])  # a power cut in the last record
    with pytest.raises(korvel.LogError, match="line 4: the last line is torn"):
        korvel.read_log(log)
    python_read(["-n", "2", "-o", "field.jsonl", "--append"], sim_library, tmp_path)  # ends the torn line
    with pytest.raises(korvel.LogError, match="line 4: not a JSON record"):
        korvel.read_log(log)
    read = korvel.read_log(log, skip_damaged=True)
    assert [(e.line, e.path) for e in read.damaged] == [(4, str(log))]
    assert [r.run for r in read.readings] == [1, 1, 2, 2]


def test_a_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        korvel.read_log(tmp_path / "none.csv")


# --------------------------------------------------------------------- plot

def run_plot(args, cwd, extra_path=None, argv0="korvel-py"):
    path = str(PACKAGE_ROOT) if extra_path is None else f"{extra_path}{os.pathsep}{PACKAGE_ROOT}"
    env = dict(os.environ, PYTHONPATH=path, MPLBACKEND="Agg")
    script = f"import sys; sys.argv[0] = {argv0!r}; from korvel.__main__ import main; sys.exit(main())"
    return subprocess.run([sys.executable, "-c", script, "plot", *args], capture_output=True, text=True,
                          timeout=120, env=env, cwd=cwd)


def test_plot_draws_several_files_on_absolute_time(tmp_path):
    pytest.importorskip("matplotlib")
    with open(tmp_path / "a.0001.csv", "w") as handle:
        write_run(handle, "csv", T0, [100, 32767, 102], file=1)
    with open(tmp_path / "a.0002.csv", "w") as handle:
        write_run(handle, "csv", T0 + timedelta(hours=1), [200, 201], file=2)
    done = run_plot(["a.0001.csv", "a.0002.csv", "-o", "p.png"], tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "p.png").read_bytes().startswith(b"\x89PNG")
    assert "5 readings from 2 file(s), 2 run(s)" in done.stderr  # a second run: its first reading at 0


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    fake = tmp_path / "fake"
    (fake / "matplotlib").mkdir(parents=True)
    (fake / "matplotlib" / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    with open(tmp_path / "a.csv", "w") as handle:
        write_run(handle, "csv", T0, [100])
    done = run_plot(["a.csv"], tmp_path, extra_path=fake)
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1 and "python3-matplotlib" in done.stderr


def test_usage_names_the_program_as_run(tmp_path):
    done = run_plot([], tmp_path, argv0="/usr/local/bin/korvel-py")
    assert done.returncode == 2 and done.stderr.startswith("usage: korvel-py plot")
    assert program_name("/usr/lib/python3/dist-packages/korvel/__main__.py") == "python3 -m korvel"
