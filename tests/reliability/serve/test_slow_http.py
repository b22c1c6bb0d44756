"""Slow HTTP clients (a request line, then a header line now and then) must
not shut out the page or Prometheus: /metrics is answered within a second
while hundreds of them are held, each is closed at its request deadline,
and past the connection cap the one that has waited longest goes first."""

from __future__ import annotations

import socket
import time

from test_descriptors import scrape

SLOW = 400


def open_slow(port: int, count: int) -> list:
    socks = []
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        sock.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())  # and never the blank line
        socks.append(sock)
    return socks


def closed_by_server(sock, timeout: float) -> bool:
    sock.settimeout(timeout)
    try:
        return sock.recv(4096) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def test_metrics_scraped_while_slow_clients_are_held(start):
    server = start(scpi=False, http=True)
    started = time.monotonic()
    socks = open_slow(server.http_port, SLOW)
    opened = time.monotonic() - started
    assert opened < 5, f"{SLOW} connects took {opened:.1f} s (listen queue too short?)"
    for _ in range(5):
        began = time.monotonic()
        assert scrape(server.http_port) == "200"
        assert time.monotonic() - began < 1.0
    for sock in socks:
        sock.send(b"X-Slow: 1\r\n")  # a header line now and then does not extend the deadline
    # Each request had two seconds from its first byte.
    assert all(closed_by_server(sock, 5) for sock in socks)
    assert time.monotonic() - started < 10
    for sock in socks:
        sock.close()


def test_past_the_cap_the_longest_waiting_connection_goes_first(start):
    # 300 descriptors leave room for about 236 connections.
    server = start(scpi=False, http=True, nofile=300)
    first = open_slow(server.http_port, 100)
    time.sleep(0.2)
    later = open_slow(server.http_port, 200)
    began = time.monotonic()
    assert scrape(server.http_port) == "200"
    assert time.monotonic() - began < 1.0
    # The cap was passed: the oldest waiting made room, the newest stay.
    assert not any(closed_by_server(sock, 0.001) for sock in later[-50:])
    assert sum(closed_by_server(sock, 0.001) for sock in first) >= 50
    for sock in first + later:
        sock.close()
