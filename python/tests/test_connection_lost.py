"""A meter that stops answering: every call raises ConnectionLost, the meter
object stays dead until reopen(), and nothing is ever returned as data."""

from __future__ import annotations

import pytest

import korvel
from korvel import Fault

CALLS = [
    ("read", lambda m: m.read()),
    ("range", lambda m: m.range),
    ("set range", lambda m: setattr(m, "range", 1)),
    ("units", lambda m: m.units),
    ("set units", lambda m: setattr(m, "units", "T")),
    ("hold", lambda m: m.hold),
    ("identity", lambda m: m.identity),
    ("probe", lambda m: m.probe),
    ("status byte", lambda m: m.status_byte),
    ("event register", lambda m: m.event_register("operation")),
    ("errors", lambda m: m.errors()),
    ("eeprom read", lambda m: m.eeprom.read(0, 10)),
    ("eeprom write", lambda m: m.eeprom.write(0x200, b"\x01")),
    ("scpi", lambda m: m.scpi("*IDN?")),
    ("transfer", lambda m: m.start_transfer(2, 0, 4)),
    ("packet", lambda m: m.next_packet()),
    ("lcd", lambda m: m.lcd()),
]

FAULTS = [Fault.SILENCE, Fault.BAD_CHECKSUM, Fault.SHORT_READ, Fault.WRITE_FAIL,
          Fault.COUNT_OVER_59, Fault.UNPLUG]


@pytest.mark.parametrize("name, call", CALLS, ids=[c[0] for c in CALLS])
def test_every_call_raises_connection_lost_on_a_failed_exchange(meter, sim, name, call):
    sim.inject_fault(0, Fault.SILENCE, 1)
    with pytest.raises(korvel.ConnectionLost, match="reopen"):
        call(meter)
    assert not meter.connected


@pytest.mark.parametrize("fault", FAULTS, ids=[f.name for f in FAULTS])
def test_each_fault_kind_is_a_lost_connection(meter, sim, fault):
    sim.inject_fault(0, fault, 1)
    with pytest.raises(korvel.ConnectionLost):
        meter.read()


def test_after_a_loss_calls_fail_at_once_without_touching_the_meter(meter, sim, exchanges):
    sim.unplug(0)
    with pytest.raises(korvel.ConnectionLost):
        meter.read()
    before = exchanges()
    for call in (lambda: meter.read(), lambda: meter.scpi("*IDN?"), lambda: meter.identity):
        with pytest.raises(korvel.ConnectionLost, match="lost earlier"):
            call()
    assert exchanges() == before


def test_unplugged_then_back_reopens(meter, sim):
    sim.unplug(0)
    with pytest.raises(korvel.ConnectionLost):
        meter.range
    with pytest.raises(korvel.MeterNotFound):
        meter.reopen()
    sim.replug(0)
    meter.reopen()
    assert meter.connected
    assert meter.identity.startswith("KORVEL")


def test_scpi_loss_keeps_the_reply_text(meter, sim):
    sim.inject_fault(0, Fault.SILENCE, 1)
    with pytest.raises(korvel.ConnectionLost) as lost:
        meter.scpi(":SYST:ERR?;*OPC?")
    assert lost.value.reply.startswith("USB Connection Problem")


@pytest.mark.parametrize("units, range_, acdc", [(3, 0, 0), (0, 3, 0), (0, 0, 2), (255, 255, 255)])
def test_a_reading_with_a_code_of_no_meaning_is_refused(units, range_, acdc):
    """The meter may only send units and ranges 0 to 2 and AC/DC 0 or 1;
    anything else is not passed off as a field."""
    from datetime import datetime, timezone
    from korvel.meter import make_reading
    with pytest.raises(korvel.InvalidReading) as refused:
        make_reading(100, units, range_, acdc, 0, 0, datetime.now(timezone.utc))
    assert (refused.value.count, refused.value.units, refused.value.range) == (100, units, range_)


def test_eeprom_read_refuses_an_answer_of_another_command(meter, sim):
    sim.inject_fault(0, Fault.OTHER_COMMAND, 1)
    with pytest.raises(korvel.KorvelError, match="command 0x14"):
        meter.eeprom.read(0, 4)
