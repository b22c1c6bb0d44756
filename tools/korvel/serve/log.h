// The server's log: one timestamped line per event on standard error.
#pragma once

#include <string>

namespace korvel::cli::serve {

void log(const std::string& message);

}  // namespace korvel::cli::serve
