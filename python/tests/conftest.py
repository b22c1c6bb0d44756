"""Shared fixtures: the simulated library, a fresh simulated bus per test,
and the built korvel program for the server tests.

Paths come from the environment when set (KORVEL_SIM_LIBRARY, KORVEL_LIBRARY,
KORVEL_PROGRAM); otherwise the usual build folders of this checkout are
searched. A missing library fails the run loudly instead of skipping it.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parent
REPOSITORY = PACKAGE_ROOT.parent
BUILD_FOLDERS = ["build", "build-python"]

sys.path.insert(0, str(PACKAGE_ROOT))

import korvel  # noqa: E402


def _first_existing(variable: str, name: str) -> str:
    if os.environ.get(variable):
        return os.environ[variable]
    for folder in BUILD_FOLDERS:
        candidate = REPOSITORY / folder / name
        if candidate.exists():
            return str(candidate)
    pytest.fail(f"{name} not found: build it (ninja -C build {Path(name).stem}) or set {variable}",
                pytrace=False)


@pytest.fixture(scope="session")
def sim_library() -> str:
    path = _first_existing("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")
    os.environ["KORVEL_SIM_LIBRARY"] = path  # what Meter(simulate=True) and children use
    return path


@pytest.fixture(scope="session")
def korvel_program() -> str:
    return _first_existing("KORVEL_PROGRAM", "korvel")


@pytest.fixture
def sim(sim_library: str) -> korvel.Simulator:
    """A bus with one fresh meter, short USB timeouts (failures cost ms) and
    no latency (exchanges answered at once)."""
    simulator = korvel.Simulator(sim_library)
    simulator.reset(1)
    simulator.set_time_scale(0.01)
    simulator.set_latency(0)
    yield simulator
    simulator.reset(1)
    simulator.set_time_scale(1.0)
    simulator.set_latency(korvel.simulator.DEFAULT_LATENCY)


@pytest.fixture
def meter(sim: korvel.Simulator) -> korvel.Meter:
    with korvel.Meter(simulate=True) as opened:
        yield opened


@pytest.fixture
def exchanges(sim: korvel.Simulator):
    """How many exchanges meter 0 has answered so far."""
    return lambda index=0: sim.setting(index, korvel.Setting.EXCHANGES)
