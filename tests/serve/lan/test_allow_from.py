"""--allow-from closes every door (socket, VXI-11, port mapper, page) to hosts
outside its networks; --allow-service beyond loopback needs it."""

from __future__ import annotations

import os
import socket
import subprocess

from lan_harness import LanServer, socket_query


def closed_at_once(port: int) -> bool:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        sock.settimeout(5)
        try:
            return sock.recv(1) == b""
        except ConnectionResetError:
            return True


def test_hosts_outside_the_networks_are_closed_at_every_door(korvel_program, sim_library):
    running = LanServer(korvel_program, sim_library, 1, "--allow-from", "10.0.0.0/8", "--allow-from", "fd00::/8")
    try:
        for port in (running.socket_ports[0], running.vxi11_port(), 111, running.http_port):
            assert closed_at_once(port), port
        assert closed_at_once(running.socket_ports[0])
        refused = [line for line in running.lines if "refused 127.0.0.1" in line]
        # Once a minute per address, however often and wherever it knocks.
        assert len(refused) == 1 and "(socket)" in refused[0], refused
    finally:
        assert running.stop() == 0
    running = LanServer(korvel_program, sim_library, 1, "--allow-from", "127.0.0.0/8")
    try:
        assert socket_query(running.socket_ports[0], "*IDN?")[0].split(",")[2] == "KV0001"
    finally:
        assert running.stop() == 0


def test_allow_service_beyond_loopback_needs_allow_from(korvel_program, sim_library):
    env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
    result = subprocess.run([korvel_program, "--simulate", "serve", "--bind", "0.0.0.0", "--port", "0",
                             "--allow-service"], capture_output=True, text=True, env=env, timeout=30)
    assert result.returncode == 2
    assert "--allow-from" in result.stderr and "calibration" in result.stderr
    bad = subprocess.run([korvel_program, "--simulate", "serve", "--allow-from", "10.1.2.3/8"],
                         capture_output=True, text=True, env=env, timeout=30)
    assert bad.returncode == 2 and "not a network" in bad.stderr
