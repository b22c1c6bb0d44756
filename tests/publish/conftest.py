"""A real Mosquitto broker per test, on a free loopback port with a config
the test writes (tests/support/mqtt_broker.py), and the built korvel
program."""

from __future__ import annotations

import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests
from mqtt_broker import Broker, Subscriber, broker, brokers, free_port, sim_env  # noqa: E402,F401
