"""korvel serve under attack: its own descriptors run out, slow HTTP clients
hold connections. Servers run on 127.0.0.1 with the simulated meter, are
started by their test (with the descriptor limit it chooses) and stopped by it."""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[2]
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests
from logged_process import LoggedProcess  # noqa: E402


class Served(LoggedProcess):
    """`korvel --simulate serve` with the SCPI port, the page, or both."""

    def __init__(self, program, sim_library, *options, nofile=None, scpi=True, http=False):
        env = dict(os.environ, KORVEL_SIM_LIBRARY=sim_library)
        command = [program, "--simulate", "--latency", "0", "serve", "--bind", "127.0.0.1"]
        command += ["--port", "0"] if scpi else ["--no-scpi"]
        command += ["--http", "0"] if http else []
        if nofile is not None:  # the limit holds for the server from its start
            command = ["prlimit", f"--nofile={nofile}:{nofile}", "--", *command]
        super().__init__([*command, *options], env)
        self.scpi_port = int(self.wait_for_log(r"listening on 127\.0\.0\.1:(\d+)").group(1)) if scpi else None
        self.http_port = int(self.wait_for_log(r"page on http://127\.0\.0\.1:(\d+)/").group(1)) if http else None

    def cpu_seconds(self) -> float:
        """User and system time the server has used so far."""
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def logged(self, pattern: str) -> list:
        return [line for line in self.lines if re.search(pattern, line)]


@pytest.fixture(scope="session")
def sim_library() -> str:
    return built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")


@pytest.fixture
def start(korvel_program, sim_library):
    started = []

    def starter(*options, **keywords) -> Served:
        server = Served(korvel_program, sim_library, *options, **keywords)
        started.append(server)
        return server

    yield starter
    for server in started:
        assert server.stop() == 0, "\n".join(server.lines)
