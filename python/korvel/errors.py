"""Exceptions raised by the korvel package.

Every failure is raised, never returned as a magic number. All of them derive
from :class:`KorvelError`, so ``except korvel.KorvelError`` catches them all.
"""

from __future__ import annotations

from typing import Optional


class KorvelError(Exception):
    """Base class of every error this package raises."""


class LibraryNotFound(KorvelError, OSError):
    """The Korvel shared library could not be found or loaded.

    The message lists every place that was tried. Pass ``library=PATH`` or set
    ``KORVEL_LIBRARY`` (``KORVEL_SIM_LIBRARY`` with ``simulate=True``).
    """


class MeterNotFound(KorvelError):
    """No meter could be opened (none attached, none free, or no permission)."""


class ConnectionLost(KorvelError):
    """An exchange with the meter failed and the library closed the connection.

    The meter object is unusable until :meth:`korvel.Meter.reopen` succeeds (or
    a new :class:`korvel.Meter` is opened). ``reply`` holds the SCPI reply text
    when the loss happened inside :meth:`korvel.Meter.scpi`.
    """

    def __init__(self, message: str, reply: Optional[str] = None) -> None:
        super().__init__(message)
        self.reply = reply


class InvalidReading(KorvelError):
    """The meter sent a reading whose units or range code has no meaning.

    The raw fields are kept in ``count``, ``units``, ``range`` and ``scale``.
    """

    def __init__(self, message: str, count: int, units: int, range_: int, scale: int) -> None:
        super().__init__(message)
        self.count = count
        self.units = units
        self.range = range_
        self.scale = scale


class TransferRefused(KorvelError):
    """The meter refused to start a data transfer (the connection stays open)."""


class MeterMemoryError(KorvelError):
    """The meter's memory did not answer as asked: a short read, an address
    echo that differs from the address asked for, or a byte read back after a
    write that differs from the byte written."""


__all__ = [
    "KorvelError",
    "LibraryNotFound",
    "MeterNotFound",
    "ConnectionLost",
    "InvalidReading",
    "TransferRefused",
    "MeterMemoryError",
]
