#include "scpi/errors.h"

namespace korvel::scpi {

const ErrorMessage kErrorMessages[] = {
    {0, "NO ERROR"},
    {3, "INVALID METER CAL DATA"},
    {40, "UNABLE TO READ PROBE CAL DATA"},
    {43, "INVALID PROBE CAL DATA"},
    {44, "INVALID PROBE CAL DATA"},
    {45, "INVALID PROBE CAL DATA"},
    {98, "INVALID PROBE CAL DATA"},
    {99, "METER CALIBRATION ERROR"},
    {60, "METER CALIBRATION ERROR"},
    {61, "METER CALIBRATION ERROR"},
    {62, "METER CALIBRATION ERROR"},
    {63, "METER CALIBRATION ERROR"},
    {64, "METER CALIBRATION ERROR"},
    {65, "METER CALIBRATION ERROR"},
    {66, "METER CALIBRATION ERROR"},
    {67, "METER CALIBRATION ERROR"},
    {-120, "NUMERIC DATA ERROR"},
    {-103, "INVALID SEPARATOR"},
    {-201, "NOT IN MEASURE MODE"},
    {-224, "ILLEGAL PARAMETER ERROR"},
    {-363, "INPUT BUFFER OVERRUN"},
    {-102, "SYNTAX ERROR"},
    {-100, "COMMAND ERROR"},
};

const int kErrorMessageCount = static_cast<int>(sizeof kErrorMessages / sizeof kErrorMessages[0]);

const char* errorText(int code) {
    for (const ErrorMessage& entry : kErrorMessages) {
        if (entry.errorCode == code) return entry.message;
    }
    return "UNKNOWN ERROR";
}

}  // namespace korvel::scpi
