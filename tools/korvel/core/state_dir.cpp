#include "core/state_dir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace korvel::cli {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string stateDirectory() {
    const std::string service = environment("STATE_DIRECTORY");
    if (!service.empty()) return service.substr(0, service.find(':'));
    const std::string xdg = environment("XDG_STATE_HOME");
    if (!xdg.empty() && xdg.front() == '/') return xdg + "/korvel";
    const std::string home = environment("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/.local/state/korvel";
}

int makeFolders(const std::string& path) {
    for (std::size_t slash = 1; slash != std::string::npos;) {
        slash = path.find('/', slash + 1);
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

}  // namespace korvel::cli
