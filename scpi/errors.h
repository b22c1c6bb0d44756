// Error numbers this library posts into the meter's error queue, and the
// texts :SYST:ERR? shows for every number the meter may hold.
#pragma once

#include "korvel.h"

namespace korvel::scpi {

inline constexpr int kCommandError = -100;
inline constexpr int kSyntaxError = -102;
inline constexpr int kNumericDataError = -120;
inline constexpr int kInputBufferOverrun = -363;

struct ErrorMessage {
    int errorCode;
    const char* message;
};

// The 23 known numbers, in their stored order.
extern const ErrorMessage kErrorMessages[];
extern const int kErrorMessageCount;

// The text of an error number, "UNKNOWN ERROR" for one the table lacks.
const char* errorText(int code);

// Posts an error number; whether the post arrived is not examined (the
// reply text already tells the caller what went wrong).
inline void postError(MeterHandle handle, int code) { (void)mtrPostError(handle, code); }

}  // namespace korvel::scpi
