"""korvel serve --simulate driven by clients no one here wrote (PyVISA with
pyvisa-py, PyMeasure) and by raw sockets that misbehave. Loopback only."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

IDENTITY = "KORVEL,KV-100,KV0001,1.02"


class Server:
    """A running `korvel serve`, its port and its log."""

    def __init__(self, program: str, sim_library: str, *options: str) -> None:
        env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
        self.process = subprocess.Popen(
            [program, "serve", "--simulate", "--bind", "127.0.0.1", "--port", "0", *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        self.lines: list = []
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        match = self.wait_for_log(r"listening on 127\.0\.0\.1:(\d+)")
        self.port = int(match.group(1))

    def _read_log(self) -> None:
        for raw in self.process.stderr:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def wait_for_log(self, pattern: str, timeout: float = 30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                match = re.search(pattern, line)
                if match:
                    return match
            if self.process.poll() is not None and not self._reader.is_alive():
                break
            time.sleep(0.02)
        raise AssertionError(f"no log line matching {pattern!r}; log:\n" + "\n".join(self.lines))

    def connect(self, timeout: float = 10) -> "Client":
        return Client(self.port, timeout)

    def stop(self, signum=signal.SIGTERM) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signum)
        code = self.process.wait(timeout=30)
        self._reader.join(timeout=10)
        return code

    def visa(self):
        import pyvisa
        manager = pyvisa.ResourceManager("@py")
        return manager.open_resource(f"TCPIP0::127.0.0.1::{self.port}::SOCKET", read_termination="\n",
                                     write_termination="\n", timeout=10000)


class Client:
    """A raw socket client that reads whole lines."""

    def __init__(self, port: int, timeout: float) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def line(self) -> str:
        while b"\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("latin-1")

    def query(self, text: str) -> str:
        self.send(text.encode("latin-1") + b"\n")
        return self.line()

    def closed_by_server(self, timeout: float = 10) -> bool:
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
                self.pending += chunk
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def server(korvel_program, sim_library):
    running = Server(korvel_program, sim_library)
    yield running
    assert running.stop() == 0, "\n".join(running.lines)  # clean exit (sanitizer builds too)


# ------------------------------------------------------- PyVISA, PyMeasure

def test_pyvisa_identity_and_reading(server):
    instrument = server.visa()
    try:
        assert instrument.query("*IDN?") == IDENTITY
        assert re.fullmatch(r" *-?\d+\.\dG", instrument.query(":MEAS:FLUX?"))
        assert instrument.query("*IDN?;*STB?") == IDENTITY + ";000"
    finally:
        instrument.close()


@pytest.mark.parametrize("setting, query, expected", [
    (":SENS:FLUX:RANG 2", ":SENS:FLUX:RANG?", "2"),
    (":UNIT:FLUX:AC:TESL", ":UNIT:FLUX?", "AC TESLA"),
    (":SENS:HOLD:STAT 3", ":SENS:HOLD:STAT?", "3"),
    (":SYST:AREL:STAT 1", ":SYST:AREL:STAT?", "1"),
    ("*ESE 32", "*ESE?", "032"),
    (":STAT:QUES:ENAB 7", ":STAT:QUES:ENAB?", "007"),
])
def test_pyvisa_settings_round_trip(server, setting, query, expected):
    instrument = server.visa()
    try:
        instrument.write(setting)  # no reply comes back for a setting
        assert instrument.query(query) == expected
        assert instrument.query(":SYST:ERR?") == "0, NO ERROR"
    finally:
        instrument.close()


def test_pyvisa_error_queue(server):
    instrument = server.visa()
    try:
        assert instrument.query(":SENS:FLUX:RANG 9") == "Error: [0-2]"
        assert instrument.query("FOO?") == "Unknown Cmd: FOO?"
        assert instrument.query(":SYST:ERR?") == "-120, NUMERIC DATA ERROR"
        assert instrument.query(":SYST:ERR?") == "-100, COMMAND ERROR"
        assert instrument.query(":SYST:ERR?") == "0, NO ERROR"
    finally:
        instrument.close()


def test_pymeasure_instrument(server):
    from korvel.pymeasure import KorvelMeter
    meter = KorvelMeter(f"TCPIP0::127.0.0.1::{server.port}::SOCKET")
    try:
        assert meter.id == IDENTITY
        meter.units = "DC TESLA"
        assert meter.units == "DC TESLA"
        meter.range = 1
        assert meter.range == 1
        meter.hold = 0
        assert meter.hold == 0
        meter.auto_range = False
        assert re.fullmatch(r"-?\d\.\d{4}T", meter.field_text)
        assert meter.field == pytest.approx(0.0125, abs=5e-4)  # the simulated default
        meter.units = "DC GAUSS"
        assert meter.field == pytest.approx(0.0125, abs=5e-4)  # tesla whatever the units
        with pytest.raises(ValueError):
            meter.range = 5
        assert meter.check_errors() == []
        from korvel.pymeasure import MeterReplyError
        with pytest.raises(MeterReplyError, match=r"Error: \[0-2\]"):
            meter.write(":SENS:FLUX:RANG 7")  # a refusal is raised, not left unread
        assert meter.next_error() == (-120, "NUMERIC DATA ERROR")
        assert meter.range == 1
    finally:
        meter.adapter.connection.close()


# ---------------------------------------------------- several clients at once

def test_concurrent_clients_each_get_their_own_replies(server):
    failures = []

    def run(number):
        client = server.connect()
        try:
            for i in range(40):
                # Pipelined: two lines out, then two replies in order.
                client.send(b"*IDN?\n:SENS:FLUX:RANG?\n")
                assert client.line() == IDENTITY
                assert client.line() == "0"
        except Exception as error:
            failures.append(f"client {number}: {error!r}")
        finally:
            client.close()

    threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert failures == []


def test_a_client_that_never_reads_blocks_no_one(server):
    hog = server.connect()
    hog.sock.setblocking(False)
    flood = b"*IDN?\n" * 200
    sent = 0
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:  # until the kernel buffers are full
        try:
            sent += hog.sock.send(flood)
        except BlockingIOError:
            break
    other = server.connect(timeout=10)
    started = time.monotonic()
    for _ in range(20):
        assert other.query("*IDN?") == IDENTITY
    assert time.monotonic() - started < 10
    other.close()
    hog.close()


def test_a_client_stuck_mid_line_blocks_no_one(server):
    stuck = server.connect()
    stuck.send(b"*IDN")  # and nothing more
    other = server.connect()
    assert other.query("*IDN?") == IDENTITY
    stuck.send(b"?\n")  # the line completes later and is answered then
    assert stuck.line() == IDENTITY
    other.close()
    stuck.close()


def test_one_line_per_client_per_round(server):
    """A client with many lines queued does not hold up a one-line client.

    Line k of the busy client leaves k in two registers (*SRE high byte,
    *ESE low byte), so the quick client's answer tells how many of the busy
    client's lines ran before its own: with a turn each, only a few.
    """
    busy = server.connect(timeout=60)
    quick = server.connect(timeout=60)
    assert quick.query("*IDN?") == IDENTITY and busy.query("*IDN?") == IDENTITY
    lines = b"".join((f"*SRE {k >> 8};*ESE {k & 255};" * 7).rstrip(";").encode() + b"\n"
                     for k in range(1, 20001))
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


# ---------------------------------------------------------- service commands

SERVICE_LINES = [
    ":DIAG:DAT:EEPR 512 7", ":diag:dat:eepr 512 7", ":DIAGNOSTIC:DATA:EEPROM 512 7",
    ":DIAG:DAT:DAC 1 5", ":DIAG:REC", ":DIAG:RECALIBRATE", ":DIAG:MOD 1", ":DIAG:PWR 0",
    ":DIAG:MUX:RANG 3", ":DIAG:MUX:AMP 1", ":DIAG:MUX:CURR", "*IDN?;:DIAG:MOD 1",
    ":DIAX:REC", ":DIAG:DAT 1:EEPR 512 7",
]
PERMITTED_LINES = [
    (":DIAG:DAT:EEPR? 512", "255"), (":DIAG:SWV:DRIV", "1.01"), (" :DIAG:REC", None),
    (":DIAG:DAT:FREQ?", "0"), ("*IDN?", IDENTITY),
]


def test_service_commands_are_refused_and_reach_nothing(server):
    client = server.connect()
    for line in SERVICE_LINES:
        assert client.query(line).startswith("ERR: service command refused"), line
    assert client.query(":DIAG:DAT:EEPR? 512") == "255"  # the memory is untouched
    assert client.query(":SYST:ERR?") == "0, NO ERROR"
    for line, reply in PERMITTED_LINES:
        answer = client.query(line)
        assert not answer.startswith("ERR: service"), line
        if reply is not None:
            assert answer == reply, line
    client.close()


def test_allow_service_lets_them_through(korvel_program, sim_library):
    server = Server(korvel_program, sim_library, "--allow-service")
    try:
        assert "service commands allowed" in " ".join(server.lines)
        client = server.connect()
        assert client.query(":DIAG:DAT:EEPR 512 7") == "007"
        assert client.query(":DIAG:DAT:EEPR? 512") == "007"
        client.close()
    finally:
        server.stop()


# ------------------------------------------------------- lost meter, input

def test_a_lost_and_returning_meter(server):
    client = server.connect(timeout=30)
    assert client.query("*IDN?") == IDENTITY
    server.process.send_signal(signal.SIGUSR1)  # pull the simulated cable
    server.wait_for_log("cable pulled")
    assert client.query("*IDN?") == "USB Connection Problem"
    lost = server.wait_for_log(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+Z) korvel serve: lost the meter")
    assert lost
    assert client.query("*IDN?") == "USB Connection Problem"  # still unplugged
    server.process.send_signal(signal.SIGUSR1)  # plug it back in
    server.wait_for_log("plugged back in")
    deadline = time.monotonic() + 30
    reply = None
    while time.monotonic() < deadline:
        reply = client.query("*IDN?")
        if reply == IDENTITY:
            break
        assert reply == "USB Connection Problem"
        time.sleep(0.2)
    assert reply == IDENTITY
    server.wait_for_log("meter opened again")
    client.close()


@pytest.mark.parametrize("garbage, reply", [
    (b"\x00\x01\x02\n", "ERR: the line holds a NUL byte"),
    (b"*IDN?\x00:SYST:CLE\n", "ERR: the line holds a NUL byte"),
    (b"\xff\xfe\xfd\n", "Error: unrecognizable command"),
    (b"\t*IDN?\n", "Error: unrecognizable command"),
    (b":" * 200 + b"\n", "Error: command too long"),
    (bytes(range(1, 256)).replace(b"\n", b"") + b"\n", "Error: command too long"),
    (b"\x1b[A\x7f\n", "Error: unrecognizable command"),
    (b";;;\n", None), (b"\r\n", None), (b"\n", None),
])
def test_garbage_gets_answers_and_the_server_goes_on(server, garbage, reply):
    client = server.connect()
    client.send(garbage + b"*IDN?\n")
    if reply is not None:
        assert client.line() == reply
    assert client.line() == IDENTITY
    client.close()


def test_nul_bytes_are_refused_not_cut(server):
    client = server.connect()
    assert client.query("*ESE 8\x00;*ESE 16") == "ERR: the line holds a NUL byte"
    assert client.query("*ESE?") == "000"
    client.close()


def test_an_oversized_line_closes_only_that_client(server):
    other = server.connect()
    big = server.connect()
    big.send(b"*IDN?" + b"X" * 5000)
    assert big.closed_by_server()
    assert b"ERR: line too long" in big.pending
    assert other.query("*IDN?") == IDENTITY
    other.close()


def test_a_long_line_within_the_limit_is_answered(server):
    client = server.connect()
    assert client.query("*IDN?" + " " * 3000) == "Error: command too long"
    client.close()


def test_crlf_and_empty_replies(server):
    client = server.connect()
    client.send(b"*CLS\r\n:SENS:FLUX:RANG 1\r\n\r\n*IDN?\r\n")
    assert client.line() == IDENTITY  # nothing came back for the settings
    client.close()


# --------------------------------------------------------- server lifecycle

@pytest.mark.parametrize("signum, name", [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")])
def test_signals_stop_the_server_cleanly(korvel_program, sim_library, signum, name):
    server = Server(korvel_program, sim_library)
    client = server.connect()
    assert client.query("*IDN?") == IDENTITY
    assert server.stop(signum) == 0
    assert any(f"stopping on {name}" in line for line in server.lines)
    assert client.closed_by_server()


def test_idle_clients_time_out(korvel_program, sim_library):
    server = Server(korvel_program, sim_library, "--idle-timeout", "0.5")
    try:
        idle = server.connect()
        assert idle.closed_by_server(timeout=15)
        server.wait_for_log("idle, timed out")
    finally:
        server.stop()


def test_too_many_clients_are_turned_away(korvel_program, sim_library):
    server = Server(korvel_program, sim_library, "--max-clients", "1")
    try:
        first = server.connect()
        assert first.query("*IDN?") == IDENTITY
        second = server.connect()
        assert second.line() == "ERR: too many clients"
        assert second.closed_by_server()
        assert first.query("*IDN?") == IDENTITY
    finally:
        server.stop()


def test_no_meter_is_exit_code_3(korvel_program, sim_library):
    done = subprocess.run([korvel_program, "serve", "--simulate", "--meters", "0", "--port", "0"],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, KORVEL_SIM_LIBRARY=sim_library))
    assert done.returncode == 3
    assert "no meter" in done.stderr
