#include "core/system_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace korvel::cli {

std::string openSystemLibrary(const SystemLibrary& library, const char* who) {
    const char* chosen = std::getenv(library.variable);
    const std::string file = chosen != nullptr && *chosen != '\0' ? chosen : library.soname;
    const std::string install = std::string(" (Debian package ") + library.package + ")";
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        return std::string(who) + " needs " + file + install + ", which cannot be loaded: " +
               (error != nullptr ? error : "unknown error");
    }
    for (const SystemSymbol* s = library.symbols; s->name != nullptr; ++s) {
        ::dlerror();
        void* found = ::dlsym(handle, s->name);
        if (found == nullptr) {
            ::dlclose(handle);
            return std::string(who) + " needs " + s->name + " from " + file + install +
                   ", which that file lacks (an older version?)";
        }
        // POSIX: a function's address fits a void*; copied, not cast, into the typed pointer.
        std::memcpy(s->address, &found, sizeof found);
    }
    return {};
}

}  // namespace korvel::cli
