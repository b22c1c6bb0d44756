"""`pip install ./python` without a package index, with Debian's Python and
another CPython: the wheel carries the built libraries and works with no
environment variable; unbuilt libraries stop the install with one sentence."""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PACKAGE_ROOT / "build_backend"))

import korvel_build  # noqa: E402

LIBRARY_VARIABLES = ("KORVEL_LIBRARY", "KORVEL_SIM_LIBRARY", "KORVEL_BUILD_DIR")


def _pythons():
    """Debian's Python, the python3 first on PATH, and the oldest and newest
    pyenv CPython >= 3.9 (3.9 and 3.10 have no tomllib: the backend reads
    pyproject.toml itself there)."""
    found = {}
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    versions = sorted((v for v in pyenv.glob("3.*/bin/python3")),
                      key=lambda p: tuple(int(n) for n in re.findall(r"\d+", p.parts[-3])))
    versions = [str(v) for v in versions if tuple(map(int, v.parts[-3].split(".")[:2])) >= (3, 9)]
    for candidate in ["/usr/bin/python3", shutil.which("python3"), *versions[:1], *versions[-1:]]:
        if not candidate or not os.path.exists(candidate):
            continue
        probe = subprocess.run([candidate, "-c", "import sys, venv; print(sys.version_info >= (3, 9),"
                                " sys.executable)"], capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.startswith("True"):
            found.setdefault(os.path.realpath(probe.stdout.split()[1]), candidate)
    return list(found.values())


def _clean_environment(**extra):
    environment = {k: v for k, v in os.environ.items() if k not in LIBRARY_VARIABLES}
    environment.update(PIP_NO_INDEX="1", PIP_FIND_LINKS="", PIP_DISABLE_PIP_VERSION_CHECK="1",
                       PYTHONDONTWRITEBYTECODE="1")
    environment.update(extra)
    return environment


def _venv(python: str, where: Path) -> Path:
    subprocess.run([python, "-m", "venv", str(where)], check=True, timeout=300,
                   env=_clean_environment())
    return where / "bin" / "python"


def _pip_install(venv_python: Path, *arguments, **environment):
    return subprocess.run([str(venv_python), "-m", "pip", "install", *arguments],
                          env=_clean_environment(**environment), capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("python", _pythons())
def test_pip_install_carries_the_libraries(tmp_path, sim_library, python):
    venv_python = _venv(python, tmp_path / "venv")
    build_dir = str(Path(sim_library).parent)
    done = _pip_install(venv_python, str(PACKAGE_ROOT), KORVEL_BUILD_DIR=build_dir)
    assert done.returncode == 0, done.stdout + done.stderr
    # The checkout stays clean.
    assert not (PACKAGE_ROOT / "build").exists()
    assert not (PACKAGE_ROOT / "korvel" / "lib").exists()
    assert not list(PACKAGE_ROOT.glob("*.egg-info"))
    # No variable names a library: the carried ones are used, from outside the checkout.
    script = ("import korvel\n"
              "print(korvel.library_path())\n"
              "print(korvel.library_path(simulate=True))\n"
              "with korvel.Meter(simulate=True) as meter:\n"
              "    print(meter.identity)\n")
    used = subprocess.run([str(venv_python), "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=tmp_path, env=_clean_environment())
    assert used.returncode == 0, used.stderr
    real, simulated, identity = used.stdout.splitlines()
    carried = Path(real).parent
    assert carried.name == "lib" and carried.parent.name == "korvel"
    assert "site-packages" in real and Path(real).name == "libkorvel-x64.so.1"
    assert simulated == str(carried / "libkorvel-x64-sim.so.1")
    assert identity.startswith("KORVEL,")
    # The entry point runs the package's command line.
    korvel_py = tmp_path / "venv" / "bin" / "korvel-py"
    run = subprocess.run([str(korvel_py), "read", "--simulate", "-n", "2", "--format", "csv"],
                         capture_output=True, text=True, timeout=60, env=_clean_environment())
    assert run.returncode == 0, run.stderr
    rows = [line for line in run.stdout.splitlines() if not line.startswith("#")]  # past the meta block
    assert len(rows) == 3  # header and two readings


def test_unbuilt_libraries_stop_the_install_with_one_sentence(tmp_path):
    venv_python = _venv("/usr/bin/python3", tmp_path / "venv")
    done = _pip_install(venv_python, str(PACKAGE_ROOT), KORVEL_BUILD_DIR=str(tmp_path / "empty"))
    assert done.returncode != 0
    output = done.stdout + done.stderr
    assert "Traceback" not in output
    said = [line.strip() for line in output.splitlines() if line.strip().startswith("korvel:")]
    assert len(said) == 1, output
    assert "not built" in said[0] and "bash scripts/demo.sh" in said[0]
    check = subprocess.run([str(venv_python), "-c", "import korvel"], capture_output=True,
                           cwd=tmp_path, env=_clean_environment())
    assert check.returncode != 0  # nothing half-installed


def test_wheel_is_a_platform_wheel_with_valid_record(tmp_path, sim_library):
    name = korvel_build.build_wheel(str(tmp_path), {"build-dir": str(Path(sim_library).parent)})
    assert name.startswith("korvel-1.0.0-py3-none-linux_")
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = wheel.namelist()
        assert "korvel/lib/libkorvel-x64.so.1" in names
        assert "korvel/lib/libkorvel-x64-sim.so.1" in names
        assert "korvel/py.typed" in names and "korvel/meter.py" in names
        assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")]
        assert "Root-Is-Purelib: false" in wheel.read("korvel-1.0.0.dist-info/WHEEL").decode()
        record = wheel.read("korvel-1.0.0.dist-info/RECORD").decode().splitlines()
        listed = {line.split(",")[0] for line in record}
        assert listed == set(names)
        for line in record:
            path, digest, size = line.split(",")
            if not digest:
                continue
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert digest == "sha256=" + expected.decode() and int(size) == len(data), path
        assert wheel.read("korvel/lib/libkorvel-x64-sim.so.1") == Path(sim_library).read_bytes()
        entry_points = wheel.read("korvel-1.0.0.dist-info/entry_points.txt").decode()
        assert "korvel-py = korvel.__main__:main" in entry_points


def test_wheel_from_the_sdist_uses_the_installed_library(tmp_path):
    """Built away from a checkout, the wheel carries no library (pure) and
    the package falls back to the system's."""
    import tarfile
    sdist = korvel_build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / sdist) as archive:
        archive.extractall(tmp_path / "unpacked")
    source = tmp_path / "unpacked" / "korvel-1.0.0"
    assert (source / "PKG-INFO").is_file() and (source / "korvel" / "__init__.py").is_file()
    built = subprocess.run(
        [sys.executable, "-c", "import sys, korvel_build; print(korvel_build.build_wheel(sys.argv[1]))",
         str(tmp_path)], cwd=source, env=_clean_environment(PYTHONPATH=str(source / "build_backend")),
        capture_output=True, text=True, timeout=60)
    assert built.returncode == 0, built.stderr
    assert built.stdout.strip() == "korvel-1.0.0-py3-none-any.whl"
    with zipfile.ZipFile(tmp_path / built.stdout.strip()) as wheel:
        assert not [n for n in wheel.namelist() if n.startswith("korvel/lib/")]


def test_pyproject_reader_agrees_with_tomllib():
    """The backend's own reader (Python 3.9 and 3.10 have no tomllib) reads
    this project's pyproject.toml as tomllib does."""
    tomllib = pytest.importorskip("tomllib")
    text = (PACKAGE_ROOT / "pyproject.toml").read_text()
    reference = tomllib.loads(text)
    mine = korvel_build.parse_pyproject(text)
    project = dict(mine["project"])
    project["optional-dependencies"] = mine["project.optional-dependencies"]
    project["scripts"] = mine["project.scripts"]
    assert project == reference["project"]
    assert mine["build-system"] == reference["build-system"]
    assert mine["tool.pytest.ini_options"] == reference["tool"]["pytest"]["ini_options"]
    assert korvel_build.parse_pyproject('a = ["x, y", # note\n  "z",\n]\nb = true\n')[""] == \
        {"a": ["x, y", "z"], "b": True}
