// JSON text for every record the tool writes (logs, MQTT payloads, the
// page): one escaper and one number form, so a string or a value is written
// the same way wherever it goes.
#pragma once

#include <string>

namespace korvel::cli {

// A JSON string: '"' and '\' escaped with a backslash, other control
// characters (and DEL) as \u00XX; everything else byte for byte.
std::string jsonString(const std::string& text);
// A number with up to 9 significant digits, or null when it is not finite.
std::string jsonNumber(double value);

}  // namespace korvel::cli
