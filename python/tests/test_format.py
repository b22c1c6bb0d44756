"""The package's copy of the reading formatter never drifts from the library's.

Two checks: the text of Meter.read() against the library's own ":MEAS:FLUX?"
for the same meter state, and the whole table (every row, every count)
against the library's formatter unit compiled on its own.
"""

from __future__ import annotations

import ctypes
import random
import shutil
import subprocess
from pathlib import Path

import pytest

from korvel import _format

REPOSITORY = Path(__file__).resolve().parents[2]
MU0_SIM = 1.25663706212e-6
COUNT_SIZE_TESLA = {  # one count, scale code 0, as tesla
    0: (1e-5, 1e-4, 1e-3),
    1: (1e-5, 1e-4, 1e-3),
    2: (10 * MU0_SIM, 100 * MU0_SIM, 1000 * MU0_SIM),
}


def sample_counts(seed: int, how_many: int):
    rng = random.Random(seed)
    edges = [0, 1, -1, 5, -5, 9, 10, 11, 99, 100, 101, 999, 1000, -1000, 9999, 10000,
             32767, -32767, 12345, -12345]
    return edges + [rng.randint(-32767, 32767) for _ in range(how_many)]


@pytest.mark.parametrize("units", [0, 1, 2])
@pytest.mark.parametrize("range_", [0, 1, 2])
def test_read_text_is_the_meters_own_text(meter, sim, units, range_):
    meter.set_units(units, "dc")
    meter.range = range_
    for count in sample_counts(units * 3 + range_, 150):
        sim.set_field(0, count * COUNT_SIZE_TESLA[units][range_])
        reading = meter.read()
        assert reading.count == count
        assert meter.scpi(":MEAS:FLUX?") == reading.text, count


# ------------------------------------------------ the library's formatter

SHIM = r"""
#include "scpi/reading_format.h"
#include <cstring>
extern "C" int formatAll(int units, int range, int scale, char* texts, double* teslas, int* ok) {
    for (int i = 0; i < 65536; ++i) {
        MeterReading r{};
        r.value = static_cast<short>(i - 32768);
        r.units = units; r.range = range; r.scale = scale;
        korvel::scpi::formatReading(r, texts + 32 * i, 32);
        ok[i] = korvel::scpi::readingToTesla(r, teslas + i) ? 1 : 0;
    }
    return 0;
}
"""


@pytest.fixture(scope="module")
def library_formatter(tmp_path_factory):
    source = REPOSITORY / "scpi" / "reading_format.cpp"
    compiler = shutil.which("c++") or shutil.which("g++")
    if not source.exists() or compiler is None:
        pytest.skip("needs the source tree's scpi/reading_format.cpp and a C++ compiler")
    folder = tmp_path_factory.mktemp("formatter")
    (folder / "shim.cpp").write_text(SHIM)
    target = folder / "formatter.so"
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-I", str(REPOSITORY / "include"),
                    "-I", str(REPOSITORY), str(folder / "shim.cpp"), str(source), "-o", str(target)],
                   check=True)
    lib = ctypes.CDLL(str(target))
    lib.formatAll.argtypes = [ctypes.c_int] * 3 + [ctypes.c_char_p, ctypes.POINTER(ctypes.c_double),
                                                   ctypes.POINTER(ctypes.c_int)]
    return lib


def _distinct_rows():
    """One (range, units, scale) per row of the table: every count is checked."""
    rows = []
    for (range_, units), by_scale in _format.TABLE.items():
        for scale in by_scale:
            rows.append((range_, units, 0 if scale is _format.ANY else scale))
    return rows


# Scale codes that fall to the "any other" rows, and readings with no row:
# every 61st count is enough to see the right row chosen.
SPARSE_ROWS = [(r, u, s) for r in (0, 1, 2) for u in (0, 1, 2) for s in (2, 4, 5, 7, 255)
               if (r, u, s) not in _distinct_rows()] + [(3, 0, 0), (0, 3, 0), (255, 1, 2)]


def _compare(formatter, range_, units, scale, step):
    texts = ctypes.create_string_buffer(32 * 65536)
    teslas = (ctypes.c_double * 65536)()
    ok = (ctypes.c_int * 65536)()
    formatter.formatAll(units, range_, scale, texts, teslas, ok)
    raw = texts.raw
    indexes = range(0, 65536, step)
    theirs = [(raw[32 * i:32 * i + 32].split(b"\0", 1)[0].decode(), teslas[i] if ok[i] else None)
              for i in indexes]
    mine = [(_format.format_reading(i - 32768, units, range_, scale) or "Error",
             _format.to_tesla(i - 32768, units, range_, scale)) for i in indexes]
    if mine != theirs:
        first = next(k for k in range(len(mine)) if mine[k] != theirs[k])
        pytest.fail(f"count {indexes[first] - 32768}: package {mine[first]}, library {theirs[first]}")


@pytest.mark.parametrize("range_, units, scale", _distinct_rows())
def test_every_count_formats_as_the_library_does(library_formatter, range_, units, scale):
    _compare(library_formatter, range_, units, scale, 1)


@pytest.mark.parametrize("range_, units, scale", SPARSE_ROWS)
def test_other_scale_codes_and_unknown_codes_choose_the_same_row(library_formatter, range_, units,
                                                                  scale):
    _compare(library_formatter, range_, units, scale, 61)


def test_worked_examples():
    examples = [
        ((1234, 0, 0, 0), "123.4G"), ((1234, 1, 0, 0), "0.01234T"), ((1234, 0, 1, 0), "1234G"),
        ((1234, 0, 1, 2), "1.234G"), ((1234, 1, 1, 2), "0.0001234T"),
        ((1234, 2, 2, 0), "1234000Am"), ((1234, 2, 2, 5), "1234A"), ((12, 0, 2, 0), "  120G"),
        ((7, 2, 1, 0), "   700Am"), ((-5, 0, 0, 0), "-0.5G"),
        ((-32768, 2, 2, 0), "-32768000Am"), ((0, 0, 0, 0), "0.0G"),
    ]
    # (count, units, range, scale)
    assert [_format.format_reading(*args) for args, _ in examples] == [text for _, text in examples]
