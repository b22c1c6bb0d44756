"""A real Mosquitto broker per test, on a free loopback port with a config
the test writes (persistence on, so a restart keeps what it held), and the
built korvel program."""

from __future__ import annotations

import getpass
import os
import sys
import socket
import subprocess
import time
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    def __init__(self, folder: Path, extra: str = "", port: int | None = None) -> None:
        self.folder = folder
        self.port = port or free_port()
        folder.mkdir(parents=True, exist_ok=True)
        self.config = folder / "mosquitto.conf"
        self.config.write_text(
            # Run as whoever runs the test (as root, mosquitto would switch
            # to its own user, who cannot write into the test's folder).
            f"user {getpass.getuser()}\n"
            f"listener {self.port} 127.0.0.1\n"
            f"persistence true\npersistence_location {folder}/\nautosave_interval 1\n"
            f"log_dest file {folder}/mosquitto.log\n" + (extra or "allow_anonymous true\n"))
        self.process = None
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("mosquitto did not start: " + (self.folder / "mosquitto.log").read_text())

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()  # saves its persistence file
            self.process.wait(timeout=10)

    def retained(self, topic: str) -> str:
        done = subprocess.run(["mosquitto_sub", "-p", str(self.port), "-t", topic, "-C", "1", "-W", "5"],
                              capture_output=True, text=True, timeout=30)
        return done.stdout.strip()


@pytest.fixture(scope="session")
def sim_env() -> dict:
    return dict(os.environ, KORVEL_SIM_LIBRARY=built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1"))


@pytest.fixture
def brokers(tmp_path):
    started = []

    def start(name: str = "broker", extra: str = "") -> Broker:
        broker = Broker(tmp_path / name, extra)
        started.append(broker)
        return broker

    yield start
    for broker in started:
        broker.stop()


@pytest.fixture
def broker(brokers) -> Broker:
    return brokers()
