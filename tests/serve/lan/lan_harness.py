"""`korvel --simulate --meters N serve --all` on 127.0.0.1 with its page, and
the clients the tests use."""

from __future__ import annotations

import os
import re
import socket

from web_harness import WebServer


class LanServer(WebServer):
    def __init__(self, program: str, sim_library: str, meters: int = 2, *options: str) -> None:
        self.meters = meters
        super().__init__(program, sim_library, "--all", *options, simulate_options=["--meters", str(meters)])
        self.socket_ports = [int(m) for m in re.findall(r"listening on 127\.0\.0\.1:(\d+)",
                                                        "\n".join(self.lines))]

    def vxi11_port(self) -> int:
        return int(self.wait_for_log(r"VXI-11 on 127\.0\.0\.1:(\d+)").group(1))


def socket_query(port: int, *lines: str) -> list:
    """Sends lines over one raw socket connection; the answers of the queries."""
    answers = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        reader = sock.makefile("rb")
        for line in lines:
            sock.sendall(line.encode() + b"\n")
            if "?" in line:
                answers.append(reader.readline().decode().strip())
    return answers


def visa():
    import pyvisa
    return pyvisa.ResourceManager("@py")
