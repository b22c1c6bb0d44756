#include "scpi/errors.h"

namespace korvel::scpi {

const char* errorText(int code) {
    for (const ErrorMessage& entry : kErrorMessages) {
        if (entry.errorCode == code) return entry.message;
    }
    return "UNKNOWN ERROR";
}

}  // namespace korvel::scpi
