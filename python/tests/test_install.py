"""`pip install ./python` on a machine without a package index."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]


def test_pip_install_needs_no_index(tmp_path, sim_library):
    venv = pytest.importorskip("venv")
    environment = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(environment)
    python = environment / "bin" / "python"
    offline = dict(os.environ, PIP_NO_INDEX="1", PIP_FIND_LINKS="", PIP_DISABLE_PIP_VERSION_CHECK="1")
    done = subprocess.run([str(python), "-m", "pip", "install", str(PACKAGE_ROOT)], env=offline,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    # The checkout stays clean: the build ran in a copy.
    assert not (PACKAGE_ROOT / "build").exists()
    assert not list(PACKAGE_ROOT.glob("*.egg-info"))
    script = ("import korvel, sys\n"
              "assert 'site-packages' in korvel.__file__, korvel.__file__\n"
              "with korvel.Meter(simulate=True) as meter:\n"
              "    print(meter.identity, meter.read().text)\n")
    used = subprocess.run([str(python), "-c", script], capture_output=True, text=True, timeout=60,
                          cwd=tmp_path, env=dict(os.environ, KORVEL_SIM_LIBRARY=sim_library))
    assert used.returncode == 0, used.stderr
    assert used.stdout.startswith("KORVEL,")
    assert (environment / "bin" / "korvel-py").exists()
