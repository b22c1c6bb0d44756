// The :DIAG subtree: service commands of the meter's hardware.
#include "scpi/arguments.h"
#include "scpi/errors.h"
#include "scpi/handlers.h"

namespace korvel::scpi {
namespace {

// Two-number and keyword-form commands: bounds and refusals.
struct Bound {
    unsigned most;
    const char* message;
    int error;  // posted when refused; 0 posts nothing
};
constexpr Bound kDacNumber{3, "ERR: DAC must be 0-3", 0};
constexpr Bound kDacValue{65535, "ERR: val must be 0-65535", 0};
constexpr Bound kProbeIndex{255, "ERR: [0-255]", 0};
// Beyond these the meter would get another address or byte than the one asked
// for (only the low 16 and 8 bits travel), so they are refused.
constexpr Bound kEepromAddress{65535, "Error: [0-65535]", kNumericDataError};
constexpr Bound kEepromValue{255, "Error: [0-255]", kNumericDataError};
// The meter reported reading no byte: there is nothing to show, and showing
// any number would be a lie.
constexpr char kNoByteText[] = "ERR: No Data";

// One response carries at most 55 memory bytes; room for all of them.
constexpr int kEepromValuesRoom = 55;
constexpr unsigned kNotStored = 0xFFFFFFFFU;  // never a byte

bool above(const Bound& bound, int value) { return static_cast<unsigned>(value) > bound.most; }

int refuseAbove(Line& line, char* piece, const Bound& bound) {
    return refuse(line, piece, bound.error, bound.message);
}

bool endsInQuery(const char* token) { return isQuery(token); }

}  // namespace

int diagRecalibrate(Line& line, const char*, char*, const void*) { return mtrRecal(line.handle); }

int diagMuxCurrent(Line&, const char*, char* piece, const void*) {
    writeText(piece, "DIAGnostic:MUX:CURRent");
    return 0;
}

int diagDriverVersion(Line&, const char*, char* piece, const void*) {
    writeText(piece, "1.01");
    return 0;
}


int diagDac(Line& line, const char* text, char* piece, const void*) {
    if (isTooLong(text)) return refuse(line, piece, kInputBufferOverrun, kTooLongText);
    const Tokens tokens(text);
    if (tokens.at(0) == nullptr || tokens.at(1) == nullptr)
        return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int dac = toInteger(tokens.at(1));
    if (above(kDacNumber, dac)) return refuseAbove(line, piece, kDacNumber);
    if (tokens.at(2) == nullptr) return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int value = toInteger(tokens.at(2));
    if (above(kDacValue, value)) return refuseAbove(line, piece, kDacValue);
    return mtrSetDAC(line.handle, dac, value);
}

int diagEeprom(Line& line, const char* text, char* piece, const void*) {
    if (isTooLong(text)) return refuse(line, piece, kInputBufferOverrun, kTooLongText);
    const Tokens tokens(text);
    if (tokens.at(0) == nullptr || tokens.at(1) == nullptr)
        return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int address = toInteger(tokens.at(1));
    if (above(kEepromAddress, address)) return refuseAbove(line, piece, kEepromAddress);

    if (endsInQuery(tokens.at(0))) {  // :EEPR? ADDRESS reads
        unsigned int values[kEepromValuesRoom];
        values[0] = kNotStored;
        const int status = mtrReadEEPROM(line.handle, address, 1, values);
        if (status != 0) return status;
        if (values[0] == kNotStored) {
            writeText(piece, kNoByteText);
            return 0;
        }
        writeThreeDigits(piece, values[0]);
        return 0;
    }

    if (tokens.at(2) == nullptr) return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int value = toInteger(tokens.at(2));
    if (above(kEepromValue, value)) return refuseAbove(line, piece, kEepromValue);
    const int values[1] = {value};
    const int status = mtrWriteEEPROM(line.handle, address, 1, values);
    if (status != 0) return status;
    writeThreeDigits(piece, value);
    return 0;
}

int diagAdc(Line& line, const char*, char* piece, const void*) {
    unsigned int reading = 0;
    const int status = mtrDiagGetAdc(line.handle, &reading);
    if (status != 0) return status;
    writeDecimal(piece, reading);
    return 0;
}

int diagProbeData(Line& line, const char* text, char* piece, const void*) {
    if (isTooLong(text)) return refuse(line, piece, kInputBufferOverrun, kTooLongText);
    const Tokens tokens(text);
    if (tokens.at(0) == nullptr || tokens.at(1) == nullptr)
        return refuse(line, piece, kSyntaxError, kSyntaxText);
    const int index = toInteger(tokens.at(1));
    if (!endsInQuery(tokens.at(0))) return refuse(line, piece, kSyntaxError, kSyntaxText);
    if (above(kProbeIndex, index)) return refuseAbove(line, piece, kProbeIndex);
    unsigned int value = 0;
    const int status = mtrGetProbeData(line.handle, index, &value);
    if (status != 0) return status;
    writeThreeDigits(piece, value);
    return 0;
}

// No copy and no length test: only the final "?" decides.
int diagFrequency(Line& line, const char* text, char* piece, const void*) {
    if (!isQuery(text)) return refuse(line, piece, kSyntaxError, kSyntaxText);
    unsigned int frequency = 0;
    const int status = mtrGetFrequency(line.handle, &frequency);
    if (status != 0) return status;
    writeDecimal(piece, frequency);
    return 0;
}

}  // namespace korvel::scpi
