"""The built korvel program and simulated library (from the environment, or
this checkout's build/), and a server per test."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[2]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPOSITORY / "python"))
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests
from harness import Server  # noqa: E402


@pytest.fixture(scope="session")
def sim_library() -> str:
    path = built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")
    os.environ["KORVEL_SIM_LIBRARY"] = path
    return path


@pytest.fixture
def start(korvel_program, sim_library):
    """Starts servers with options; stops them all after the test."""
    started = []

    def starter(*options, **keywords) -> Server:
        server = Server(korvel_program, sim_library, *options, **keywords)
        started.append(server)
        return server

    yield starter
    for server in started:
        assert server.stop() == 0, "\n".join(server.lines)  # a clean exit, sanitizer builds too


@pytest.fixture
def server(start) -> Server:
    return start()
