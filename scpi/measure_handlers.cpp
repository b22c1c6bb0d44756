// The :UNIT, :SENS and :MEAS subtrees.
#include "scpi/arguments.h"
#include "scpi/errors.h"
#include "scpi/handlers.h"
#include "scpi/reading_format.h"
#include "scpi/settings.h"

namespace korvel::scpi {
namespace {

constexpr char kNoReadingText[] = "Error";

// Unit names by units (gauss, tesla, ampere per metre) and acdc (DC, AC).
constexpr const char* kUnitNames[3][2] = {
    {"DC GAUSS", "AC GAUSS"},
    {"DC TESLA", "AC TESLA"},
    {"DC AM", "AC AM"},
};

}  // namespace

int selectUnits(Line& line, const char*, char*, const void* context) {
    const auto& choice = *static_cast<const settings::UnitChoice*>(context);
    return mtrSetUnits(line.handle, choice.units, choice.acdc);
}

int unitQuery(Line& line, const char*, char* piece, const void*) {
    writeText(piece, kNoReadingText);
    MeterReading reading{};
    const int status = mtrGetReading(line.handle, &reading);
    if (status != 0) return status;
    if (reading.units >= 0 && reading.units <= 2 && reading.acdc >= 0 && reading.acdc <= 1)
        writeText(piece, kUnitNames[reading.units][reading.acdc]);
    return 0;
}

int senseHoldReset(Line& line, const char*, char*, const void*) { return mtrResetHold(line.handle); }

int measureFlux(Line& line, const char*, char* piece, const void*) {
    writeText(piece, kNoReadingText);
    MeterReading reading{};
    const int status = mtrGetReading(line.handle, &reading);
    if (status != 0) return status;
    formatReading(reading, piece, kPieceSize);  // "Error" when no row applies
    return 0;
}

}  // namespace korvel::scpi
