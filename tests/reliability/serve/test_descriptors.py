"""The server runs out of file descriptors: it must neither spin nor leave a
newcomer without an answer. Each newcomer is served or told "too many
clients"; the server's CPU time over the episode stays far below a core
(the bound is generous: a spinning loop uses the whole window)."""

from __future__ import annotations

import socket
import time

IDENTITY = "KORVEL,KV-100,KV0001,1.02"
CLIENTS = 80
WINDOW = 2.0  # seconds the clients are held while the CPU time is measured


def line_of(sock) -> str:
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode("latin-1").strip()


def test_scpi_port_out_of_descriptors(start):
    server = start("--max-clients", "200", nofile=64)
    socks = [socket.create_connection(("127.0.0.1", server.scpi_port), timeout=10) for _ in range(CLIENTS)]
    for sock in socks:
        sock.sendall(b"*IDN?\n")
    answers = [line_of(sock) for sock in socks]
    served = answers.count(IDENTITY)
    refused = answers.count("ERR: too many clients")
    assert served + refused == CLIENTS, answers
    assert served > 20 and refused > 0, (served, refused)
    before = server.cpu_seconds()
    time.sleep(WINDOW)  # the served clients hold their descriptors; more keep knocking
    for _ in range(20):
        with socket.create_connection(("127.0.0.1", server.scpi_port), timeout=10) as late:
            assert line_of(late) == "ERR: too many clients"
    used = server.cpu_seconds() - before
    assert used < 0.5 * WINDOW, f"{used:.2f} s of CPU in {WINDOW} s: the loop spins"
    assert len(server.logged("out of file descriptors")) == 1  # once per episode
    for sock in socks:
        sock.close()
    time.sleep(0.3)
    with socket.create_connection(("127.0.0.1", server.scpi_port), timeout=10) as again:
        again.sendall(b"*IDN?\n")
        assert line_of(again) == IDENTITY
    server.wait_for_log("descriptors free again; [0-9]+ newcomers")


def scrape(port: int, timeout: float = 1.0) -> str:
    """The status of GET /metrics on a connection of its own."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
        head = sock.recv(65536).decode("latin-1")
    return head.split(" ", 2)[1] if head else "closed"


def test_page_out_of_descriptors(start):
    """More connections than descriptors: the newest is served (the
    connection that waited longest for its request makes room), the server
    does not spin, and /metrics is still scraped within a second."""
    server = start(nofile=40, scpi=False, http=True)
    socks = [socket.create_connection(("127.0.0.1", server.http_port), timeout=10) for _ in range(CLIENTS)]
    before = server.cpu_seconds()
    time.sleep(WINDOW)
    used = server.cpu_seconds() - before
    assert used < 0.5 * WINDOW, f"{used:.2f} s of CPU in {WINDOW} s: the accept loop spins"
    started = time.monotonic()
    assert scrape(server.http_port) == "200"
    assert time.monotonic() - started < 1.0
    statuses = []
    for _ in range(10):  # one after another, each held open: each is served
        statuses.append(scrape(server.http_port))
    assert statuses == ["200"] * 10, statuses
    for sock in socks:
        sock.close()
