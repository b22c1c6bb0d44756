#include "core/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/failure.h"

namespace korvel::cli {
namespace {

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
        // Missing functions stay null; require() names them when used.
#define KORVEL_CLI_RESOLVE(name) \
    library.api_.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));
        KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_CLI_RESOLVE)
        KORVEL_CLI_SIM_FUNCTIONS(KORVEL_CLI_RESOLVE)
#undef KORVEL_CLI_RESOLVE
        library.simulated_ = true;
#define KORVEL_CLI_HAS(name) library.simulated_ = library.simulated_ && library.api_.name != nullptr;
        KORVEL_CLI_SIM_FUNCTIONS(KORVEL_CLI_HAS)
#undef KORVEL_CLI_HAS
        std::string missing;
#define KORVEL_CLI_MISSING(name) \
    if (library.api_.name == nullptr) missing += std::string(missing.empty() ? "" : ", ") + #name;
        KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_CLI_MISSING)
#undef KORVEL_CLI_MISSING
        if (!missing.empty()) {
            tried += "\n  " + candidate + ": not a Korvel library of this version (it lacks " + missing + ")";
            continue;  // the handle stays loaded; harmless for a short-lived program
        }
        if (request.simulate && !library.simulated()) {
            throw Failure(kExitUsage, candidate + " is not the simulated library (it has no korvelSim "
                                      "functions): drop --simulate to use it, or give the simulated one");
        }
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
