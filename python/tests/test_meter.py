"""korvel.Meter against the simulated meter: every public method, what reaches
the meter, and what comes back."""

from __future__ import annotations

import math

import pytest

import korvel
from korvel import Setting

MU0_SIM = 1.25663706212e-6  # the simulated meter's own constant


# ------------------------------------------------------------- settings

@pytest.mark.parametrize("attribute, value, setting, stored", [
    ("range", 2, Setting.RANGE, 2),
    ("range", 0, Setting.RANGE, 0),
    ("hold", 3, Setting.HOLD, 3),
    ("relative", 2, Setting.RELATIVE, 2),
    ("units", "tesla", Setting.UNITS, 1),
    ("units", korvel.Units.AMPERE_PER_METRE, Setting.UNITS, 2),
    ("units", "G", Setting.UNITS, 0),
    ("acdc", "ac", Setting.ACDC, 1),
    ("acdc", korvel.AcDc.DC, Setting.ACDC, 0),
])
def test_property_reaches_the_meter_and_reads_back(meter, sim, attribute, value, setting, stored):
    setattr(meter, attribute, value)
    assert sim.setting(0, setting) == stored
    assert getattr(meter, attribute) == stored


def test_units_setter_keeps_ac_and_acdc_setter_keeps_units(meter, sim):
    meter.set_units("T", "ac")
    meter.units = "A/m"
    assert (sim.setting(0, Setting.UNITS), sim.setting(0, Setting.ACDC)) == (2, 1)
    meter.acdc = "dc"
    assert (sim.setting(0, Setting.UNITS), sim.setting(0, Setting.ACDC)) == (2, 0)


@pytest.mark.parametrize("call, setting, stored", [
    (lambda m: m.set_auto_range(True), Setting.AUTO_RANGE, 1),
    (lambda m: m.set_auto_range(False), Setting.AUTO_RANGE, 0),
    (lambda m: m.set_analog_output(2), Setting.ANALOG_OUT, 2),
    (lambda m: m.set_limit(True), Setting.LIMIT, 1),
    (lambda m: m.set_power_off_timer(False), Setting.POWER_OFF_TIMER, 0),
    (lambda m: m.set_power_off_timer(True), Setting.POWER_OFF_TIMER, 1),
    (lambda m: m.set_keypad_lock(True), Setting.KEYPAD_LOCKOUT, 1),
    (lambda m: m.send_key(7), Setting.LAST_KEY, 7),
])
def test_set_only_commands_reach_the_meter(meter, sim, call, setting, stored):
    call(meter)
    assert sim.setting(0, setting) == stored


@pytest.mark.parametrize("call, counter", [
    (lambda m: m.auto_zero(), Setting.AUTO_ZEROS),
    (lambda m: m.recalibrate(), Setting.RECALIBRATIONS),
])
def test_actions_are_counted_by_the_meter(meter, sim, call, counter):
    before = sim.setting(0, counter)
    call(meter)
    assert sim.setting(0, counter) == before + 1


def test_hold_freezes_the_reading_until_released(meter, sim):
    sim.set_field(0, 0.001)
    meter.hold = 1
    held = meter.read().count
    sim.set_field(0, 0.002)
    assert meter.read().count == held
    meter.hold = 0
    meter.reset_hold()
    assert meter.read().count == 200


@pytest.mark.parametrize("call, error", [
    (lambda m: setattr(m, "range", 3), ValueError),
    (lambda m: setattr(m, "range", -1), ValueError),
    (lambda m: setattr(m, "range", 1.0), TypeError),
    (lambda m: setattr(m, "range", True), TypeError),
    (lambda m: setattr(m, "hold", 4), ValueError),
    (lambda m: setattr(m, "relative", 3), ValueError),
    (lambda m: setattr(m, "units", "furlong"), ValueError),
    (lambda m: setattr(m, "units", 3), ValueError),
    (lambda m: setattr(m, "acdc", "rms"), ValueError),
    (lambda m: m.set_analog_output(3), ValueError),
    (lambda m: m.send_key(256), ValueError),
    (lambda m: m.probe_data(256), ValueError),
    (lambda m: m.post_error(40000), ValueError),
    (lambda m: m.set_enable_register("operation", 256), ValueError),
    (lambda m: m.event_register("bogus"), ValueError),
    (lambda m: m.condition_register(4), ValueError),
    (lambda m: m.start_transfer(1, 70000), ValueError),
    (lambda m: m.scpi("*IDN?" + "x" * 124), ValueError),
    (lambda m: m.scpi("*IDN?\0:SYST:CLE"), ValueError),
    (lambda m: m.scpi("µ"), ValueError),
    (lambda m: m.scpi(b"*IDN?"), TypeError),
])
def test_bad_arguments_raise_before_anything_is_sent(meter, exchanges, call, error):
    before = exchanges()
    with pytest.raises(error):
        call(meter)
    assert exchanges() == before


# -------------------------------------------------------------- reading

@pytest.mark.parametrize("units, range_, count, text", [
    (0, 0, 1234, "123.4G"),
    (1, 0, 1234, "0.01234T"),
    (0, 1, -5, "  -5G"),
    (2, 2, 7, "   7000Am"),
    (1, 2, -32767, "-32.767T"),
])
def test_read_gives_count_text_and_tesla(meter, sim, units, range_, count, text):
    size = {0: (1e-5, 1e-4, 1e-3), 1: (1e-5, 1e-4, 1e-3), 2: (10 * MU0_SIM, 100 * MU0_SIM, 1000 * MU0_SIM)}
    meter.set_units(units, "dc")
    meter.range = range_
    sim.set_field(0, count * size[units][range_])
    reading = meter.read()
    assert (reading.count, reading.units, reading.range, reading.acdc) == (count, units, range_, 0)
    assert reading.text == text
    shown = float(text.rstrip("GTAm"))
    per_unit = {0: 1e-4, 1: 1.0, 2: 4e-7 * math.pi}[units]
    assert reading.tesla == pytest.approx(shown * per_unit, rel=1e-12)
    assert reading.timestamp.tzinfo is not None
    assert str(reading) == text.strip()


def test_reading_conversions_agree(meter, sim):
    sim.set_field(0, 0.0125)
    reading = meter.read()
    assert reading.gauss == pytest.approx(125.0)
    assert reading.millitesla == pytest.approx(12.5)
    assert reading.ampere_per_metre == pytest.approx(0.0125 / (4e-7 * math.pi))


def test_stream_count_and_schedule(meter, sim):
    readings = list(meter.stream(interval=0.02, count=5))
    assert len(readings) == 5
    stamps = [r.timestamp for r in readings]
    assert stamps == sorted(stamps)
    # A schedule that does not drift lays reading n at least n intervals on.
    assert (stamps[-1] - stamps[0]).total_seconds() >= 4 * 0.02 - 0.002


def test_stream_stops_after_duration(meter):
    readings = list(meter.stream(interval=0.01, duration=0.1))
    assert 1 <= len(readings) <= 11
    assert list(meter.stream(count=0)) == []


def test_lcd_shows_four_characters(meter):
    image = meter.lcd()
    assert len(image.text) == 4
    assert len(image.flags) == 13


def test_frequency_of_an_ac_field(meter, sim):
    sim.set_field_source(0, dc=0.0, ac_amplitude=0.01, ac_frequency=50.0)
    assert meter.frequency == 50


# ------------------------------------------------------------- identity

def test_identity_probe_and_serial(meter):
    assert meter.identity == "KORVEL,KV-100,KV0001,1.02"
    assert meter.serial == "KV0001"
    assert meter.probe.startswith("HP-100")
    assert meter.dsp_version > 0
    assert meter.scpi("*IDN?") == meter.identity
    assert meter.scpi("*OPT?") == meter.probe


def test_probe_data_matches_the_probe_block(meter, sim):
    block = sim.read_eeprom(0, 0x100, 8)
    assert [meter.probe_data(i) for i in range(8)] == list(block)


def test_serial_picks_the_meter_of_a_bench(sim):
    sim.reset(3)
    with korvel.Meter(simulate=True, serial="kv0003") as third:
        assert third.serial == "KV0003"
        # The meters passed over are free again.
        with korvel.Meter(simulate=True) as first:
            assert first.serial == "KV0001"


def test_index_of_names_the_simulated_meter_behind_a_connection(sim):
    sim.reset(3)
    with korvel.Meter(simulate=True, serial="KV0003") as third, korvel.Meter(simulate=True) as first:
        before = sim.setting(2, korvel.simulator.Setting.EXCHANGES)
        assert (sim.index_of(third), sim.index_of(first)) == (2, 0)
        assert sim.setting(2, korvel.simulator.Setting.EXCHANGES) == before  # no exchange spent
        sim.unplug(2)
        with pytest.raises(korvel.KorvelError):
            third.range
        assert sim.index_of(third) is None


def test_no_meter_raises_meter_not_found(sim):
    sim.reset(0)
    with pytest.raises(korvel.MeterNotFound, match="simulated"):
        korvel.Meter(simulate=True)


def test_unknown_serial_raises_meter_not_found(sim):
    with pytest.raises(korvel.MeterNotFound, match="KV9999"):
        korvel.Meter(simulate=True, serial="KV9999")
    with korvel.Meter(simulate=True) as meter:  # the scan left KV0001 free
        assert meter.serial == "KV0001"


# --------------------------------------------------------------- status

@pytest.mark.parametrize("name, selector", [
    ("standard", 0), ("measurement", 1), ("operation", 2), ("questionable", 3),
    (korvel.RegisterSet.OPERATION, 2), (3, 3),
])
def test_enable_registers_by_name(meter, sim, name, selector):
    meter.set_enable_register(name, 0x24)
    assert sim.register(0, selector, "enable") == 0x24
    assert meter.enable_register(name) == 0x24


def test_event_register_reads_and_clears(meter, sim):
    meter.raise_event("standard", 0x01)
    assert meter.event_register("standard") & 0x01
    assert meter.event_register("standard") == 0


def test_overrange_shows_in_the_questionable_condition(meter, sim):
    meter.range = 0
    sim.set_field(0, 5.0)
    meter.read()
    assert meter.condition_register("questionable") != 0


def test_status_byte_and_service_request_enable(meter, sim):
    meter.service_request_enable = 0x10
    assert sim.setting(0, Setting.SERVICE_REQUEST_ENABLE) == 0x10
    assert meter.service_request_enable == 0x10
    meter.post_error(-102)
    assert meter.status_byte & 0x04  # error queue not empty
    meter.clear_status()
    assert meter.status_byte & 0x04 == 0


def test_clear_enable_registers(meter, sim):
    meter.set_enable_register("questionable", 0xFF)
    meter.clear_enable_registers()
    assert sim.register(0, 3, "enable") == 0


def test_errors_drain_oldest_first_with_texts(meter, sim):
    for code in (-102, 7, -363):
        meter.post_error(code)
    assert meter.errors() == [(-102, "SYNTAX ERROR"), (7, "UNKNOWN ERROR"),
                              (-363, "INPUT BUFFER OVERRUN")]
    assert meter.errors() == []
    assert sim.peek_errors(0) == []


def test_errors_after_a_refused_scpi_command(meter):
    assert meter.scpi(":SENS:FLUX:RANG 7") == "Error: [0-2]"
    assert meter.scpi("FOO").startswith("Unknown Cmd")
    assert meter.errors() == [(-120, "NUMERIC DATA ERROR"), (-100, "COMMAND ERROR")]


def test_clear_errors(meter, sim):
    meter.post_error(-100)
    meter.clear_errors()
    assert sim.peek_errors(0) == []


# ----------------------------------------------------------------- SCPI

def test_scpi_line_end_is_removed_and_replies_join(meter):
    assert meter.scpi(":SENS:FLUX:RANG 2\r\n") == ""
    assert meter.scpi(":SENS:FLUX:RANG?\n") == "2"
    assert meter.scpi("*ESE 32;*ESE?;:sens:flux:rang?") == "032;2"
    assert meter.errors() == []


# ---------------------------------------------------------- data transfer

def test_memory_block_transfer_matches_the_memory(meter, sim):
    info = meter.start_transfer(2, 0, 60)
    assert info[0] == 60  # values in the block
    values = []
    while True:
        packet = meter.next_packet()
        values += packet.values
        if not packet.more:
            break
    assert bytes(values) == sim.read_eeprom(0, 0, 60)
    assert meter.transfer(2, 0x28, 24) == list(sim.read_eeprom(0, 0x28, 24))


def test_refused_transfer_keeps_the_connection(meter):
    with pytest.raises(korvel.TransferRefused):
        meter.start_transfer(99)
    assert meter.connected
    assert meter.identity.startswith("KORVEL")


# ----------------------------------------------------------- connection

def test_close_is_final_until_reopen(sim):
    meter = korvel.Meter(simulate=True)
    meter.close()
    meter.close()
    assert not meter.connected
    with pytest.raises(korvel.KorvelError, match="closed"):
        meter.read()
    meter.reopen()
    assert meter.read().units == korvel.Units.GAUSS
    meter.close()


def test_a_closed_meter_can_be_opened_by_the_next_meter(sim):
    with korvel.Meter(simulate=True):
        pass
    with korvel.Meter(simulate=True) as again:
        assert again.connected


def test_repr_and_library(meter, sim_library):
    assert "simulated open" in repr(meter)
    assert meter.simulated
    assert meter.library == sim_library
    assert meter.handle != 0


def test_find_library_honours_the_environment(sim_library):
    assert korvel.find_library(simulate=True) == sim_library
    assert korvel.library_candidates(True, "/x/lib.so") == ["/x/lib.so"]
    with pytest.raises(korvel.LibraryNotFound, match="no such file"):
        korvel.Meter(simulate=True, library="/nonexistent/libkorvel-x64-sim.so.1")


def test_library_path_names_the_file_in_use(sim_library, tmp_path):
    """library_path() names the loaded file; for a library the loader found
    by its soname (LD_LIBRARY_PATH) it names the folder the loader took it
    from, and the package carried in korvel/lib comes before it."""
    import os
    import shutil
    import subprocess
    import sys
    assert korvel.library_path(simulate=True) == os.path.abspath(sim_library)
    import ctypes.util
    from korvel import _library
    system = [folder for folder in _library._installed_folders()[1:]
              if (folder / "libkorvel-x64-sim.so.1").exists()]
    if system or ctypes.util.find_library("korvel-x64-sim"):
        pytest.skip("a Korvel library is installed on this machine; the soname search would find it")
    package = tmp_path / "site" / "korvel"
    shutil.copytree(os.path.dirname(korvel.__file__), package,
                    ignore=shutil.ignore_patterns("__pycache__", "lib"))
    loader_dir = tmp_path / "loader"
    loader_dir.mkdir()
    (loader_dir / "libkorvel-x64-sim.so.1").symlink_to(sim_library)
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KORVEL_")}
    environment.update(PYTHONPATH=str(tmp_path / "site"), LD_LIBRARY_PATH=str(loader_dir),
                       PATH="/usr/bin:/bin", PYTHONDONTWRITEBYTECODE="1")
    ask = [sys.executable, "-c", "import korvel; print(korvel.library_path(simulate=True))"]
    found = subprocess.run(ask, env=environment, capture_output=True, text=True, cwd=tmp_path)
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == str(loader_dir / "libkorvel-x64-sim.so.1")
    (package / "lib").mkdir()
    shutil.copy(sim_library, package / "lib" / "libkorvel-x64-sim.so.1")
    carried = subprocess.run(ask, env=environment, capture_output=True, text=True, cwd=tmp_path)
    assert carried.stdout.strip() == str(package / "lib" / "libkorvel-x64-sim.so.1")


def test_the_real_library_is_refused_for_simulation(sim_library):
    real = sim_library.replace("-sim", "")
    with pytest.raises(korvel.LibraryNotFound, match="not the simulated library"):
        korvel.Meter(simulate=True, library=real)


def test_the_real_library_without_a_meter_says_what_to_check(sim_library):
    real = sim_library.replace("-sim", "")
    with pytest.raises(korvel.MeterNotFound, match="udev rule"):
        korvel.Meter(library=real)
