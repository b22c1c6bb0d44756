"""The meter's reading formatter: raw count -> the meter's text and tesla.

One table, the same as the library's (scpi/reading_format.cpp): range, units
and scale code select a divisor or factor, a field width, a number of decimals
and the unit letters. The shown number is computed in single precision, as the
library does, so the text here is the text ``:MEAS:FLUX?`` answers for the
same reading; the tests compare the two over many counts.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

GAUSS, TESLA, AMPERE_PER_METRE = 0, 1, 2

MU0 = 4.0 * math.pi * 1e-7  # T per A/m (B = mu0 H in free space)

# Tesla per unit of the shown number, by the row's letters: "A" rows (A/m
# with scale codes 4 and 5) show kA/m - the same count reads 1234000Am plainly
# and 1234A with scale code 5.
TESLA_PER_LETTERS = {"G": 1e-4, "T": 1.0, "Am": MU0, "A": 1000.0 * MU0}


@dataclass(frozen=True)
class Row:
    """One line of the formatter table."""

    multiply: bool    # True: x * factor; False: x / factor
    factor: float     # 1 leaves x unchanged
    width: int
    decimals: int
    letters: str


def _d(divisor: float, width: int, decimals: int, letters: str) -> Row:
    return Row(False, divisor, width, decimals, letters)


def _m(factor: float, width: int, decimals: int, letters: str) -> Row:
    return Row(True, factor, width, decimals, letters)


ANY = None

# (range, units) -> {scale or ANY: row}; ANY is the row for every other scale.
TABLE: Dict[Tuple[int, int], Dict[Optional[int], Row]] = {
    (0, GAUSS): {ANY: _d(10, 3, 1, "G")},
    (0, TESLA): {ANY: _d(100000, 1, 5, "T")},
    (0, AMPERE_PER_METRE): {4: _d(1000, 1, 3, "A"), 5: _d(100, 2, 2, "A"),
                            ANY: _m(10, 5, 0, "Am")},
    (1, GAUSS): {2: _d(1000, 1, 3, "G"), ANY: _m(1, 4, 0, "G")},
    (1, TESLA): {2: _d(10000000, 0, 7, "T"), ANY: _d(10000, 0, 4, "T")},
    (1, AMPERE_PER_METRE): {2: _d(100, 2, 2, "Am"), 4: _d(100, 2, 2, "A"),
                            5: _d(10, 3, 1, "A"), ANY: _m(100, 6, 0, "Am")},
    (2, GAUSS): {ANY: _m(10, 5, 0, "G")},
    (2, TESLA): {ANY: _d(1000, 1, 3, "T")},
    (2, AMPERE_PER_METRE): {4: _d(10, 3, 1, "A"), 5: _m(1, 4, 0, "A"),
                            ANY: _m(1000, 7, 0, "Am")},
}


def row_for(range_: int, units: int, scale: int) -> Optional[Row]:
    """The table row of a reading, or None when range or units has no row."""
    rows = TABLE.get((range_, units))
    if rows is None:
        return None
    return rows.get(scale, rows[ANY])


def _single(value: float) -> float:
    """Round to the nearest single-precision number (exactly as a C float).

    One IEEE operation on two singles carried out in double and rounded once
    to single gives the correctly rounded single result, so this matches the
    library's float arithmetic bit for bit.
    """
    return struct.unpack("f", struct.pack("f", value))[0]


def shown_number(count: int, row: Row) -> float:
    """The number the meter shows for ``count`` under ``row`` (a float's value)."""
    x = _single(float(count))
    factor = _single(row.factor)
    return _single(x * factor if row.multiply else x / factor)


def format_reading(count: int, units: int, range_: int, scale: int) -> Optional[str]:
    """The text ``:MEAS:FLUX?`` answers for this reading, or None for "Error"."""
    row = row_for(range_, units, scale)
    if row is None:
        return None
    return "%*.*f%s" % (row.width, row.decimals, shown_number(count, row), row.letters)


def to_tesla(count: int, units: int, range_: int, scale: int) -> Optional[float]:
    """The field in tesla that the shown number stands for, or None.

    The scaling is done in double precision (as the library does), so the
    decimal value the text shows is kept: 1234 in range 0 gauss is 123.4 G,
    0.01234 T, not the single-precision neighbour of 123.4. kA/m is
    ``shown * 1000 * mu0``, in that order, as the library computes it.
    """
    row = row_for(range_, units, scale)
    if row is None:
        return None
    shown = float(count)
    if row.factor != 1:
        shown = shown * row.factor if row.multiply else shown / row.factor
    if row.letters == "A":
        return shown * 1000.0 * MU0
    return shown * TESLA_PER_LETTERS[row.letters]


UNIT_NAMES = {
    (GAUSS, 0): "DC GAUSS", (GAUSS, 1): "AC GAUSS",
    (TESLA, 0): "DC TESLA", (TESLA, 1): "AC TESLA",
    (AMPERE_PER_METRE, 0): "DC AM", (AMPERE_PER_METRE, 1): "AC AM",
}
