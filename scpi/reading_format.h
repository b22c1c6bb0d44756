// The meter's reading as text and in SI units, from one table.
//
// Self-contained: depends on korvel.h and the standard library only, so tools
// link this same unit to show exactly what :MEAS:FLUX? shows. The text is made
// from the count with integer arithmetic: no printf, so the host program's
// locale (a decimal comma) never reaches the reading.
#pragma once

#include "korvel.h"

namespace korvel::scpi {

// How the shown number is made from the count.
enum class Scaling { Unchanged, Divide, Multiply };

// The unit a row's shown number is in, as a multiple of an SI-convertible
// base unit: "A" rows show kA/m (1000 A/m).
struct ShownUnit {
    double perShown;      // base units per shown unit: 1000 for kA/m, else 1
    double teslaPerBase;  // tesla per base unit: gauss 1e-4, tesla 1, ampere per metre mu0
};

// One row: which readings it serves and how they are shown.
struct FormatRow {
    int range;
    int units;           // 0 gauss, 1 tesla, 2 ampere per metre
    int scale;           // kAnyScale matches every scale code
    Scaling scaling;
    int amount;           // the divisor (a power of ten) or the factor
    int width;            // the number is right-aligned in at least this many characters
    int decimals;         // digits after the point (10^decimals is the divisor)
    const char* letters;  // the unit letters after the number
    ShownUnit unit;       // what the shown number counts
};

inline constexpr int kAnyScale = -1;

// The row a reading selects (range, then units, then scale code), or null
// when its range or units lie outside the table.
const FormatRow* findFormatRow(const MeterReading& reading);

// Writes the :MEAS:FLUX? text of a reading into out (size bytes, cut to
// size - 1 characters and terminated; nothing written when size <= 0).
// Returns the length of the full text, or -1 when the reading selects no row
// (out then holds "Error").
int formatReading(const MeterReading& reading, char* out, int size);

// The number the meter shows, converted to tesla (gauss x 1e-4, tesla x 1,
// "Am" (A/m) x 4 pi 1e-7, "A" (kA/m) x 4 pi 1e-4; the scaling is done in
// double precision so that the decimal value the text shows is kept). False
// when no row applies.
bool readingToTesla(const MeterReading& reading, double* tesla);

// The whole table, for tools that list it and for tests.
int formatRowCount();
const FormatRow& formatRowAt(int index);

}  // namespace korvel::scpi
