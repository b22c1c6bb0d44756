"""Clients that come and go by the thousand, and one that never reads:
the log stays small (connections are counted per host, not logged one by
one), and replies the kernel holds for a client that never reads count
against --line-timeout."""

from __future__ import annotations

import socket
import time

from harness import IDENTITY


def test_connect_storm_keeps_the_log_small(server):
    for _ in range(600):
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
            sock.sendall(b"*IDN?\n")
            sock.recv(4096)
    client = server.connect()
    assert client.query("*IDN?") == IDENTITY
    client.close()
    assert server.stop() == 0
    size = sum(len(line) + 1 for line in server.lines)
    assert size < 4000, f"{size} bytes of log for 601 connections:\n" + "\n".join(server.lines[-20:])
    assert any("601 connections from 127.0.0.1 in the last minute" in line for line in server.lines), server.lines


def test_replies_held_by_the_kernel_count_against_line_timeout(start):
    server = start("--line-timeout", "1")
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # a small window fills quickly
    sock.connect(("127.0.0.1", server.port))
    sock.sendall(b"*IDN?\n" * 500)  # 13 KB of replies, never read: they fit in the kernel
    time.sleep(3.5)
    server.wait_for_log("replies not taken within --line-timeout", timeout=5)
    sock.close()
