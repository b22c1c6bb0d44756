// The :UNIT, :SENS and :MEAS subtrees.
#include "scpi/arguments.h"
#include "scpi/errors.h"
#include "scpi/handlers.h"
#include "scpi/reading_format.h"

namespace korvel::scpi {
namespace {

constexpr char kNoReadingText[] = "Error";

// Unit names by units (gauss, tesla, ampere per metre) and acdc (DC, AC).
constexpr const char* kUnitNames[3][2] = {
    {"DC GAUSS", "AC GAUSS"},
    {"DC TESLA", "AC TESLA"},
    {"DC AM", "AC AM"},
};

// form, bound, range message, posted, setter, getter, shown
constexpr NumericSetting kAutoRange{Form::SetOnly, 1,       "Error: [0-1]", kNumericDataError,
                                    mtrAutoRange,  nullptr, Shown::Decimal};
constexpr NumericSetting kRange{Form::QueryOrSet, 2,           "Error: [0-2]", kNumericDataError,
                                mtrSetRange,      mtrGetRange, Shown::Decimal};
constexpr NumericSetting kHoldState{Form::QueryOrSet, 3,          "Error: [0-3]", kNumericDataError,
                                    mtrSetHold,       mtrGetHold, Shown::Decimal};

// units, acdc
template <int Units, int AcDc>
int selectUnits(Line& line) { return mtrSetUnits(line.handle, Units, AcDc); }

}  // namespace

int unitQuery(Line& line, const char*, char* piece) {
    writeText(piece, kNoReadingText);
    MeterReading reading{};
    const int status = mtrGetReading(line.handle, &reading);
    if (status != 0) return status;
    if (reading.units >= 0 && reading.units <= 2 && reading.acdc >= 0 && reading.acdc <= 1)
        writeText(piece, kUnitNames[reading.units][reading.acdc]);
    return 0;
}

// The unit commands take no argument: any text after the keyword is ignored.
int unitAcGauss(Line& line, const char*, char*) { return selectUnits<0, 1>(line); }
int unitAcTesla(Line& line, const char*, char*) { return selectUnits<1, 1>(line); }
int unitAcAmperePerMetre(Line& line, const char*, char*) { return selectUnits<2, 1>(line); }
int unitDcGauss(Line& line, const char*, char*) { return selectUnits<0, 0>(line); }
int unitDcTesla(Line& line, const char*, char*) { return selectUnits<1, 0>(line); }
int unitDcAmperePerMetre(Line& line, const char*, char*) { return selectUnits<2, 0>(line); }

int senseAutoRange(Line& line, const char* text, char* piece) {
    return applySetting(kAutoRange, line, text, piece);
}
int senseRange(Line& line, const char* text, char* piece) {
    return applySetting(kRange, line, text, piece);
}
int senseHoldState(Line& line, const char* text, char* piece) {
    return applySetting(kHoldState, line, text, piece);
}
int senseHoldReset(Line& line, const char*, char*) { return mtrResetHold(line.handle); }

int measureFlux(Line& line, const char*, char* piece) {
    writeText(piece, kNoReadingText);
    MeterReading reading{};
    const int status = mtrGetReading(line.handle, &reading);
    if (status != 0) return status;
    formatReading(reading, piece, kPieceSize);  // "Error" when no row applies
    return 0;
}

}  // namespace korvel::scpi
