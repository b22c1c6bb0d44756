"""A real Mosquitto broker for the tests that drive `korvel publish`: on a
free loopback port with a config the test writes, persistence on (so a
restart keeps what it held), run as whoever runs the test (as root,
Mosquitto would drop to its own user, who cannot write its persistence file
into the test's folder, and would say so only in its log). Its log and its
standard error are kept, and errors() reads them back."""

from __future__ import annotations

import getpass
import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

from built import built


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
        self.log = folder / "mosquitto.log"
        self.stderr = folder / "mosquitto.stderr"
        self.config.write_text(
            f"user {getpass.getuser()}\n"
            f"listener {self.port} 127.0.0.1\n"
            f"persistence true\npersistence_location {folder}/\nautosave_interval 1\n"
            f"log_dest file {self.log}\n"
            + (extra or "allow_anonymous true\n"))
        self.process = None
        self.start()

    def start(self) -> None:
        with open(self.stderr, "ab") as errors:
            self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                            stderr=errors)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("mosquitto did not start: " + "".join(self.errors()))

    def stop(self) -> None:
        if self.process and self.process.poll() is None:
            self.process.terminate()  # saves its persistence file
            self.process.wait(timeout=10)

    def errors(self) -> list:
        """What the broker reported as errors (a persistence file it cannot
        write, a log it cannot open, ...)."""
        lines = []
        for path in (self.log, self.stderr):
            if path.exists():
                lines += [line for line in path.read_text(errors="replace").splitlines() if "Error" in line]
        return lines

    def retained(self, topic: str) -> str:
        done = subprocess.run(["mosquitto_sub", "-p", str(self.port), "-t", topic, "-C", "1", "-W", "5"],
                              capture_output=True, text=True, timeout=30)
        return done.stdout.strip()


class Subscriber:
    """mosquitto_sub at QoS 1 with a session the broker keeps, writing every
    payload it receives (one per line) into a file."""

    def __init__(self, broker: Broker, folder: Path, topic: str = "korvel/KV0001/reading") -> None:
        self.path = folder / "received"
        self._file = open(self.path, "wb")
        self.process = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-q", "1", "-c", "-i",
                                         f"test-{os.getpid()}-{free_port()}", "-t", topic], stdout=self._file)
        time.sleep(0.5)  # subscribed

    def payloads(self) -> list:
        return self.path.read_bytes().decode("utf-8", errors="replace").splitlines()

    def wait_for(self, done, timeout: float = 60) -> list:
        """Waits until done(payloads) holds or nothing new came for 3 s."""
        deadline = time.monotonic() + timeout
        last, quiet = -1, time.monotonic()
        while time.monotonic() < deadline:
            payloads = self.payloads()
            if done(payloads):
                break
            if len(payloads) != last:
                last, quiet = len(payloads), time.monotonic()
            elif time.monotonic() - quiet > 3:
                break
            time.sleep(0.1)
        self.process.terminate()
        self.process.wait(timeout=10)
        self._file.close()
        return self.payloads()


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
