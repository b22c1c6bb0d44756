"""A long run of korvel publish and korvel read as services would run them,
against a real Mosquitto (tests/support/mqtt_broker.py)."""

from __future__ import annotations

import sys
from pathlib import Path

REPOSITORY = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests
from mqtt_broker import Broker, Subscriber, broker, brokers, free_port, sim_env  # noqa: E402,F401
