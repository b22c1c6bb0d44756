"""A host program in a decimal-comma locale (setlocale(LC_ALL, "") under
de_DE, as Qt/GTK programs and many scripts do) still reads the meter: the
library's text keeps its decimal point and the package parses it."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

PROGRAM = r"""
import locale, sys
locale.setlocale(locale.LC_ALL, "")
assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
import korvel
from korvel.pymeasure import parse_field
sim = korvel.Simulator()
sim.reset(1)
sim.set_field(0, 0.01234)
with korvel.Meter(simulate=True) as meter:
    meter.scpi(":SENS:FLUX:RANG:AUT 0;:UNIT:FLUX:DC:GAUS;:SENS:FLUX:RANG 0")
    text = meter.scpi(":MEAS:FLUX?")
    reading = meter.read()
    print(text, parse_field(text), reading.text, reading.tesla, meter.identity)
"""


@pytest.fixture(scope="module")
def comma_locale(tmp_path_factory) -> dict:
    folder = tmp_path_factory.mktemp("locale")
    built = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                           capture_output=True, text=True)
    assert built.returncode == 0, f"localedef failed (install Debian's locales package): {built.stderr}"
    return {"LOCPATH": str(folder), "LC_ALL": "de_DE.UTF-8"}


def test_readings_parse_in_a_comma_locale(sim_library, comma_locale):
    env = dict(os.environ, **comma_locale, PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    done = subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    text, parsed, reading_text, tesla, identity = done.stdout.split(" ", 4)
    assert text == "123.4G"
    assert float(parsed) == pytest.approx(0.01234)
    assert reading_text == "123.4G"
    assert float(tesla) == pytest.approx(0.01234)
    assert "KV0001" in identity
