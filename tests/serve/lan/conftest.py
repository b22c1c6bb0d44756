"""korvel serve as a LAN instrument, driven by lxi-tools and pyvisa-py over
VXI-11. Runs inside a private network and mount namespace that
tests/serve/lan/in_namespace.sh makes (`ctest -L lan`): port 111 and /run are
the namespace's own, so rpcbind can be started and stopped here without
touching the host."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parents[2]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPOSITORY / "tests" / "support"))
sys.path.insert(0, str(REPOSITORY / "tests" / "serve" / "web"))

from built import built, korvel_program  # noqa: E402,F401 - the fixture is used by the tests


@pytest.fixture(scope="session", autouse=True)
def private_network():
    if os.environ.get("KORVEL_LAN_NAMESPACE") != "1":
        pytest.skip("needs the private network namespace in_namespace.sh makes (port 111)",
                    allow_module_level=True)


@pytest.fixture(scope="session")
def sim_library() -> str:
    return built("KORVEL_SIM_LIBRARY", "libkorvel-x64-sim.so.1")


@pytest.fixture
def rpcbind():
    """Debian's rpcbind in the namespace (on 0.0.0.0:111 of its own loopback)."""
    Path("/run/rpcbind").mkdir(exist_ok=True)
    shutil.chown("/run/rpcbind", "_rpc")
    process = subprocess.Popen(["rpcbind", "-f"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while not Path("/run/rpcbind.sock").exists():
        assert time.monotonic() < deadline, "rpcbind did not start"
        time.sleep(0.02)
    yield process
    process.terminate()
    process.wait(timeout=10)
    Path("/run/rpcbind.sock").unlink(missing_ok=True)
