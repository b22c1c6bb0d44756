"""A VXI-11 lock across every door: other links, the socket port's clients,
the page. pyvisa-py's sessions and its VXI-11 client (for the wait-lock
flag, which its sessions never set, and the abort channel)."""

from __future__ import annotations

import threading
import time

import pytest
import pyvisa
from pyvisa_py.protocols import rpc, vxi11

from lan_harness import LanServer, socket_query, visa

LOCKED = 11  # VXI-11: device locked by another link
NOT_SUPPORTED = 8


@pytest.fixture
def server(korvel_program, sim_library):
    running = LanServer(korvel_program, sim_library)
    yield running
    assert running.stop() == 0


def test_a_lock_keeps_every_other_door_from_changing_the_meter(server):
    rm = visa()
    holder = rm.open_resource("TCPIP0::127.0.0.1::inst0::INSTR")
    other = rm.open_resource("TCPIP0::127.0.0.1::inst0::INSTR")
    elsewhere = rm.open_resource("TCPIP0::127.0.0.1::inst1::INSTR")
    socket_port = server.socket_ports[0]
    try:
        holder.write("*CLS")
        holder.lock_excl()
        # Another link: refused at once (pyvisa-py reports a write's refusal
        # as an I/O error, a lock's as "resource locked").
        with pytest.raises(pyvisa.errors.VisaIOError):
            other.write(":UNIT:FLUX:GAUS")
        with pytest.raises(pyvisa.errors.VisaIOError) as locked:
            other.lock_excl()
        assert locked.value.error_code == pyvisa.constants.StatusCode.error_resource_locked
        # The other meter is not locked.
        assert elsewhere.query("*IDN?").split(",")[2] == "KV0002"
        # A socket client: queries answer, a change goes to its own queue.
        answers = socket_query(socket_port, "*IDN?", ":UNIT:FLUX:GAUS", ":SYST:ERR?", ":SYST:ERR?", "*ESR?",
                               ":UNIT:FLUX:TESL", "*CLS", ":SYST:ERR?")
        assert answers[0].split(",")[2] == "KV0001"
        assert answers[1:] == ["-203, COMMAND PROTECTED", "0, NO ERROR", "16", "0, NO ERROR"]
        # The page: 423 with the reason.
        status, _, body = server.change("/api/settings", {"units": "T"})
        assert status == 423 and b"locked by a VXI-11 client" in body
        # Nothing changed and the holder's own queue is untouched by the others.
        assert holder.query(":READ?;:SYST:ERR?").strip().split(";")[1] == "0, NO ERROR"
        assert holder.query_ascii_values(":READ?")[0] == pytest.approx(0.0125, abs=0.001)
        holder.write(":UNIT:FLUX:GAUS")  # the holder changes what it likes
        holder.write(":UNIT:FLUX:TESL")
        holder.unlock()
        status, _, body = server.change("/api/settings", {"units": "T"})
        assert status == 200, body
        other.write(":UNIT:FLUX:TESL")
        # A lock dies with its link.
        holder.lock_excl()
        holder.close()
        other.lock_excl()
        other.unlock()
    finally:
        for resource in (other, elsewhere):
            resource.close()


def test_the_wait_lock_flag_waits_for_the_lock_timeout(server):
    holder = vxi11.CoreClient("127.0.0.1")
    waiter = vxi11.CoreClient("127.0.0.1")
    error, holder_link, abort_port, _ = holder.create_link(1, 0, 0, "inst0")
    assert error == 0
    error, waiter_link, _, _ = waiter.create_link(2, 0, 0, "inst0")
    assert error == 0
    assert holder.device_lock(holder_link, 0, 0) == 0
    # Without the flag: refused at once; with it: refused after lock_timeout.
    assert waiter.device_write(waiter_link, 1000, 0, vxi11.OP_FLAG_END, b"*IDN?\n")[0] == LOCKED
    began = time.monotonic()
    assert waiter.device_lock(waiter_link, vxi11.OP_FLAG_WAIT_BLOCK, 300) == LOCKED
    assert time.monotonic() - began >= 0.29
    # Released while it waits: the write goes through.
    threading.Timer(0.3, lambda: holder.device_unlock(holder_link)).start()
    flags = vxi11.OP_FLAG_WAIT_BLOCK | vxi11.OP_FLAG_END
    assert waiter.device_write(waiter_link, 5000, 5000, flags, b"*IDN?\n") == (0, 6)
    error, reason, data = waiter.device_read(waiter_link, 1024, 2000, 0, 0, 0)
    assert error == 0 and reason & vxi11.RX_END and data.split(b",")[2] == b"KV0001"
    # Other procedures: no interrupt channel, no trigger, the abort channel answers.
    intr = holder.make_call(vxi11.CREATE_INTR_CHAN, (0x7F000001, 1234, 0x0607B1, 1, 0),
                            holder.packer.pack_device_remote_func_parms, holder.unpacker.unpack_device_error)
    assert intr == NOT_SUPPORTED
    assert holder.device_trigger(holder_link, 0, 0, 1000) == NOT_SUPPORTED
    abort = rpc.RawTCPClient("127.0.0.1", vxi11.DEVICE_ASYNC_PROG, vxi11.DEVICE_ASYNC_VERS, abort_port)
    abort.packer = vxi11.Vxi11Packer()
    abort.unpacker = vxi11.Vxi11Unpacker("")
    assert abort.make_call(vxi11.DEVICE_ABORT, holder_link, abort.packer.pack_device_link,
                           abort.unpacker.unpack_device_error) == 0
    abort.close()
    assert holder.destroy_link(holder_link) == 0
    assert holder.device_unlock(holder_link) == 4  # the link is gone
    waiter.destroy_link(waiter_link)
    holder.close()
    waiter.close()


def test_a_read_waiting_for_the_meter_stalls_no_other_link(korvel_program, sim_library):
    running = LanServer(korvel_program, sim_library, 2, "--latency", "0.3")
    try:
        slow = vxi11.CoreClient("127.0.0.1")
        quick = vxi11.CoreClient("127.0.0.1")
        _, slow_link, _, _ = slow.create_link(1, 0, 0, "inst0")
        _, quick_link, _, _ = quick.create_link(2, 0, 0, "inst1")
        result = {}

        def slow_query():
            slow.device_write(slow_link, 5000, 0, vxi11.OP_FLAG_END, b"*IDN?;*IDN?;*IDN?\n")
            result["slow"] = slow.device_read(slow_link, 4096, 10000, 0, 0, 0)

        reader = threading.Thread(target=slow_query)
        reader.start()
        time.sleep(0.1)  # the slow link's read is held by now
        began = time.monotonic()
        assert quick.device_lock(quick_link, 0, 0) == 0
        assert quick.device_unlock(quick_link) == 0
        assert time.monotonic() - began < 0.25
        reader.join(timeout=20)
        assert result["slow"][0] == 0 and result["slow"][2].count(b"KV0001") == 3
        slow.close()
        quick.close()
    finally:
        assert running.stop() == 0
