// Reading the meter's IEEE 488.2 identification (maker, model, serial,
// firmware) as the tool shows and matches it.
#pragma once

#include <string>
#include <string_view>

namespace korvel::cli {

// The identification text as the meter sent it, cut at its first zero byte,
// with anything unprintable shown as '?'.
std::string identificationText(const char* bytes, int size);
// True when one of the identification's comma-separated fields is `serial`
// (blanks around fields and letter case ignored).
bool identificationCarriesSerial(std::string_view identification, std::string_view serial);
// The serial number field of an IEEE 488.2 identification (maker, model,
// serial, firmware); "" when it has fewer fields.
std::string serialOf(std::string_view identification);

}  // namespace korvel::cli
