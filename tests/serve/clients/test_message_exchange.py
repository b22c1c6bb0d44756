"""What a client's bytes become, on raw sockets: message exchange (the
default), the meter's own dialect with --raw, service commands, line ends."""

from __future__ import annotations

import socket

import pytest

from harness import IDENTITY


def test_only_lines_with_queries_are_answered(server):
    client = server.connect()
    client.send(b"*CLS\n:SENS:FLUX:RANG 9\n:SENS:FLUX:RANG 1\n*OPC?\n")
    assert client.line() == "1"  # nothing came for the three settings, refused or not
    assert client.query("SENS:FLUX:RANG?;:SYST:ERR?;:SYST:ERR?") == "1;-120, NUMERIC DATA ERROR;0, NO ERROR"
    assert client.query("*IDN?;*WAI;*OPC?;*TST?") == IDENTITY + ";1;0"
    client.send(b"*RST\n")
    assert client.query(":SYST:ERR?") == "-100, COMMAND ERROR"
    client.close()


@pytest.mark.parametrize("line, error", [
    (":SENS:HOLD:STAT 9", "-120, NUMERIC DATA ERROR"),
    (":SENS:FLUX:RANG", "-102, SYNTAX ERROR"),
    (":SYST:AREL:STAT 3", "-120, NUMERIC DATA ERROR"),
    ("FOO", "-100, COMMAND ERROR"),
    (":SENS:FLUX:RANG " + "1" * 140, "-363, INPUT BUFFER OVERRUN"),
    (":DIAG:DAT:PROB? 256", "-120, NUMERIC DATA ERROR"),
    (":DIAG:DAT:EEPR? 65536", "-120, NUMERIC DATA ERROR"),
    (":DIAG:MOD 1", "-100, COMMAND ERROR"),  # a service command, refused by the bridge
])
def test_every_refusal_is_readable_from_the_error_queue(server, line, error):
    client = server.connect()
    if "?" in line:
        assert client.query(line).startswith(("ERR", "Error"))  # a query answers its refusal too
    else:
        client.send(line.encode() + b"\n")  # a setting answers nothing
    assert client.query(":SYST:ERR?") == error
    assert client.query(":SYST:ERR?") == "0, NO ERROR"
    client.close()


@pytest.mark.parametrize("ending", [b"\n", b"\r\n", b"\r"])
def test_line_ends(server, ending):
    client = server.connect()
    client.send(b"*IDN?" + ending + b":SENS:FLUX:RANG?" + ending)
    assert [client.line(), client.line()] == [IDENTITY, "0"]
    client.close()


def test_a_last_line_without_its_end_is_answered_on_half_close(server):
    client = server.connect()
    client.send(b"*CLS\n*IDN?")
    client.sock.shutdown(socket.SHUT_WR)
    assert client.line() == IDENTITY
    assert client.closed_by_server()


def test_raw_keeps_the_meters_own_dialect(start):
    server = start("--raw")
    client = server.connect()
    assert client.query(":SENS:FLUX:RANG 9") == "Error: [0-2]"
    assert client.query("*OPC?") == "1;"
    assert client.query("FOO?") == "Unknown Cmd: FOO?"
    assert client.query(":DIAG:MOD 1").startswith("ERR: service command refused")
    client.close()


@pytest.mark.parametrize("garbage, reply", [
    (b"\x00\x01\x02\n", "ERR: the line holds a NUL byte"),
    (b"*IDN?\x00:SYST:CLE\n", "ERR: the line holds a NUL byte"),
    (b"\xff\xfe\xfd\n", "Error: unrecognizable command"),
    (b"\t*IDN?\n", "Error: unrecognizable command"),
    (b":" * 200 + b"\n", "Error: command too long"),
    (b"\x1b[A\x7f\n", "Error: unrecognizable command"),
    (b";;;\n", None), (b"\r\n", None), (b"\n", None),
])
def test_raw_garbage_gets_answers_and_the_server_goes_on(start, garbage, reply):
    client = start("--raw").connect()
    client.send(garbage + b"*IDN?\n")
    if reply is not None:
        assert client.line() == reply
    assert client.line() == IDENTITY
    client.close()


def test_garbage_never_desynchronises_message_exchange(server):
    client = server.connect()
    for garbage in (b"\x00\x01\x02", b"\xff\xfe\xfd", b"\x1b[A\x7f", b":" * 200, b";;;", b""):
        client.send(garbage + b"\n")
    assert client.query("*IDN?") == IDENTITY
    client.close()


def test_nul_bytes_are_refused_not_cut(server):
    client = server.connect()
    assert client.query("*ESE 8\x00;*ESE?") == "ERR: the line holds a NUL byte"
    assert client.query("*ESE?;:SYST:ERR?") == "000;-102, SYNTAX ERROR"
    client.close()


SERVICE_LINES = [
    ":DIAG:DAT:EEPR 512 7", ":diag:dat:eepr 512 7", ":DIAGNOSTIC:DATA:EEPROM 512 7", "DIAG:DAT:EEPR 512 7",
    ":DIAG:DAT:DAC 1 5", ":DIAG:REC", ":DIAG:RECALIBRATE", ":DIAG:MOD 1", ":DIAG:PWR 0",
    ":DIAG:MUX:RANG 3", ":DIAG:MUX:AMP 1", "*IDN?;:DIAG:MOD 1", " :DIAG:REC",
]


def test_service_commands_are_refused_and_reach_nothing(server):
    client = server.connect()
    for line in SERVICE_LINES:
        client.send(line.encode() + b";*OPC?\n")
        assert client.line().startswith("ERR: service command refused"), line
    assert client.query(":DIAG:DAT:EEPR? 512") == "255"  # the memory is untouched
    assert client.query(":DIAG:SWV:DRIV?;*IDN?") == "1.01;" + IDENTITY
    client.close()


def test_allow_service_lets_them_through(start):
    server = start("--allow-service")
    assert "service commands allowed" in " ".join(server.lines)
    client = server.connect()
    client.send(b":DIAG:DAT:EEPR 512 7\n")
    assert client.query(":DIAG:DAT:EEPR? 512") == "007"
    client.close()
