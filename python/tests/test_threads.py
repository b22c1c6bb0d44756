"""One Meter shared by several threads: every caller gets its own answer."""

from __future__ import annotations

import threading

import pytest

import korvel

ROUNDS = 150


def test_threads_sharing_one_meter_get_their_own_answers(meter, sim):
    identity = meter.identity
    memory = sim.read_eeprom(0, 0x200, 120)
    sim.set_field(0, 0.0042)
    meter.range = 1
    failures = []

    def check(name, work):
        def run():
            try:
                for _ in range(ROUNDS):
                    work()
            except Exception as error:  # reported below, with the thread's name
                failures.append(f"{name}: {error!r}")
        return threading.Thread(target=run, name=name)

    def identity_work():
        assert meter.identity == identity

    def scpi_work():
        assert meter.scpi("*IDN?;:SENS:FLUX:RANG?") == identity + ";1"

    def reading_work():
        reading = meter.read()
        assert (reading.count, reading.text) == (42, "  42G")

    def memory_work():
        assert meter.eeprom.read(0x200, 120) == memory

    def errors_work():
        meter.post_error(-102)
        # Another thread may drain it first; what comes back is always whole.
        for code, text in meter.errors():
            assert (code, text) == (-102, "SYNTAX ERROR")

    threads = [check(name, work) for name, work in [
        ("identity", identity_work), ("scpi", scpi_work), ("reading", reading_work),
        ("memory", memory_work), ("errors", errors_work), ("reading2", reading_work)]]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


def test_two_meters_in_parallel_threads(sim):
    sim.reset(2)
    sim.set_time_scale(0.01)
    sim.set_field(0, 0.001)
    sim.set_field(1, -0.002)
    results = {}

    def run(serial, expected):
        with korvel.Meter(simulate=True, serial=serial) as meter:
            results[serial] = all(meter.read().count == expected for _ in range(ROUNDS))

    threads = [threading.Thread(target=run, args=("KV0001", 100)),
               threading.Thread(target=run, args=("KV0002", -200))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert results == {"KV0001": True, "KV0002": True}


def test_a_loss_seen_by_one_thread_is_seen_by_all(meter, sim):
    sim.unplug(0)
    outcomes = []

    def run():
        try:
            meter.read()
            outcomes.append("read")
        except korvel.ConnectionLost:
            outcomes.append("lost")

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert outcomes == ["lost"] * 4
    with pytest.raises(korvel.ConnectionLost):
        meter.range
