// What a loaded library is, whichever way the platform loaded it
// (library.cpp on Linux, windows/library_win32.cpp on Windows).
#include <utility>

#include "core/failure.h"
#include "core/library.h"

namespace korvel::cli {

Library::Library(Library&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)), api_(other.api_), simulated_(other.simulated_) {
    other.handle_ = nullptr;
}

// The library stays loaded for the life of the process: its meters and the
// simulated bus may be in use until exit, and unloading it gains nothing.
Library::~Library() = default;

bool Library::bind(Lookup lookup, const LoadRequest& request, std::string* tried) {
    // Missing functions stay null; require() names them when used.
#define KORVEL_CLI_RESOLVE(name) api_.name = reinterpret_cast<decltype(&::name)>(lookup(handle_, #name));
    KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_CLI_RESOLVE)
    KORVEL_CLI_SIM_FUNCTIONS(KORVEL_CLI_RESOLVE)
#undef KORVEL_CLI_RESOLVE
    simulated_ = true;
#define KORVEL_CLI_HAS(name) simulated_ = simulated_ && api_.name != nullptr;
    KORVEL_CLI_SIM_FUNCTIONS(KORVEL_CLI_HAS)
#undef KORVEL_CLI_HAS
    std::string missing;
#define KORVEL_CLI_MISSING(name) \
    if (api_.name == nullptr) missing += std::string(missing.empty() ? "" : ", ") + #name;
    KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_CLI_MISSING)
#undef KORVEL_CLI_MISSING
    if (!missing.empty()) {
        *tried += "\n  " + path_ + ": not a Korvel library of this version (it lacks " + missing + ")";
        return false;  // the library stays loaded; harmless for a short-lived program
    }
    if (request.simulate && !simulated_) {
        throw Failure(kExitUsage, path_ + " is not the simulated library (it has no korvelSim "
                                  "functions): drop --simulate to use it, or give the simulated one");
    }
    return true;
}

void Library::require(const void* function, const char* name) const {
    if (function != nullptr) return;
    throw Failure(kExitMeterError, "the library " + path_ + " has no " + name +
                                       ": it is older than this program; use a matching build "
                                       "(--library PATH)");
}

}  // namespace korvel::cli
