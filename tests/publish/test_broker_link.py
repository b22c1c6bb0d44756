"""korvel publish's own MQTT client against brokers that misbehave, played
by a few lines of Python on a loopback port: whatever the broker sends,
the publisher neither hangs nor crashes, and it never counts as delivered
a reading the broker did not acknowledge."""

from __future__ import annotations

import socket
import subprocess
import threading

from conftest import free_port


class FakeBroker:
    """Accepts every connection, reads what comes, and answers each with
    `reply` (bytes) once the client's first bytes arrived."""

    def __init__(self, reply: bytes):
        self.port = free_port()
        self.server = socket.create_server(("127.0.0.1", self.port))
        self.server.settimeout(0.2)
        self.reply = reply
        self.connections = 0
        self.received = bytearray()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        clients = []
        while not self.stop.is_set():
            try:
                client, _ = self.server.accept()
            except socket.timeout:
                continue
            self.connections += 1
            clients.append(client)
            client.settimeout(2)
            try:
                self.received += client.recv(65536)
                client.sendall(self.reply)
                client.settimeout(0.5)
                while not self.stop.is_set():
                    data = client.recv(65536)
                    if not data:
                        break
                    self.received += data
            except OSError:
                pass
        for client in clients:
            client.close()

    def close(self):
        self.stop.set()
        self.thread.join()
        self.server.close()


def publish_against(reply, program, env, tmp_path):
    """Five readings for a broker that answers `reply`; the finished process and the broker."""
    broker = FakeBroker(reply)
    try:
        process = subprocess.run([program, "--simulate", "publish", "--broker", f"mqtt://127.0.0.1:{broker.port}",
                                  "-n", "5", "--interval", "0.01", "--flush-timeout", "3", "--spool", str(tmp_path)],
                                 capture_output=True, text=True, env=env, timeout=60)
    finally:
        broker.close()
    assert process.returncode == 0, process.stderr
    assert len((tmp_path / "KV0001.spool").read_text().splitlines()) == 5  # every reading kept
    return process, broker


def test_a_packet_longer_than_the_client_takes_closes_the_connection_and_keeps_the_readings(
        korvel_program, sim_env, tmp_path):
    # A CONNACK announcing 268 MB of body: the client leaves rather than wait for it.
    process, _ = publish_against(bytes([0x20, 0xff, 0xff, 0xff, 0x7f]), korvel_program, sim_env, tmp_path)
    assert "a packet this client cannot take" in process.stderr
    assert "5 readings taken, 0 published" in process.stderr


def test_acknowledgements_of_messages_never_sent_deliver_nothing(korvel_program, sim_env, tmp_path):
    # Accepted, then PUBACKs for ids 1 to 300 before any message was sent,
    # and a packet type no client expects: none of it may empty the spool.
    pubacks = b"".join(bytes([0x40, 2, i >> 8, i & 0xff]) for i in range(1, 301))
    process, broker = publish_against(bytes([0x20, 2, 0, 0]) + pubacks + bytes([0x82, 0]), korvel_program, sim_env,
                                      tmp_path)
    assert "5 readings taken" in process.stderr and "left in" in process.stderr, process.stderr
    # What it sent: a CONNECT first, then PUBLISH packets (0x3x).
    assert broker.received[0] == 0x10
    assert b"korvel/KV0001/reading" in broker.received


def test_a_wildcard_in_the_topic_prefix_is_refused_before_anything_starts(korvel_program, sim_env, tmp_path):
    process = subprocess.run([korvel_program, "--simulate", "publish", "--broker", "mqtt://127.0.0.1:1",
                              "--topic-prefix", "plant/+", "-n", "1", "--spool", str(tmp_path)],
                             capture_output=True, text=True, env=sim_env, timeout=30)
    assert process.returncode == 2
    assert "--topic-prefix" in process.stderr and "wildcards" in process.stderr
    assert not (tmp_path / "KV0001.spool").exists()
