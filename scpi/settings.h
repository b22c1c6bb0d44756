// The data the command tree hangs on its entries: every single-number
// command's descriptor (served by the one numericSetting handler) and the
// unit choices (served by selectUnits).
#pragma once

#include "korvel.h"
#include "scpi/arguments.h"
#include "scpi/errors.h"

namespace korvel::scpi::settings {

// Register set selectors.
inline constexpr int kStandardEvent = 0;
inline constexpr int kMeasurement = 1;
inline constexpr int kOperation = 2;
inline constexpr int kQuestionable = 3;

inline constexpr char kByteRange[] = "Error: [0-255]";

template <int Set>
int setEnable(MeterHandle h, int mask) { return mtrSetEnableRegister(h, Set, mask); }
template <int Set>
int getEnable(MeterHandle h, unsigned int* mask) { return mtrGetEnableRegister(h, Set, mask); }
template <int Set>
int getEvents(MeterHandle h, unsigned int* events) { return mtrGetEventRegister(h, Set, events); }
template <int Set>
int getCondition(MeterHandle h, unsigned int* condition) { return mtrGetConditionRegister(h, Set, condition); }

// form, bound, range message, posted, setter, getter, shown
template <int Set>
inline constexpr NumericSetting kEnable{Form::QueryOrSet, 255, kByteRange, kNumericDataError,
                                        setEnable<Set>, getEnable<Set>, Shown::ThreeDigits};
template <int Set>
inline constexpr NumericSetting kEvents{Form::QueryOnly, 0, nullptr, 0, nullptr, getEvents<Set>,
                                        Shown::ThreeDigits};
template <int Set>
inline constexpr NumericSetting kCondition{Form::QueryOnly, 0, nullptr, 0, nullptr, getCondition<Set>,
                                           Shown::ThreeDigits};

inline constexpr NumericSetting kStandardEvents{Form::AlwaysQuery, 0, nullptr, 0, nullptr,
                                                getEvents<kStandardEvent>, Shown::ThreeDigits};
inline constexpr NumericSetting kServiceRequestEnable{Form::QueryOrSet, 255, kByteRange, kNumericDataError,
                                                      mtrSetStatusEnable, mtrGetStatusEnable,
                                                      Shown::ThreeDigits};
inline constexpr NumericSetting kStatusByte{Form::AlwaysQuery, 0, nullptr, 0, nullptr, mtrGetStatusByte,
                                            Shown::ThreeDigits};
inline constexpr NumericSetting kRelativeState{Form::QueryOrSet, 2, "Error: [0-2]", kNumericDataError,
                                               mtrSetRelative, mtrGetRelative, Shown::Decimal};
inline constexpr NumericSetting kAnalogOutput{Form::SetOnly, 2, "Error: [0-2]", kNumericDataError,
                                              mtrSetAnalogOut, nullptr, Shown::Decimal};
inline constexpr NumericSetting kKeypadLockout{Form::SetOnly, 1, "Error: [0-1]", kNumericDataError,
                                               mtrKeypadLockout, nullptr, Shown::Decimal};

inline constexpr NumericSetting kAutoRange{Form::SetOnly, 1, "Error: [0-1]", kNumericDataError,
                                           mtrAutoRange, nullptr, Shown::Decimal};
inline constexpr NumericSetting kRange{Form::QueryOrSet, 2, "Error: [0-2]", kNumericDataError,
                                       mtrSetRange, mtrGetRange, Shown::Decimal};
inline constexpr NumericSetting kHoldState{Form::QueryOrSet, 3, "Error: [0-3]", kNumericDataError,
                                           mtrSetHold, mtrGetHold, Shown::Decimal};

// The multiplexer refusals post nothing; the others post -120.
inline constexpr NumericSetting kMuxRange{Form::SetOnly, 6, "ERR: Range must be 0-6", 0,
                                          mtrDiagSetRange, nullptr, Shown::Decimal};
inline constexpr NumericSetting kMuxAmplifier{Form::SetOnly, 1, "ERR: AMPIN must be 0-1", 0,
                                              mtrDiagSetAmpin, nullptr, Shown::Decimal};
inline constexpr NumericSetting kLimit{Form::SetOnly, 1, "Error: [0-1]", kNumericDataError, mtrSetLimit,
                                       nullptr, Shown::Decimal};
inline constexpr NumericSetting kDiagMode{Form::SetOnly, 1, "Error: [0-1]", kNumericDataError,
                                          mtrSetDiagMode, nullptr, Shown::Decimal};
inline constexpr NumericSetting kPowerOffTimer{Form::SetOnly, 1, "Error: [0-1]", kNumericDataError,
                                               mtrSetPwroffTimer, nullptr, Shown::Decimal};

// A :UNIT:FLUX choice: units (0 gauss, 1 tesla, 2 A/m) and acdc (0 DC, 1 AC).
struct UnitChoice {
    int units;
    int acdc;
};
inline constexpr UnitChoice kAcGauss{0, 1}, kAcTesla{1, 1}, kAcAmperePerMetre{2, 1};
inline constexpr UnitChoice kDcGauss{0, 0}, kDcTesla{1, 0}, kDcAmperePerMetre{2, 0};

}  // namespace korvel::scpi::settings
