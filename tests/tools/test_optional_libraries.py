"""The system libraries korvel opens only when a subcommand uses them
(libmosquitto, libavahi-client, libedit): the program does not link them, a
command that does not use them never opens them, and one that does names the
missing library and its package. KORVEL_MOSQUITTO_LIBRARY,
KORVEL_AVAHI_LIBRARY and KORVEL_LIBEDIT_LIBRARY name the file to open instead.
"""
import os
import pty
import re
import select
import socket
import subprocess
import time
from pathlib import Path

import pytest

KORVEL = os.environ.get("KORVEL_CLI", str(Path(__file__).resolve().parents[2] / "build" / "korvel"))
GONE = "/nonexistent/korvel-test"
ALL_GONE = {"KORVEL_MOSQUITTO_LIBRARY": f"{GONE}/libmosquitto.so.1",
            "KORVEL_AVAHI_LIBRARY": f"{GONE}/libavahi-client.so.3",
            "KORVEL_LIBEDIT_LIBRARY": f"{GONE}/libedit.so.2"}


def run(*args, env=None, stdin="", timeout=30):
    return subprocess.run([KORVEL, *args], input=stdin, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


def test_the_program_links_none_of_them():
    dynamic = subprocess.run(["readelf", "-d", KORVEL], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert needed, dynamic
    # A sanitizer build links the shared libtirpc: its runtime's XDR interceptors need it.
    sanitized = any("libasan" in n or "libtsan" in n for n in needed)
    for name in ("mosquitto", "avahi", "libedit", "ssl", "crypto", "dbus") + (() if sanitized else ("tirpc",)):
        assert not [n for n in needed if name in n], needed


@pytest.mark.parametrize("args, expected", [
    (["--version"], "korvel"),
    (["--simulate", "scpi", "*IDN?"], ","),
    (["--simulate", "read", "-n", "2", "--interval", "0"], "T"),
    (["--simulate", "info"], ""),
])
def test_commands_that_do_not_use_them_never_open_them(args, expected):
    result = run(*args, env=ALL_GONE)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout
    assert GONE not in result.stderr


def test_console_on_a_pipe_needs_no_line_editor():
    result = run("--simulate", "console", env=ALL_GONE, stdin="*IDN?\n")
    assert result.returncode == 0, result.stderr
    assert "," in result.stdout


def test_publish_to_a_plain_broker_needs_no_mqtt_library(tmp_path):
    # Its own client speaks plain MQTT; the readings wait in the spool for the broker that is not there.
    result = run("--simulate", "publish", "--broker", "mqtt://127.0.0.1:1", "-n", "1", "--flush-timeout", "0",
                 "--spool", str(tmp_path), env=ALL_GONE)
    assert result.returncode == 0, result.stderr
    assert GONE not in result.stderr and "1 reading taken" in result.stderr


def test_publish_over_tls_names_the_missing_library_and_its_package(tmp_path):
    result = run("--simulate", "publish", "--broker", "mqtts://127.0.0.1:1", "-n", "1", "--spool", str(tmp_path),
                 env=ALL_GONE)
    assert result.returncode != 0
    assert f"{GONE}/libmosquitto.so.1" in result.stderr and "libmosquitto1" in result.stderr, result.stderr
    assert "terminate called" not in result.stderr


def test_a_library_without_the_functions_is_named_with_the_first_missing_one(tmp_path):
    # libc is a real library, but no MQTT client.
    result = run("--simulate", "publish", "--broker", "mqtts://127.0.0.1:1", "-n", "1", "--spool", str(tmp_path),
                 env={"KORVEL_MOSQUITTO_LIBRARY": "libc.so.6"})
    assert result.returncode != 0
    assert "mosquitto_lib_init" in result.stderr and "libc.so.6" in result.stderr, result.stderr


def test_interactive_console_names_the_missing_line_editor():
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen([KORVEL, "--simulate", "console"], stdin=slave, stdout=slave,
                                   stderr=subprocess.PIPE, env={**os.environ, **ALL_GONE})
        _, stderr = process.communicate(timeout=30)
    finally:
        os.close(master)
        os.close(slave)
    assert process.returncode != 0
    text = stderr.decode()
    assert f"{GONE}/libedit.so.2" in text and "libedit2" in text, text


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_serve_without_avahi_says_so_and_serves():
    port = free_port()
    process = subprocess.Popen([KORVEL, "--simulate", "serve", "--port", str(port), "--no-vxi11"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env={**os.environ, **ALL_GONE})
    log = b""
    try:
        deadline = time.monotonic() + 20
        while b"DNS-SD" not in log and time.monotonic() < deadline:
            if select.select([process.stdout], [], [], 0.5)[0]:
                log += os.read(process.stdout.fileno(), 4096)
        with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
            client.sendall(b"*IDN?\n")
            answer = client.recv(256)
        assert b"," in answer
    finally:
        process.terminate()
        process.wait(timeout=10)
    text = log.decode(errors="replace")
    assert f"DNS-SD: off: korvel serve needs {GONE}/libavahi-client.so.3" in text, text
    assert "libavahi-client3" in text
