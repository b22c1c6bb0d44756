"""The library search with Windows' names (sys.platform == "win32"), run on
Linux: korvel-x64.dll and korvel-x64-sim.dll, looked for in the same order,
and found in the Windows package's layout (python/korvel beside bin/)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from korvel import _library
from korvel.errors import LibraryNotFound

PACKAGE = Path(_library.__file__).resolve().parent


@pytest.fixture
def windows(monkeypatch):
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setattr(shutil, "which", lambda name: None)
    monkeypatch.setattr(_library.ctypes.util, "find_library", lambda name: None)
    monkeypatch.delenv("KORVEL_LIBRARY", raising=False)
    monkeypatch.delenv("KORVEL_SIM_LIBRARY", raising=False)


def test_names_and_order(windows, monkeypatch):
    assert _library.library_name(False) == "korvel-x64.dll"
    assert _library.library_name(True) == "korvel-x64-sim.dll"
    places = _library.candidates(False)
    # The package's own lib folder first, the Windows package's bin folder
    # next, Windows' own search last; no Linux library folders.
    assert places[0] == str(PACKAGE / "lib" / "korvel-x64.dll")
    assert places[1] == str(PACKAGE.parent.parent / "bin" / "korvel-x64.dll")
    assert places[-1] == "korvel-x64.dll"
    assert not any(p.startswith("/usr") for p in places)
    assert all(p.endswith("korvel-x64.dll") for p in places)
    # A korvel.exe on PATH: its folder right after the package's.
    monkeypatch.setattr(shutil, "which", lambda name: "/opt/korvel/bin/korvel.exe" if name == "korvel" else None)
    assert _library.candidates(True)[2] == str(Path("/opt/korvel/bin/korvel-x64-sim.dll").resolve())


def test_explicit_choices_stand_alone(windows, monkeypatch):
    assert _library.candidates(False, r"C:\Korvel\bin\korvel-x64.dll") == [r"C:\Korvel\bin\korvel-x64.dll"]
    monkeypatch.setenv("KORVEL_SIM_LIBRARY", r"D:\sim\korvel-x64-sim.dll")
    assert _library.candidates(True) == [r"D:\sim\korvel-x64-sim.dll"]
    # A Windows path that is not there is reported as such, not handed to the loader.
    with pytest.raises(LibraryNotFound) as error:
        _library.load(True)
    assert r"D:\sim\korvel-x64-sim.dll: no such file" in str(error.value)


def test_windows_paths_are_paths(windows):
    assert _library._is_path(r"C:\Korvel\bin\korvel-x64.dll")
    assert _library._is_path("C:/Korvel/bin/korvel-x64.dll")
    assert _library._is_path(r"bin\korvel-x64.dll")
    assert not _library._is_path("korvel-x64.dll")


def test_found_in_the_windows_package_layout(sim_library, tmp_path):
    """The package copied as the zip lays it out, with the (Linux) simulated
    library standing in for bin/korvel-x64-sim.dll: found without any path given."""
    top = tmp_path / "korvel-1.0.0-win64"
    shutil.copytree(PACKAGE, top / "python" / "korvel", ignore=shutil.ignore_patterns("__pycache__", "lib"))
    (top / "bin").mkdir()
    shutil.copy(sim_library, top / "bin" / "korvel-x64-sim.dll")
    script = textwrap.dedent("""
        import shutil, sys
        sys.path.insert(0, sys.argv[1])
        from korvel import _library
        sys.platform = "win32"
        shutil.which = lambda name: None
        library = _library.load(simulate=True)
        print(library.path)
    """)
    env = {k: v for k, v in os.environ.items() if k not in ("KORVEL_LIBRARY", "KORVEL_SIM_LIBRARY")}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    done = subprocess.run([sys.executable, "-c", script, str(top / "python")], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(top / "bin" / "korvel-x64-sim.dll")
