"""A running `korvel serve --simulate` and raw socket clients, for the tests
that drive it from outside. Loopback only; every server is stopped by the
test that started it."""

from __future__ import annotations

import os
import socket
import subprocess

from logged_process import LoggedProcess

IDENTITY = "KORVEL,KV-100,KV0001,1.02"


class Server(LoggedProcess):
    """A running `korvel serve`, its port and its log."""

    def __init__(self, program: str, sim_library: str, *options: str, stdout=subprocess.DEVNULL,
                 simulate: tuple = ("--simulate", "--latency", "0")) -> None:
        env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
        super().__init__([program, *simulate, "serve", "--bind", "127.0.0.1", "--port", "0", *options], env,
                         stdout)
        match = self.wait_for_log(r"listening on 127\.0\.0\.1:(\d+)")
        self.port = int(match.group(1))
        self.resource = f"TCPIP0::127.0.0.1::{self.port}::SOCKET"

    def connect(self, timeout: float = 10) -> "Client":
        return Client(self.port, timeout)

    def visa(self, **options):
        import pyvisa
        manager = pyvisa.ResourceManager("@py")
        settings = dict(read_termination="\n", write_termination="\n", timeout=10000)
        settings.update(options)
        return manager.open_resource(self.resource, **settings)


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

    def nothing_within(self, seconds: float) -> bool:
        """True when no byte arrives for that long."""
        self.sock.settimeout(seconds)
        try:
            chunk = self.sock.recv(4096)
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(10)
        self.pending += chunk
        return False

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
