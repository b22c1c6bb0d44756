// Small text helpers shared by the tool's core.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli {

// `text` without the white space around it.
std::string trim(std::string_view text);
// The comma-separated fields of `text`, each trimmed.
std::vector<std::string> commaFields(std::string_view text);
// True when `a` and `b` are equal ignoring ASCII letter case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace korvel::cli
