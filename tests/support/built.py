"""Where the tests that drive the built program from outside find it: the
path the environment names, or this checkout's build/ folder."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]


def built(variable: str, name: str) -> str:
    """The file `name` of the build (KORVEL_PROGRAM, KORVEL_SIM_LIBRARY, ...)."""
    if os.environ.get(variable):
        return os.environ[variable]
    candidate = REPOSITORY / "build" / name
    if candidate.exists():
        return str(candidate)
    pytest.fail(f"{name} not found: build it (cmake --build build) or set {variable}", pytrace=False)


@pytest.fixture(scope="session")
def korvel_program() -> str:
    return built("KORVEL_PROGRAM", "korvel")
