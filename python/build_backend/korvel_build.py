"""Build backend of the korvel package: setuptools, found without an index.

pip builds a package in an isolated environment and fetches the backend
(setuptools) from a package index into it. On a machine without an index that
fails although Debian's python3-setuptools is installed. This thin backend
needs nothing fetched: it uses setuptools where the build can already import
it, else the system's copy (Debian's python3-setuptools, or the setuptools
wheel that python3-venv brings), and hands every hook to setuptools.
"""

from __future__ import annotations

import contextlib
import glob
import os
import shutil
import sys
import tempfile

_SYSTEM_PLACES = [
    "/usr/lib/python3/dist-packages",  # Debian's python3-setuptools
    *sorted(glob.glob("/usr/share/python-wheels/setuptools-*.whl"), reverse=True),
]


def _setuptools_backend():
    try:
        from setuptools import build_meta
        return build_meta
    except ImportError:
        pass
    for place in _SYSTEM_PLACES:
        if os.path.exists(os.path.join(place, "setuptools")) or place.endswith(".whl"):
            if os.path.exists(place):
                sys.path.append(place)
                try:
                    from setuptools import build_meta
                    return build_meta
                except ImportError:
                    sys.path.remove(place)
    raise RuntimeError("building korvel needs setuptools: install Debian's python3-setuptools, "
                       "or let pip reach a package index")


_backend = _setuptools_backend()
_SOURCES = ["pyproject.toml", "README.md", "korvel"]


@contextlib.contextmanager
def _in_copy():
    """setuptools writes build/ and *.egg-info next to the sources; build in a
    copy so the checkout stays clean."""
    here = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="korvel-build-") as copy:
        for name in _SOURCES:
            source = os.path.join(here, name)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(copy, name),
                                ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
            elif os.path.exists(source):
                shutil.copy2(source, copy)
        os.chdir(copy)
        try:
            yield
        finally:
            os.chdir(here)


def get_requires_for_build_wheel(config_settings=None):
    return []  # everything needed is already here


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def _absolute(path):
    return None if path is None else os.path.abspath(path)


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    target = _absolute(metadata_directory)
    with _in_copy():
        return _backend.prepare_metadata_for_build_wheel(target, config_settings)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    target, metadata = _absolute(wheel_directory), _absolute(metadata_directory)
    with _in_copy():
        return _backend.build_wheel(target, config_settings, metadata)


def build_sdist(sdist_directory, config_settings=None):
    target = _absolute(sdist_directory)
    with _in_copy():
        return _backend.build_sdist(target, config_settings)


# An editable install points at the checkout itself, so it is built in place.
def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return _backend.prepare_metadata_for_build_editable(metadata_directory, config_settings)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _backend.build_editable(wheel_directory, config_settings, metadata_directory)
