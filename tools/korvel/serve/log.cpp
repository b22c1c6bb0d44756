#include "serve/log.h"

#include <chrono>
#include <cstdio>

#include "core/reading.h"

namespace korvel::cli::serve {

void log(const std::string& message) {
    std::fprintf(stderr, "%s korvel serve: %s\n", isoTimestamp(std::chrono::system_clock::now()).c_str(),
                 message.c_str());
    std::fflush(stderr);
}

}  // namespace korvel::cli::serve
