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

from harness import Server  # noqa: E402


def _built(variable: str, name: str) -> str:
    if os.environ.get(variable):
        return os.environ[variable]
    candidate = REPOSITORY / "build" / name
    if candidate.exists():
        return str(candidate)
    pytest.fail(f"{name} not found: build it (cmake --build build) or set {variable}", pytrace=False)


@pytest.fixture(scope="session")
def korvel_program() -> str:
    return _built("KORVEL_PROGRAM", "korvel")


@pytest.fixture(scope="session")
def sim_library() -> str:
    path = _built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")
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
