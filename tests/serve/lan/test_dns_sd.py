"""DNS-SD: with an Avahi daemon of the tier's own (its own D-Bus, in the
tier's network and mount namespace, loopback with multicast on),
avahi-browse and `lxi discover -m` find the server; without one the server
says so once and serves on."""

from __future__ import annotations

import pwd
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from lan_harness import LanServer, socket_query

AVAHI_CONFIG = """[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
"""


@pytest.fixture
def avahi(tmp_path):
    if shutil.which("avahi-daemon") is None or shutil.which("dbus-daemon") is None:
        pytest.skip("avahi-daemon or dbus-daemon is not installed")
    try:
        pwd.getpwnam("avahi")
    except KeyError:
        pytest.skip("no 'avahi' user: avahi-daemon exits without one")
    if subprocess.run(["ip", "link", "set", "lo", "multicast", "on"]).returncode != 0:
        pytest.skip("cannot turn multicast on for the namespace's loopback")
    for folder in ("/run/dbus", "/run/avahi-daemon"):
        Path(folder).mkdir(exist_ok=True)
    bus = subprocess.Popen(["dbus-daemon", "--system", "--nofork", "--nopidfile"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    config = tmp_path / "avahi-daemon.conf"
    config.write_text(AVAHI_CONFIG)
    daemon = None
    try:
        deadline = time.monotonic() + 10
        while not Path("/run/dbus/system_bus_socket").exists():
            assert time.monotonic() < deadline, "dbus-daemon did not start"
            time.sleep(0.02)
        daemon = subprocess.Popen(["avahi-daemon", "-f", str(config), "--no-chroot", "--no-rlimits"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        while subprocess.run(["avahi-browse", "-a", "-t", "-p"], capture_output=True).returncode != 0:
            assert time.monotonic() < deadline and daemon.poll() is None, "avahi-daemon did not start"
            time.sleep(0.1)
        yield daemon
    finally:
        for process in (daemon, bus):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait(timeout=10)


def test_avahi_browse_and_lxi_discover_find_every_service(korvel_program, sim_library, avahi):
    running = LanServer(korvel_program, sim_library)
    try:
        running.wait_for_log(r"DNS-SD: announced 5 services")
        deadline = time.monotonic() + 10
        while True:
            found = subprocess.run(["avahi-browse", "-a", "-t", "-r", "-p"], capture_output=True, text=True,
                                   timeout=30).stdout
            resolved = {tuple(line.split(";")[3:5]) + (line.split(";")[8],) for line in found.splitlines()
                        if line.startswith("=")}
            if len(resolved) >= 5 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        ports = running.socket_ports
        assert ("Korvel\\032KV0001\\032\\040inst0\\041", "_scpi-raw._tcp", str(ports[0])) in resolved
        assert ("Korvel\\032KV0002\\032\\040inst1\\041", "_scpi-raw._tcp", str(ports[1])) in resolved
        assert ("Korvel\\032KV0001", "_lxi._tcp", str(running.http_port)) in resolved
        assert ("Korvel\\032KV0001", "_vxi-11._tcp", "111") in resolved
        discovered = subprocess.run(["lxi", "discover", "-m"], capture_output=True, text=True, timeout=60).stdout
        assert "lxi service on port %d" % running.http_port in discovered
        assert "scpi-raw service on port %d" % ports[1] in discovered
    finally:
        assert running.stop() == 0


def test_without_avahi_the_server_says_so_once(korvel_program, sim_library):
    running = LanServer(korvel_program, sim_library, 1)
    try:
        assert "no Avahi daemon" in running.wait_for_log(r"DNS-SD: off: .*").group(0)
        assert socket_query(running.socket_ports[0], "*IDN?")[0].split(",")[2] == "KV0001"
        assert sum("DNS-SD" in line for line in running.lines) == 1
    finally:
        assert running.stop() == 0
