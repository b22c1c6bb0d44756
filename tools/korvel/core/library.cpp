#include "core/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/failure.h"

namespace korvel::cli {
namespace {

// dlsym's answer as the generic function pointer the binding takes.
void (*findFunction(void* handle, const char* name))() { return reinterpret_cast<void (*)()>(dlsym(handle, name)); }

std::string join(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

}  // namespace

std::vector<std::string> libraryCandidates(const LoadRequest& request, const char* environmentPath,
                                           const std::string& programDir) {
    if (!request.explicitPath.empty()) {
        // A bare name goes to the loader's search; anything with a slash is a file.
        return {request.explicitPath};
    }
    const std::string name = request.simulate ? KORVEL_CLI_SIM_SONAME : KORVEL_CLI_SONAME;
    std::vector<std::string> candidates;
    if (environmentPath != nullptr && *environmentPath != '\0') candidates.emplace_back(environmentPath);
    if (!programDir.empty()) {
        candidates.push_back(join(programDir, name));
        candidates.push_back(join(join(programDir, KORVEL_CLI_RELATIVE_LIBDIR), name));
    }
    const std::string installed = join(KORVEL_CLI_INSTALL_LIBDIR, name);
    bool already = false;
    for (const auto& c : candidates) already = already || c == installed;
    if (!already) candidates.push_back(installed);
    candidates.push_back(name);
    return candidates;
}

std::string programDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return self.parent_path().string();
}

Library Library::load(const LoadRequest& request) {
    const char* environment = std::getenv(request.simulate ? "KORVEL_SIM_LIBRARY" : "KORVEL_LIBRARY");
    const auto candidates = libraryCandidates(request, environment, programDirectory());
    std::string tried;
    for (const auto& candidate : candidates) {
        const bool isFile = candidate.find('/') != std::string::npos;
        if (isFile && access(candidate.c_str(), F_OK) != 0) {
            tried += "\n  " + candidate + ": no such file";
            continue;
        }
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            tried += "\n  " + candidate + ": " + (why != nullptr ? why : "cannot be loaded");
            continue;
        }
        Library library;
        library.handle_ = handle;
        library.path_ = candidate;
        if (!library.bind(findFunction, request, &tried)) continue;
        return library;
    }
    const std::string which = request.simulate ? "the simulated Korvel library" : "the Korvel library";
    throw Failure(kExitMeterError,
                  "cannot load " + which + "; tried:" + tried +
                      "\nInstall Korvel, run korvel from its build folder, or name the library with "
                      "--library PATH" +
                      (request.simulate ? " (or KORVEL_SIM_LIBRARY)." : " (or KORVEL_LIBRARY)."));
}

}  // namespace korvel::cli
