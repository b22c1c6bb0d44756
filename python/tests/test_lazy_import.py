"""`import korvel` loads nothing it does not need: its names and submodules
come on first use, yet every public name is there."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE_ROOT = str(Path(__file__).resolve().parents[1])


def python(code):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout


def test_import_loads_no_submodule_nor_ctypes_nor_typing():
    loaded = python("import sys, korvel; print(sorted(m for m in sys.modules if m.startswith('korvel.')"
                    " or m in ('ctypes', 'ctypes.util', 'typing', 'csv', 'json', 'dataclasses')))")
    assert loaded.strip() == "[]"


def test_every_public_name_resolves_and_star_import_gives_them_all():
    out = python("import korvel\nfrom korvel import *\n"
                 "missing = [n for n in korvel.__all__ if n not in globals()]\n"
                 "print(missing, korvel.Meter.__module__, korvel.read_log.__module__,"
                 " korvel.simulator.DEFAULT_LATENCY > 0, 'Meter' in dir(korvel))")
    assert out.split() == ["[]", "korvel.meter", "korvel.logs", "True", "True"]


def test_an_unknown_name_is_an_attribute_error():
    import korvel
    with pytest.raises(AttributeError, match="no attribute 'Nonesuch'"):
        korvel.Nonesuch  # noqa: B018
    with pytest.raises(ImportError):
        from korvel import Nonesuch  # noqa: F401


def test_first_use_finds_the_library_once_the_package_is_imported():
    out = python("import korvel, sys\nassert 'ctypes' not in sys.modules\n"
                 "with korvel.Meter(simulate=True) as m: print(m.identity.split(',')[0])")
    assert out.strip() == "KORVEL"
