"""python3 -m korvel read / plot, run as a user runs them."""

from __future__ import annotations

import csv
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]


def run(args, sim_library, timeout=60, **kwargs):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-m", "korvel", *args], capture_output=True, text=True,
                          timeout=timeout, env=env, **kwargs)


def test_read_csv_parses_back(sim_library, tmp_path):
    log = tmp_path / "run.csv"
    done = run(["read", "--simulate", "--field", "0.02", "-n", "6", "--format", "csv", "-o", str(log)],
               sim_library)
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(line for line in log.open() if not line.startswith("#")))
    assert len(rows) == 6
    assert list(rows[0]) == ["timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc",
                             "counts", "over_range"]
    elapsed = [float(r["elapsed_s"]) for r in rows]
    assert elapsed == sorted(elapsed) and elapsed[0] == 0.0
    assert [r["timestamp"] for r in rows] == sorted(r["timestamp"] for r in rows)
    for row in rows:
        # The text and the tesla value describe the same count.
        assert float(row["text"].rstrip("G")) * 1e-4 == pytest.approx(float(row["tesla"]), rel=1e-6)
        assert float(row["tesla"]) == pytest.approx(0.02, rel=0.05)
        assert (row["units"], row["acdc"]) == ("G", "DC")
    assert "6 readings in" in done.stderr and "standard deviation" in done.stderr


def test_read_jsonl_and_text_to_stdout(sim_library):
    done = run(["read", "--simulate", "-n", "3", "--format", "jsonl"], sim_library)
    assert done.returncode == 0, done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert records.pop(0)["type"] == "meta"
    assert len(records) == 3
    assert {"timestamp", "elapsed_s", "tesla", "text", "units", "range", "acdc", "counts"} <= set(records[0])
    done = run(["read", "--simulate", "-n", "2", "--interval", "0.05"], sim_library)
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all(line.endswith("range 0") and " T " in line for line in lines)


@pytest.mark.parametrize("args, code, message", [
    (["read", "--field", "0.1", "-n", "1"], 2, "--simulate"),
    (["read", "--simulate", "-n", "0"], 2, "-n"),
    (["read", "--unplug-after", "1"], 2, "--simulate"),
    (["read", "--simulate", "--format", "xml"], 2, "invalid choice"),
    (["read", "--simulate", "--meter", "KV9999", "-n", "1"], 3, "KV9999"),
    (["read", "--simulate", "-n", "1", "--library", "/nonexistent.so"], 1, "cannot load"),
    (["frobnicate"], 2, "invalid choice"),
])
def test_exit_codes(sim_library, args, code, message):
    done = run(args, sim_library)
    assert done.returncode == code
    assert message in done.stderr


def test_one_reading_by_default(sim_library):
    done = run(["read", "--simulate", "--format", "csv", "-q"], sim_library)
    assert done.returncode == 0
    lines = [line for line in done.stdout.splitlines() if not line.startswith("#")]
    assert len(lines) == 2 and done.stderr == ""


def test_a_lost_meter_ends_the_run_keeping_the_readings(sim_library, tmp_path):
    log = tmp_path / "run.csv"
    done = run(["read", "--simulate", "--continuous", "--interval", "0.01", "--unplug-after", "0.3",
                "--format", "csv", "-o", str(log)], sim_library)
    assert done.returncode == 1
    rows = list(csv.DictReader(line for line in log.open() if not line.startswith("#")))
    assert len(rows) >= 3
    assert f"after {len(rows)} reading(s)" in done.stderr
    assert f"{len(rows)} readings in" in done.stderr


def test_ctrl_c_ends_a_run_cleanly(sim_library, tmp_path):
    log = tmp_path / "run.csv"
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library, PYTHONPATH=str(PACKAGE_ROOT))
    process = subprocess.Popen([sys.executable, "-m", "korvel", "read", "--simulate", "--continuous",
                                "--interval", "0.02",
                                "--format", "csv", "-o", str(log)], env=env,
                               stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and (
            not log.exists() or len([line for line in log.read_text().splitlines()
                                     if not line.startswith("#")]) < 5):
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=30)
    assert process.returncode == 0
    lines = [line for line in log.read_text().splitlines() if not line.startswith("#")]
    assert len(lines) >= 4 and lines[-1].count(",") == 8  # complete records only
    assert f"{len(lines) - 1} readings in" in stderr


def test_plot_makes_a_png(sim_library, tmp_path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.image

    log = tmp_path / "run.csv"
    assert run(["read", "--simulate", "-n", "20", "--format", "csv", "-o", str(log)],
               sim_library).returncode == 0
    image = tmp_path / "field.png"
    done = run(["plot", str(log), "-o", str(image)], sim_library)
    assert done.returncode == 0, done.stderr
    assert image.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    pixels = matplotlib.image.imread(str(image))
    assert pixels.shape[0] > 100 and pixels.shape[1] > 100
    assert pixels.min() < pixels.max()  # something is drawn


def test_plot_of_a_jsonl_log_defaults_next_to_it(sim_library, tmp_path):
    log = tmp_path / "run.jsonl"
    assert run(["read", "--simulate", "-n", "5", "--format", "jsonl", "-o", str(log)],
               sim_library).returncode == 0
    done = run(["plot", str(log)], sim_library)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "run.png").stat().st_size > 1000


@pytest.mark.parametrize("content, message", [
    ("", "no reading with a value to plot"),
    ("hello\n", "bad.csv, line 1: not a Korvel record"),
    ("timestamp,elapsed_s,tesla,text,units,range,acdc,counts\n", "no reading"),
    ("timestamp,elapsed_s,tesla,text,units,range,acdc,counts\nx,abc,1e-3,1G,G,0,DC,1\n",
     "bad.csv, line 2: 'x' is not a UTC timestamp"),
])
def test_plot_refuses_what_is_not_a_log(sim_library, tmp_path, content, message):
    log = tmp_path / "bad.csv"
    log.write_text(content)
    done = run(["plot", str(log), "-o", str(tmp_path / "x.png")], sim_library)
    assert done.returncode == 2
    assert message in done.stderr
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("teslas, family, unit", [
    ([0.0125], "T", "mT"), ([2.0], "T", "T"), ([3e-6], "T", "µT"),
    ([0.0125], "G", "G"), ([0.5], "G", "kG"), ([1e-3], "A/m", "A/m"), ([0.5], "A/m", "kA/m"),
    ([0.0], "T", "T"),
])
def test_plot_chooses_readable_units(teslas, family, unit):
    from korvel.__main__ import choose_display_unit
    assert choose_display_unit(teslas, family)[0] == unit
