// Error numbers this library posts into the meter's error queue, and the
// texts :SYST:ERR? shows for every number the meter may hold (error_list.h).
#pragma once

#include "korvel.h"
#include "scpi/error_list.h"

namespace korvel::scpi {

struct ErrorMessage {
    int errorCode;
    const char* message;
};

#define KORVEL_SCPI_ERROR_ENTRY(number, text) {number, text},
inline constexpr ErrorMessage kErrorMessages[] = {KORVEL_SCPI_ERRORS(KORVEL_SCPI_ERROR_ENTRY)};
#undef KORVEL_SCPI_ERROR_ENTRY
inline constexpr int kErrorMessageCount = static_cast<int>(sizeof kErrorMessages / sizeof kErrorMessages[0]);

constexpr bool isListedError(int code) {
    for (const ErrorMessage& entry : kErrorMessages) {
        if (entry.errorCode == code) return true;
    }
    return false;
}

// The numbers the library posts itself; each one is on the list.
inline constexpr int kCommandError = -100;
inline constexpr int kSyntaxError = -102;
inline constexpr int kNumericDataError = -120;
inline constexpr int kInputBufferOverrun = -363;
static_assert(isListedError(kCommandError) && isListedError(kSyntaxError) &&
              isListedError(kNumericDataError) && isListedError(kInputBufferOverrun));

// The text of an error number, "UNKNOWN ERROR" for one the list lacks.
const char* errorText(int code);

// Posts an error number; whether the post arrived is not examined (the
// reply text already tells the caller what went wrong).
inline void postError(MeterHandle handle, int code) { (void)mtrPostError(handle, code); }

}  // namespace korvel::scpi
