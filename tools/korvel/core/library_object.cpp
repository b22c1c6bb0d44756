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

void Library::require(const void* function, const char* name) const {
    if (function != nullptr) return;
    throw Failure(kExitMeterError, "the library " + path_ + " has no " + name +
                                       ": it is older than this program; use a matching build "
                                       "(--library PATH)");
}

}  // namespace korvel::cli
