"""meter.eeprom: whole-frame chunks, bounds, and checks of what comes back."""

from __future__ import annotations

import pytest

import korvel


def requests(sim, command):
    """(address, count, data) of every request of `command` written to the meter."""
    found = []
    for call in sim.calls():
        frame = call.data
        if call.name == "usb_bulk_write" and len(frame) >= 8 and frame[2] == command:
            count = frame[3]
            payload = frame[4:4 + count]
            found.append((payload[0] << 8 | payload[1], payload[2] << 8 | payload[3], payload[4:]))
    return found


@pytest.mark.parametrize("address, length, chunks", [
    (0, 0, []),
    (0, 1, [(0, 1)]),
    (0, 50, [(0, 50)]),
    (0, 51, [(0, 50), (50, 1)]),
    (0x200, 130, [(0x200, 50), (0x232, 50), (0x264, 30)]),
    (4096 - 7, 7, [(4089, 7)]),
])
def test_read_goes_in_whole_frames(meter, sim, address, length, chunks):
    sim.clear_calls()
    data = meter.eeprom.read(address, length)
    assert data == sim.read_eeprom(0, address, length)
    assert [(a, n) for a, n, _ in requests(sim, 0x14)] == chunks


@pytest.mark.parametrize("address, length", [(0x200, 1), (0x300, 50), (0x400, 123)])
def test_write_goes_in_whole_frames_and_is_verified(meter, sim, address, length):
    data = bytes((address + i * 7) & 0xFF for i in range(length))
    sim.clear_calls()
    meter.eeprom.write(address, data)
    assert sim.read_eeprom(0, address, length) == data
    writes = requests(sim, 0x15)
    assert [(a, n) for a, n, _ in writes] == [(address + o, min(50, length - o))
                                              for o in range(0, length, 50)]
    assert b"".join(chunk for _, _, chunk in writes) == data
    # Verified: every chunk read back.
    assert [(a, n) for a, n, _ in requests(sim, 0x14)] == [(a, n) for a, n, _ in writes]


def test_write_without_verify_reads_nothing(meter, sim):
    sim.clear_calls()
    meter.eeprom.write(0x200, [1, 2, 3], verify=False)
    assert requests(sim, 0x14) == []
    assert meter.eeprom.read(0x200, 3) == b"\x01\x02\x03"


def test_size_is_the_simulated_meters(meter, sim):
    assert meter.eeprom.size == sim.eeprom_size(0) == 4096


@pytest.mark.parametrize("call, error", [
    (lambda e: e.read(4096 - 3, 4), ValueError),
    (lambda e: e.read(-1, 1), ValueError),
    (lambda e: e.read(0, -1), ValueError),
    (lambda e: e.read(0x10000, 0), ValueError),
    (lambda e: e.read("0", 1), TypeError),
    (lambda e: e.write(4095, b"\x00\x00"), ValueError),
    (lambda e: e.write(0x200, [256]), ValueError),
    (lambda e: e.write(0x200, [-1]), ValueError),
])
def test_out_of_bounds_is_refused_before_anything_is_sent(meter, exchanges, call, error):
    before = exchanges()
    with pytest.raises(error):
        call(meter.eeprom)
    assert exchanges() == before


def test_explicit_size_bounds_a_real_meters_memory(sim):
    with korvel.Meter(simulate=True, eeprom_size=256) as meter:
        assert meter.eeprom.size == 256
        with pytest.raises(ValueError, match="256 bytes"):
            meter.eeprom.read(250, 10)


def test_a_short_answer_is_an_error_not_data(sim):
    """Past its end the meter reads nothing: that is never returned as bytes."""
    with korvel.Meter(simulate=True, eeprom_size=0x10000) as meter:
        with pytest.raises(korvel.MeterMemoryError, match="delivered 0"):
            meter.eeprom.read(4096, 8)
        with pytest.raises(korvel.MeterMemoryError, match="delivered 3"):
            meter.eeprom.read(4093, 8)
        assert meter.connected


def test_a_write_that_does_not_stick_is_reported(sim):
    """Memory beyond the end takes no byte: the read-back shows it."""
    with korvel.Meter(simulate=True, eeprom_size=0x10000) as meter:
        with pytest.raises(korvel.MeterMemoryError):
            meter.eeprom.write(4095, b"\x11\x22")
