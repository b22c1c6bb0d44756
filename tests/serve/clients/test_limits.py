"""No client can hold up another, and none can hold the server: slow
readers, trickling and stuck lines, bursts of connections, a full server, a
missing or lost meter, an unread standard output. The bounds asserted here
are generous (a loaded machine must not fail them); the figures themselves
are measured by bench/serve_load.py."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import threading
import time

import pytest

from harness import IDENTITY, Client

PROBLEM = "USB Connection Problem"
GENEROUS = 0.5  # seconds: far above the milliseconds a reply takes


def probe(client, seconds: float, line: str = "*IDN?") -> list:
    """Queries for that long; returns (latency, reply) pairs."""
    replies = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        started = time.monotonic()
        reply = client.query(line)
        replies.append((time.monotonic() - started, reply))
        time.sleep(0.02)
    return replies


# ------------------------------------------------------------ several clients

def test_concurrent_clients_each_get_their_own_replies(server):
    failures = []

    def run(number):
        client = server.connect()
        try:
            for _ in range(40):
                client.send(b"*IDN?\n:SENS:FLUX:RANG?\n")  # pipelined: two lines, two replies in order
                assert client.line() == IDENTITY
                assert client.line() == "0"
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(f"client {number}: {error!r}")
        finally:
            client.close()

    threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert failures == []


def test_one_line_per_client_per_round(server):
    """A client with many lines queued does not hold up a one-line client.
    Line k of the busy client leaves k in *SRE (high byte) and *ESE (low
    byte), so the quick client's answer tells how many ran before its own."""
    busy = server.connect(timeout=60)
    quick = server.connect(timeout=60)
    assert quick.query("*IDN?") == IDENTITY and busy.query("*IDN?") == IDENTITY
    lines = b"".join(f"*SRE {k >> 8};*ESE {k & 255}\n".encode() for k in range(1, 20001))
    sender = threading.Thread(target=busy.send, args=(lines,))
    sender.start()
    time.sleep(0.01)  # the busy client's lines are queued first
    sre, ese = quick.query("*SRE?;*ESE?").split(";")
    done = int(sre) * 256 + int(ese)
    sender.join(timeout=60)
    assert quick.query("*IDN?") == IDENTITY
    assert done < 15000, f"{done} of the busy client's lines ran before the quick client's one"
    busy.close()
    quick.close()


def test_a_client_that_never_reads_blocks_no_one_and_is_dropped(start):
    server = start("--line-timeout", "2")
    hog = server.connect()
    hog.sock.setblocking(False)
    flood = b"*IDN?\n" * 200
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:  # until the kernel buffers are full
        try:
            hog.sock.send(flood)
        except BlockingIOError:
            break
    other = server.connect()
    assert all(latency < GENEROUS and reply == IDENTITY for latency, reply in probe(other, 1))
    server.wait_for_log("replies not taken within --line-timeout", timeout=30)
    other.close()
    hog.close()


def test_sixteen_trickling_clients_do_not_slow_a_probe(start):
    server = start("--line-timeout", "3")
    tricklers = [server.connect() for _ in range(16)]
    stop = threading.Event()

    def trickle():
        while not stop.is_set():
            for client in tricklers:
                try:
                    client.send(b"*")  # a line that never ends
                except OSError:
                    pass
            stop.wait(0.25)

    thread = threading.Thread(target=trickle)
    thread.start()
    try:
        other = server.connect()
        replies = probe(other, 2)
        assert all(reply == IDENTITY for _, reply in replies)
        assert max(latency for latency, _ in replies) < GENEROUS
        # Each trickler is dropped once its line is older than --line-timeout.
        assert all(client.closed_by_server(timeout=15) for client in tricklers)
    finally:
        stop.set()
        thread.join()


def test_a_client_stuck_mid_line_blocks_no_one(server):
    stuck = server.connect()
    stuck.send(b"*IDN")  # and nothing more, for now
    other = server.connect()
    assert other.query("*IDN?") == IDENTITY
    stuck.send(b"?\n")  # the line completes within --line-timeout and is answered
    assert stuck.line() == IDENTITY


def test_five_hundred_simultaneous_connections_are_all_served(server):
    async def one():
        reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
        writer.write(b"*IDN?\n")
        await writer.drain()
        line = await asyncio.wait_for(reader.readline(), 60)
        writer.close()
        await writer.wait_closed()
        return line.decode().rstrip("\n")

    async def everyone():
        return await asyncio.gather(*(one() for _ in range(500)), return_exceptions=True)

    replies = asyncio.run(everyone())
    assert [r for r in replies if r != IDENTITY] == []


def test_a_full_server_closes_its_longest_idle_client_for_a_newcomer(start):
    server = start("--max-clients", "2")
    idle = server.connect()
    assert idle.query("*IDN?") == IDENTITY
    busy = server.connect()
    busy.send(b"*IDN")  # mid-line: not idle
    time.sleep(1.2)  # the idle one has been idle over a second
    # Full, but nobody waits: the idle client keeps its place.
    assert idle.nothing_within(0.5)
    assert idle.query("*IDN?") == IDENTITY
    time.sleep(1.2)
    newcomer = server.connect()
    assert newcomer.query("*IDN?") == IDENTITY
    assert idle.closed_by_server()
    server.wait_for_log("closed to make room")
    busy.send(b"?\n")
    assert busy.line() == IDENTITY


def test_a_newcomer_waits_while_no_client_is_idle(start):
    server = start("--max-clients", "1")
    first = server.connect()
    first.send(b"*IDN")  # holds the only place, mid-line
    late = server.connect()
    late.send(b"*IDN?\n")
    assert late.nothing_within(0.5)  # waits in the listen queue, not refused
    first.send(b"?\n")
    assert first.line() == IDENTITY
    first.close()
    assert late.line() == IDENTITY


def test_an_oversized_line_closes_only_that_client(server):
    other = server.connect()
    big = server.connect()
    big.send(b"*IDN?" + b"X" * 5000)
    assert big.closed_by_server()
    assert b"ERR: line too long" in big.pending
    assert other.query("*IDN?") == IDENTITY


def test_idle_clients_time_out_only_when_asked(start):
    server = start("--idle-timeout", "0.5")
    idle = server.connect()
    assert idle.closed_by_server(timeout=15)
    server.wait_for_log("idle, timed out")
    patient = start().connect()  # the default: never
    assert patient.nothing_within(1.5)
    assert patient.query("*IDN?") == IDENTITY


# --------------------------------------------------------------- the meter

def test_the_outage_never_holds_a_client_up(start):
    server = start("--unplug-after", "1")
    client = server.connect()
    replies = probe(client, 5)
    texts = [reply for _, reply in replies]
    assert texts[0] == IDENTITY and texts[-1] == PROBLEM
    assert set(texts) == {IDENTITY, PROBLEM}
    assert max(latency for latency, _ in replies) < GENEROUS
    server.wait_for_log("lost the meter")


def test_serving_every_meter_pulls_one_cable_once(start):
    # --unplug-after counts from the run's first open and pulls that meter's
    # cable only, however many meters are served.
    server = start("--meters", "2", "--all", "--unplug-after", "0.5")
    second_port = int(server.wait_for_log(r"listening on 127\.0\.0\.1:(\d+) for inst1").group(1))
    first, second = server.connect(), Client(second_port, 10)
    assert first.query("*IDN?") == IDENTITY
    assert second.query("*IDN?") == "KORVEL,KV-100,KV0002,1.02"
    time.sleep(1.0)
    assert first.query("*IDN?") == PROBLEM
    assert second.query("*IDN?") == "KORVEL,KV-100,KV0002,1.02"


def test_a_lost_and_returning_meter(server):
    client = server.connect(timeout=30)
    assert client.query("*IDN?") == IDENTITY
    server.process.send_signal(signal.SIGUSR1)  # pull the simulated cable
    server.wait_for_log("cable pulled")
    assert client.query("*IDN?") == PROBLEM
    client.send(b"*CLS\n")  # a line without a query gets nothing, meter or not
    assert client.query("*IDN?") == PROBLEM
    server.process.send_signal(signal.SIGUSR1)  # plug it back in
    server.wait_for_log("plugged back in")
    server.wait_for_log("meter opened again")
    assert client.query("*IDN?") == IDENTITY


def test_without_a_meter_the_server_waits_for_one(start, korvel_program, sim_library):
    server = start("--meters", "0")
    server.wait_for_log("cannot be opened yet")
    client = server.connect()
    started = time.monotonic()
    assert client.query("*IDN?") == PROBLEM
    assert time.monotonic() - started < GENEROUS
    done = subprocess.run([korvel_program, "serve", "--simulate", "--meters", "0", "--port", "0", "--no-wait"],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, KORVEL_SIM_LIBRARY=sim_library))
    assert done.returncode == 3
    assert "no meter" in done.stderr


def test_an_unread_standard_output_never_blocks_the_server(start):
    # The library prints a line per memory read; 5,000 of them overflow any pipe.
    server = start(stdout=subprocess.PIPE)
    client = server.connect(timeout=30)
    byte = client.query(":DIAG:DAT:EEPR? 16")
    assert byte.isdigit()
    line = ";".join([":DIAG:DAT:EEPR? 16"] * 100)
    for _ in range(50):
        assert client.query(line) == ";".join([byte] * 100)
    assert client.query("*IDN?") == IDENTITY


@pytest.mark.parametrize("signum, name", [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")])
def test_signals_stop_the_server_cleanly(start, signum, name):
    server = start()
    client = server.connect()
    assert client.query("*IDN?") == IDENTITY
    assert server.stop(signum) == 0
    assert any("stopping on" in line and name in line for line in server.lines)
    assert client.closed_by_server()
