"""Korvel: Python access to the Korvel USB magnetic-field meter.

Open a meter (or the simulated one) and read the field::

    import korvel
    with korvel.Meter(simulate=True) as meter:
        print(meter.identity)
        reading = meter.read()
        print(reading.text, reading.tesla)      # e.g. "  12G" 0.0012
        meter.units = "tesla"
        for reading in meter.stream(interval=0.5, count=10):
            print(reading.timestamp.isoformat(), reading.tesla)
        print(meter.scpi(":SENS:FLUX:RANG?"))   # SCPI text commands too
        print(meter.errors())                   # [(code, text), ...]

The package calls the Korvel C library through ctypes: ``libkorvel-x64.so.1``
for a meter on USB, ``libkorvel-x64-sim.so.1`` with ``simulate=True``. See
:func:`find_library` for where they are looked for, :func:`library_path`
for the file in use.

Command line: ``python3 -m korvel read`` takes readings like ``korvel read``,
``python3 -m korvel plot LOG.csv -o field.png`` plots a logged run.
For PyMeasure procedures, see :mod:`korvel.pymeasure` (through ``korvel serve``).
"""

from __future__ import annotations

# Not typing.TYPE_CHECKING: importing typing alone costs more than the rest
# of `import korvel`; type checkers honour this name either way.
TYPE_CHECKING = False

__version__ = "1.0.0"

# Where each public name lives. Nothing below is imported until first used
# (module __getattr__), so `import korvel` stays cheap: ctypes, the library
# search and the log reader load when a program first needs them.
_LAZY = {
    "errors": ("ConnectionLost", "InvalidReading", "KorvelError", "LibraryNotFound", "MeterMemoryError",
               "MeterNotFound", "TransferRefused"),
    "meter": ("ERROR_TEXTS", "Eeprom", "Meter", "error_text"),
    "logs": ("Gap", "Log", "LogError", "LoggedReading", "Run", "read_log"),
    "simulator": ("Call", "Fault", "Setting", "Simulator"),
    "types": ("AcDc", "LcdImage", "MU0", "Packet", "Reading", "RegisterSet", "Units"),
}
_HOME = {name: module for module, names in _LAZY.items() for name in names}
_SUBMODULES = frozenset(("errors", "meter", "logs", "simulator", "types", "pymeasure", "_library",
                         "_format", "_records"))

if TYPE_CHECKING:  # what type checkers and IDEs see
    from typing import List, Optional

    from .errors import (ConnectionLost, InvalidReading, KorvelError, LibraryNotFound,  # noqa: F401
                         MeterMemoryError, MeterNotFound, TransferRefused)
    from .logs import Gap, Log, LogError, LoggedReading, Run, read_log  # noqa: F401
    from .meter import ERROR_TEXTS, Eeprom, Meter, error_text  # noqa: F401
    from .simulator import Call, Fault, Setting, Simulator  # noqa: F401
    from .types import AcDc, LcdImage, MU0, Packet, Reading, RegisterSet, Units  # noqa: F401


def __getattr__(name: str):
    import importlib
    if name in _HOME:
        value = getattr(importlib.import_module("." + _HOME[name], __name__), name)
    elif name in _SUBMODULES:
        value = importlib.import_module("." + name, __name__)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value  # found once; later lookups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))


def find_library(simulate: bool = False, library: Optional[str] = None) -> str:
    """Path of the Korvel library that ``Meter(simulate=..., library=...)``
    would load. Looked for in this order: ``library``; the environment
    variable ``KORVEL_LIBRARY`` (``KORVEL_SIM_LIBRARY`` when simulating);
    installed locations (this package's ``lib`` folder, next to an installed
    ``korvel`` program, this Python's prefix, ``/usr/local``, ``/usr``); the
    build folder of a source checkout; the loader's default search.

    Raises :class:`LibraryNotFound` listing every place tried.
    """
    from . import _library
    return _library.load(simulate, library).path


def library_path(simulate: bool = False) -> str:
    """The file of the Korvel library ``Meter(simulate=simulate)`` uses,
    loading it if no meter has yet: the file ``KORVEL_LIBRARY``
    (``KORVEL_SIM_LIBRARY``) names when set, else the one this package
    carries (``korvel/lib``, when it was installed from a checkout with built
    libraries), else the system's installed one.

    Raises :class:`LibraryNotFound` listing every place tried.
    """
    from . import _library
    return _library.load(simulate).file


def library_candidates(simulate: bool = False, library: Optional[str] = None) -> List[str]:
    """Every place :func:`find_library` would try, in order."""
    from . import _library
    return _library.candidates(simulate, library)


__all__ = [
    "Meter", "Eeprom", "Reading", "LcdImage", "Packet", "Units", "AcDc", "RegisterSet",
    "Simulator", "Call", "Fault", "Setting", "KorvelError", "LibraryNotFound", "MeterNotFound",
    "ConnectionLost", "InvalidReading", "TransferRefused", "MeterMemoryError",
    "ERROR_TEXTS", "error_text", "find_library", "library_path", "library_candidates", "MU0",
    "read_log", "Log", "LogError", "LoggedReading", "Gap", "Run", "__version__",
]
