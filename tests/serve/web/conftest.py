"""The built korvel program and simulated library (from the environment, or
this checkout's build/), servers per test, and one headless Chromium."""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[2]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests

from web_harness import WebServer  # noqa: E402


@pytest.fixture(scope="session")
def sim_library() -> str:
    return built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")


@pytest.fixture(scope="session")
def artifacts() -> Path:
    folder = Path(os.environ.get("KORVEL_ARTIFACTS", REPOSITORY / "build" / "test-artifacts"))
    folder.mkdir(parents=True, exist_ok=True)
    return folder


@pytest.fixture
def start(korvel_program, sim_library):
    """Starts servers with options; stops them all after the test."""
    started = []

    def starter(*options, **keywords) -> WebServer:
        server = WebServer(korvel_program, sim_library, *options, **keywords)
        started.append(server)
        return server

    yield starter
    if _browser is not None:
        _browser.get("about:blank")  # the page lets go of its stream before its server stops
    for server in started:
        assert server.stop() == 0, "\n".join(server.lines)


@pytest.fixture
def web(start, tmp_path) -> WebServer:
    return start("--record-dir", str(tmp_path))


_browser = None


@pytest.fixture(scope="session")
def browser():
    """A headless Chromium driven through chromedriver (Debian's)."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1100,1250", "--no-first-run", "--disable-extensions",
                     "--disable-background-networking", "--disable-sync", "--disable-default-apps"):
        options.add_argument(argument)
    profile = tempfile.TemporaryDirectory(prefix="korvel-chromium-")
    options.add_argument(f"--user-data-dir={profile.name}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    global _browser
    _browser = driver
    try:
        yield driver
    finally:
        _browser = None
        driver.quit()
        profile.cleanup()
