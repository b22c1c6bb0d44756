// The commands `korvel serve` refuses unless --allow-service.
#pragma once

#include <string_view>

namespace korvel::cli::serve {

// True when some command of the line would change the meter's memory,
// calibration or service hardware: an EEPROM write, a DAC load, a
// recalibration, the diagnostic mode, the power-off timer, or anything under
// :DIAG:MUX. The test follows the interpreter's own matching (pieces split
// at ";", letters upper-cased, keywords compared by prefix, the descent at
// the next ":"), so a long form such as :DIAGNOSTIC:RECALIBRATE is caught
// like :DIAG:REC, and an EEPROM read (:DIAG:DAT:EEPR? 16) is not.
bool isServiceLine(std::string_view line);

}  // namespace korvel::cli::serve
