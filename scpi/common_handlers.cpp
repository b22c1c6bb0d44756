// Common ("*...") commands and the :SYST and :STAT subtrees.
#include "scpi/arguments.h"
#include "scpi/errors.h"
#include "scpi/handlers.h"

namespace korvel::scpi {
namespace {

// Register set selectors.
constexpr int kStandardEvent = 0;
constexpr int kMeasurement = 1;
constexpr int kOperation = 2;
constexpr int kQuestionable = 3;

constexpr char kByteRange[] = "Error: [0-255]";

template <int Set>
int setEnable(MeterHandle h, int mask) { return mtrSetEnableRegister(h, Set, mask); }
template <int Set>
int getEnable(MeterHandle h, unsigned int* mask) { return mtrGetEnableRegister(h, Set, mask); }
template <int Set>
int getEvents(MeterHandle h, unsigned int* events) { return mtrGetEventRegister(h, Set, events); }
template <int Set>
int getCondition(MeterHandle h, unsigned int* condition) {
    return mtrGetConditionRegister(h, Set, condition);
}

// form, bound, range message, posted, setter, getter, shown
template <int Set>
constexpr NumericSetting kEnable{Form::QueryOrSet,     255, kByteRange, kNumericDataError,
                                 setEnable<Set>,       getEnable<Set>, Shown::ThreeDigits};
template <int Set>
constexpr NumericSetting kEvents{Form::QueryOnly, 0, nullptr, 0, nullptr, getEvents<Set>,
                                 Shown::ThreeDigits};
template <int Set>
constexpr NumericSetting kCondition{Form::QueryOnly, 0, nullptr, 0, nullptr, getCondition<Set>,
                                    Shown::ThreeDigits};

constexpr NumericSetting kStandardEvents{Form::AlwaysQuery, 0,       nullptr, 0, nullptr,
                                         getEvents<kStandardEvent>, Shown::ThreeDigits};
constexpr NumericSetting kServiceRequestEnable{Form::QueryOrSet,  255, kByteRange, kNumericDataError,
                                               mtrSetStatusEnable, mtrGetStatusEnable,
                                               Shown::ThreeDigits};
constexpr NumericSetting kStatusByte{Form::AlwaysQuery, 0,       nullptr, 0, nullptr,
                                     mtrGetStatusByte,  Shown::ThreeDigits};
constexpr NumericSetting kRelativeState{Form::QueryOrSet, 2,     "Error: [0-2]", kNumericDataError,
                                        mtrSetRelative,   mtrGetRelative, Shown::Decimal};
constexpr NumericSetting kAnalogOutput{Form::SetOnly,    2,       "Error: [0-2]", kNumericDataError,
                                       mtrSetAnalogOut, nullptr, Shown::Decimal};
constexpr NumericSetting kKeypadLockout{Form::SetOnly,     1,       "Error: [0-1]", kNumericDataError,
                                        mtrKeypadLockout, nullptr, Shown::Decimal};

// Appends text to what the piece already holds, within the piece.
void appendText(char* piece, const char* text) {
    int at = 0;
    while (at < kPieceSize - 1 && piece[at] != '\0') ++at;
    for (; at < kPieceSize - 1 && *text != '\0'; ++at, ++text) piece[at] = *text;
    piece[at] = '\0';
}

}  // namespace

int clearStatus(Line& line, const char*, char*) { return mtrClearEventRegisters(line.handle); }

int eventStatusEnable(Line& line, const char* text, char* piece) {
    return applySetting(kEnable<kStandardEvent>, line, text, piece);
}

int eventStatusRegister(Line& line, const char* text, char* piece) {
    return applySetting(kStandardEvents, line, text, piece);
}

// The meter's 40 (or 24) bytes land in the zero-filled piece, so the reply is
// its text up to the first zero byte.
int identify(Line& line, const char*, char* piece) { return mtrGetMeterInfo(line.handle, piece); }
int options(Line& line, const char*, char* piece) { return mtrGetProbeInfo(line.handle, piece); }

int operationComplete(Line& line, const char* text, char*) {
    line.opcEventPending = true;
    if (isQuery(text)) line.opcReplyPending = true;
    return 0;
}

int serviceRequestEnable(Line& line, const char* text, char* piece) {
    return applySetting(kServiceRequestEnable, line, text, piece);
}

int statusByte(Line& line, const char* text, char* piece) {
    return applySetting(kStatusByte, line, text, piece);
}

int systemError(Line& line, const char*, char* piece) {
    short code = 0;
    const int status = mtrGetNextError(line.handle, &code);
    if (status != 0) return status;
    writeDecimal(piece, code);
    appendText(piece, ", ");
    appendText(piece, errorText(code));
    return 0;
}

int systemClear(Line& line, const char*, char*) { return mtrClearErrorQueue(line.handle); }
int systemAutoZero(Line& line, const char*, char*) { return mtrAutoZero(line.handle); }

int systemRelativeState(Line& line, const char* text, char* piece) {
    return applySetting(kRelativeState, line, text, piece);
}
int systemOutput(Line& line, const char* text, char* piece) {
    return applySetting(kAnalogOutput, line, text, piece);
}
int systemKeypadLockout(Line& line, const char* text, char* piece) {
    return applySetting(kKeypadLockout, line, text, piece);
}

int measurementEvent(Line& l, const char* t, char* p) { return applySetting(kEvents<kMeasurement>, l, t, p); }
int measurementEnable(Line& l, const char* t, char* p) { return applySetting(kEnable<kMeasurement>, l, t, p); }
int measurementCondition(Line& l, const char* t, char* p) {
    return applySetting(kCondition<kMeasurement>, l, t, p);
}
int operationEvent(Line& l, const char* t, char* p) { return applySetting(kEvents<kOperation>, l, t, p); }
int operationEnable(Line& l, const char* t, char* p) { return applySetting(kEnable<kOperation>, l, t, p); }
int operationCondition(Line& l, const char* t, char* p) {
    return applySetting(kCondition<kOperation>, l, t, p);
}
int questionableEvent(Line& l, const char* t, char* p) {
    return applySetting(kEvents<kQuestionable>, l, t, p);
}
int questionableEnable(Line& l, const char* t, char* p) {
    return applySetting(kEnable<kQuestionable>, l, t, p);
}
int questionableCondition(Line& l, const char* t, char* p) {
    return applySetting(kCondition<kQuestionable>, l, t, p);
}

int statusPreset(Line& line, const char*, char*) { return mtrClearEnableRegisters(line.handle); }

}  // namespace korvel::scpi
