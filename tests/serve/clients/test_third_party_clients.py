"""korvel serve driven by clients nobody here wrote, used as their own
documentation says, with no workaround: PyVISA (pyvisa-py), a generic
PyMeasure Instrument, pyvisa-shell, lxi-tools and socat."""

from __future__ import annotations

import math
import random
import re
import shutil
import subprocess

import pytest

from harness import IDENTITY

NUMBER = re.compile(r"-?\d\.\d+E[+-]\d\d")


def test_pyvisa_a_refused_write_leaves_no_answer_behind(server):
    instrument = server.visa()
    try:
        instrument.write(":SENS:HOLD:STAT 9")  # refused: no text comes back for it
        assert instrument.query("*IDN?") == IDENTITY
        assert instrument.query(":SYST:ERR?") == "-120, NUMERIC DATA ERROR"
        assert instrument.query("*OPC?") == "1"
        # In tesla: this client chose no unit (the meter shows gauss).
        assert instrument.query_ascii_values(":READ?")[0] == pytest.approx(0.0125, abs=5e-4)
        # The responses of one message are separated by ";".
        assert instrument.query_ascii_values(":READ?;:FETC?", separator=";") == pytest.approx([0.0125] * 2, abs=5e-4)
    finally:
        instrument.close()


def test_pyvisa_a_thousand_mixed_writes_and_queries_stay_in_step(server):
    """Writes (accepted and refused) and queries in random order: every query
    gets its own answer, never one left over from before."""
    instrument = server.visa()
    rng = random.Random(7)
    expected_range = 0
    refusals = 0
    try:
        for _ in range(1000):
            kind = rng.randrange(4)
            if kind == 0:
                expected_range = rng.randrange(3)
                instrument.write(f":SENS:FLUX:RANG {expected_range}")
            elif kind == 1:
                instrument.write(f":SENS:FLUX:RANG {rng.randrange(3, 99)}")  # refused
                refusals += 1
            elif kind == 2:
                assert instrument.query(":SENS:FLUX:RANG?") == str(expected_range)
            else:
                assert instrument.query("*IDN?") == IDENTITY
        errors = []
        while (entry := instrument.query(":SYST:ERR?")) != "0, NO ERROR":
            errors.append(entry)
            assert len(errors) <= refusals
        # Every entry is a refusal, or the meter's note that its queue
        # overflowed (-350, a number without a text of its own).
        assert errors and set(errors) <= {"-120, NUMERIC DATA ERROR", "-350, UNKNOWN ERROR"}
    finally:
        instrument.close()


def test_a_generic_pymeasure_instrument(server):
    from pymeasure.instruments import Instrument
    instrument = Instrument(server.resource, "generic SCPI instrument", read_termination="\n",
                            write_termination="\n", timeout=10000)
    try:
        assert instrument.id == IDENTITY
        instrument.write(":UNIT:FLUX:DC:TESL")
        assert instrument.ask(":UNIT:FLUX?").strip() == "DC TESLA"
        assert instrument.values(":READ?")[0] == pytest.approx(0.0125, abs=5e-4)
        instrument.write(":SENS:FLUX:RANG 7")
        assert instrument.ask(":SYST:ERR?").strip() == "-120, NUMERIC DATA ERROR"
        assert instrument.values("*STB?") == [0]
    finally:
        instrument.adapter.connection.close()


def test_korvel_pymeasure_instrument_needs_no_workaround(server):
    from korvel.pymeasure import KorvelMeter
    meter = KorvelMeter(server.resource)
    try:
        assert meter.id == IDENTITY
        meter.units = "DC TESLA"
        assert meter.units == "DC TESLA"
        meter.range = 1
        assert meter.range == 1
        assert meter.field == pytest.approx(0.0125, abs=5e-4)
        meter.write(":SENS:FLUX:RANG 7")  # refused into the error queue
        assert meter.range == 1
        assert meter.next_error() == (-120, "NUMERIC DATA ERROR")
        assert meter.check_errors() == []
    finally:
        meter.adapter.connection.close()


def test_pyvisa_shell(server):
    # Socket instruments never signal the end of a message, so the shell is
    # told the read termination; it writes with its own default (CR LF).
    script = (f"open {server.resource}\ntermchar LF\nquery *IDN?\nwrite :SENS:FLUX:RANG 9\n"
              "query :SYST:ERR?\nquery :READ?\nexit\n")
    done = subprocess.run(["pyvisa-shell", "-b", "py"], input=script, capture_output=True, text=True,
                          timeout=120)
    responses = re.findall(r"Response: (.*)", done.stdout)
    assert responses[:2] == [IDENTITY, "-120, NUMERIC DATA ERROR"], done.stdout + done.stderr
    assert NUMBER.fullmatch(responses[2])


@pytest.mark.skipif(shutil.which("lxi") is None, reason="lxi-tools is not installed")
def test_lxi_scpi(server):
    def lxi(command: str) -> str:
        done = subprocess.run(["lxi", "scpi", "-a", "127.0.0.1", "-p", str(server.port), "-r", command],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return done.stdout.strip()

    assert lxi("*IDN?") == IDENTITY
    assert lxi(":SENS:FLUX:RANG 9") == ""
    assert lxi(":SYST:ERR?") == "-120, NUMERIC DATA ERROR"
    assert NUMBER.fullmatch(lxi(":READ?"))


@pytest.mark.skipif(shutil.which("socat") is None, reason="socat is not installed")
@pytest.mark.parametrize("sent", [b"*IDN?\r", b"*IDN?", b"*CLS\r*IDN?\r\n"])
def test_socat_cr_only_and_unterminated_lines(server, sent):
    done = subprocess.run(["socat", "-t", "5", "-", f"TCP:127.0.0.1:{server.port}"], input=sent,
                          capture_output=True, timeout=60)
    assert done.stdout == (IDENTITY + "\n").encode(), done.stderr


def test_pyvisa_read_answers_in_each_sessions_own_unit(server):
    """One session chooses A/m; another that chose nothing still reads tesla,
    whatever the meter now displays."""
    chooser, quiet = server.visa(), server.visa()
    try:
        chooser.write(":UNIT:FLUX:DC:AM")
        assert chooser.query("*OPC?") == "1"  # its write has run
        assert quiet.query(":UNIT:FLUX?") == "DC AM"  # the display follows the last choice
        in_am = chooser.query_ascii_values(":READ?")[0]
        in_tesla = quiet.query_ascii_values(":READ?")[0]
        assert in_tesla == pytest.approx(0.0125, abs=5e-4)
        assert in_am == pytest.approx(0.0125 / (4e-7 * math.pi), rel=0.02)  # about 9950 A/m
    finally:
        chooser.close()
        quiet.close()
