"""Value types of the korvel package: units, coupling, register sets, readings."""

from __future__ import annotations

import enum
import math
from dataclasses import dataclass
from datetime import datetime
from typing import Tuple, Union

MU0 = 4.0 * math.pi * 1e-7  # tesla per (ampere per metre) in free space
#: A count this large (either sign) is the meter pinned at its range's limit.
OVER_RANGE_COUNTS = 32767


class Units(enum.IntEnum):
    """Measurement units of the meter (the codes the meter uses)."""

    GAUSS = 0
    TESLA = 1
    AMPERE_PER_METRE = 2

    @property
    def symbol(self) -> str:
        """The usual symbol: ``G``, ``T`` or ``A/m``."""
        return ("G", "T", "A/m")[self.value]

    @classmethod
    def parse(cls, value: Union["Units", int, str]) -> "Units":
        """Accepts a Units, its code 0 to 2, or a name such as ``"gauss"``,
        ``"T"``, ``"A/m"`` or ``"ampere_per_metre"`` (any case)."""
        if isinstance(value, cls):
            return value
        if isinstance(value, bool):
            raise TypeError("units must be a Units, a code or a name, not a bool")
        if isinstance(value, int):
            try:
                return cls(value)
            except ValueError:
                raise ValueError(f"units code must be 0 (G), 1 (T) or 2 (A/m), not {value}") from None
        if isinstance(value, str):
            key = value.strip().lower().replace(" ", "_").replace("-", "_")
            names = {"g": cls.GAUSS, "gauss": cls.GAUSS,
                     "t": cls.TESLA, "tesla": cls.TESLA,
                     "a/m": cls.AMPERE_PER_METRE, "am": cls.AMPERE_PER_METRE,
                     "ampere_per_metre": cls.AMPERE_PER_METRE,
                     "ampere_per_meter": cls.AMPERE_PER_METRE}
            if key in names:
                return names[key]
            raise ValueError(f"unknown units {value!r}: use gauss, tesla or A/m")
        raise TypeError(f"units must be a Units, a code or a name, not {type(value).__name__}")


class AcDc(enum.IntEnum):
    """Whether the meter measures the static field (DC) or the AC component."""

    DC = 0
    AC = 1

    @classmethod
    def parse(cls, value: Union["AcDc", int, str]) -> "AcDc":
        """Accepts an AcDc, 0 or 1, or ``"dc"`` / ``"ac"`` (any case)."""
        if isinstance(value, cls):
            return value
        if isinstance(value, bool):
            raise TypeError("AC/DC must be an AcDc, 0, 1, 'ac' or 'dc', not a bool")
        if isinstance(value, int):
            try:
                return cls(value)
            except ValueError:
                raise ValueError(f"AC/DC code must be 0 (DC) or 1 (AC), not {value}") from None
        if isinstance(value, str) and value.strip().lower() in ("ac", "dc"):
            return cls.AC if value.strip().lower() == "ac" else cls.DC
        raise ValueError(f"unknown AC/DC mode {value!r}: use 'ac' or 'dc'")


class RegisterSet(enum.IntEnum):
    """The meter's status register sets (the selector byte of the commands)."""

    STANDARD_EVENT = 0
    MEASUREMENT = 1
    OPERATION = 2
    QUESTIONABLE = 3

    @classmethod
    def parse(cls, value: Union["RegisterSet", int, str]) -> "RegisterSet":
        """Accepts a RegisterSet, its selector 0 to 3, or a name:
        ``"standard"`` (also ``"standard_event"``, ``"esr"``), ``"measurement"``,
        ``"operation"``, ``"questionable"`` (any case)."""
        if isinstance(value, cls):
            return value
        if isinstance(value, bool):
            raise TypeError("a register set is a name or a selector 0 to 3, not a bool")
        if isinstance(value, int):
            try:
                return cls(value)
            except ValueError:
                raise ValueError(f"register set selector must be 0 to 3, not {value}") from None
        if isinstance(value, str):
            key = value.strip().lower().replace(" ", "_").replace("-", "_")
            names = {"standard": cls.STANDARD_EVENT, "standard_event": cls.STANDARD_EVENT,
                     "esr": cls.STANDARD_EVENT, "event_status": cls.STANDARD_EVENT,
                     "measurement": cls.MEASUREMENT, "meas": cls.MEASUREMENT,
                     "operation": cls.OPERATION, "oper": cls.OPERATION,
                     "questionable": cls.QUESTIONABLE, "ques": cls.QUESTIONABLE}
            if key in names:
                return names[key]
            raise ValueError(f"unknown register set {value!r}: use standard, measurement, "
                             "operation or questionable")
        raise TypeError(f"a register set is a name or a selector, not {type(value).__name__}")


@dataclass(frozen=True)
class Reading:
    """One reading of the meter.

    ``tesla`` and ``text`` both come from the same raw count: ``text`` is
    exactly what the meter's ``:MEAS:FLUX?`` answers for it (the number with
    the meter's resolution and unit letters, e.g. ``"123.4G"``; letters ``A``
    are kA/m, ``Am`` A/m), and ``tesla`` is that shown number in SI units.
    When :attr:`over_range` is true the count is pinned at the range's limit:
    ``tesla`` is then that limit, and the true field lies beyond it.
    """

    count: int          #: raw reading in counts (signed 16-bit)
    units: Units        #: units the meter measures in
    range: int          #: measurement range, 0 (finest) to 2
    acdc: AcDc          #: DC or AC
    scale: int          #: the meter's resolution code
    aux: int            #: passed through from the meter, not interpreted
    tesla: float        #: the field in tesla
    text: str           #: the meter's own text, as ``:MEAS:FLUX?`` gives it
    timestamp: datetime  #: when the reading was asked for (UTC)

    @property
    def over_range(self) -> bool:
        """True when the field did not fit the range: the meter pins its
        count at +32767 or -32767 (-32768 counts as over range too)."""
        return abs(self.count) >= OVER_RANGE_COUNTS

    @property
    def gauss(self) -> float:
        """The field in gauss."""
        return self.tesla * 1e4

    @property
    def millitesla(self) -> float:
        """The field in millitesla."""
        return self.tesla * 1e3

    @property
    def ampere_per_metre(self) -> float:
        """The field strength H in ampere per metre (B / mu0)."""
        return self.tesla / MU0

    def __str__(self) -> str:
        return self.text.strip()


@dataclass(frozen=True)
class LcdImage:
    """What the meter's display shows: four characters, a display code and
    thirteen annunciator flags (their meaning is the meter's)."""

    text: str
    code: int
    flags: Tuple[int, ...]


@dataclass(frozen=True)
class Packet:
    """One data packet of a transfer: its values and whether more follow
    (the packet's flag byte)."""

    values: Tuple[int, ...]
    more: bool
