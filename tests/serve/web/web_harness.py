"""A running `korvel serve --simulate --http 0` and plain HTTP requests to it,
with the Host, Origin and token headers a test chooses. Loopback only; every
server is stopped by the test that started it."""

from __future__ import annotations

import http.client
import json
import os
import re
import signal
import urllib.parse

from logged_process import LoggedProcess


class WebServer(LoggedProcess):
    """`korvel --simulate serve --http 0` on 127.0.0.1, its ports and log."""

    def __init__(self, program: str, sim_library: str, *options: str, scpi: bool = True,
                 latency: float | None = None, simulate_options: list | None = None) -> None:
        env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
        scpi_options = ["--port", "0"] if scpi else ["--no-scpi"]
        simulate = ["--simulate"] + (["--latency", str(latency)] if latency is not None else [])
        simulate += simulate_options or []
        super().__init__([program, *simulate, "serve", "--bind", "127.0.0.1", *scpi_options, "--http", "0",
                          *options], env)
        self.http_port = int(self.wait_for_log(r"page on http://127\.0\.0\.1:(\d+)/").group(1))
        self.scpi_port = None
        if scpi:
            self.scpi_port = int(self.wait_for_log(r"listening on 127\.0\.0\.1:(\d+)").group(1))
        self.url = f"http://127.0.0.1:{self.http_port}"

    def request(self, method: str, path: str, fields: dict | None = None, host: str | None = None,
                origin: str | None = None, token: str | None = None, timeout: float = 30):
        """(status, headers, body bytes) of one request."""
        connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        headers = {"Host": host if host is not None else f"127.0.0.1:{self.http_port}"}
        if origin is not None:
            headers["Origin"] = origin
        if token is not None:
            headers["X-Korvel-Token"] = token
        body = None
        if fields is not None:
            body = urllib.parse.urlencode(fields)
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def get_json(self, path: str):
        status, _, body = self.request("GET", path)
        assert status == 200, body
        return json.loads(body)

    def page_token(self) -> str:
        status, _, body = self.request("GET", "/")
        assert status == 200
        return re.search(rb'name="korvel-token" content="([0-9a-f]*)"', body).group(1).decode()

    def origin(self) -> str:
        return f"http://127.0.0.1:{self.http_port}"

    def change(self, path: str, fields: dict | None = None, token: str | None = None):
        """A change as the page makes it: POST, own Origin, the page's token."""
        return self.request("POST", path, fields or {}, origin=self.origin(),
                            token=self.page_token() if token is None else token)

    def scpi(self, line: str) -> str:
        import socket
        with socket.create_connection(("127.0.0.1", self.scpi_port), timeout=10) as sock:
            sock.sendall(line.encode() + b"\n")
            data = b""
            while not data.endswith(b"\n"):
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
        return data.decode().strip()

    def toggle_cable(self) -> None:
        self.process.send_signal(signal.SIGUSR1)

