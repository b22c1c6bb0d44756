// The Korvel library, loaded at run time with dlopen() and reached only
// through function pointers typed from the public headers.
#pragma once

#include <string>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"

namespace korvel::cli {

// Every function of the library the tool calls.
#define KORVEL_CLI_LIBRARY_FUNCTIONS(X)                                                    \
    X(openKorvel) X(closeKorvel) X(mtrGetReading) X(mtrGetRange) X(mtrGetMeterInfo)        \
    X(mtrGetProbeInfo) X(mtrReadEEPROM) X(mtrWriteEEPROM) X(mtrPostError) X(scpiCommand) X(mbRunTest)

// The simulated meter's controls (only the simulated library has them).
#define KORVEL_CLI_SIM_FUNCTIONS(X)                                                        \
    X(korvelSimReset) X(korvelSimMeterCount) X(korvelSimSetFieldSource) X(korvelSimUnplug) \
    X(korvelSimEepromSize) X(korvelSimGetSetting) X(korvelSimReplug) X(korvelSimSetLatency) \
    X(korvelSimSetField) X(korvelSimSetScale) X(korvelSimInjectFault) X(korvelSimIndexOf)

struct Api {
#define KORVEL_CLI_POINTER(name) decltype(&::name) name = nullptr;
    KORVEL_CLI_LIBRARY_FUNCTIONS(KORVEL_CLI_POINTER)
    KORVEL_CLI_SIM_FUNCTIONS(KORVEL_CLI_POINTER)
#undef KORVEL_CLI_POINTER
};

struct LoadRequest {
    bool simulate = false;     // the simulated library instead of the real one
    std::string explicitPath;  // --library: this file and nothing else
};

// The places to try, in order: the explicit path alone when given; otherwise
// the environment's KORVEL_LIBRARY (KORVEL_SIM_LIBRARY with simulate), the
// program's own folder, the installed library folder (relative to the
// program, then the configured one), and last the plain name for the
// dynamic loader's default search.
std::vector<std::string> libraryCandidates(const LoadRequest& request, const char* environmentPath,
                                           const std::string& programDirectory);

// The folder of the running program ("" when unknown).
std::string programDirectory();

class Library {
public:
    // Loads the first candidate that opens; throws Failure when none does.
    static Library load(const LoadRequest& request);

    Library(Library&&) noexcept;
    Library& operator=(Library&&) = delete;
    Library(const Library&) = delete;
    ~Library();

    const Api& api() const { return api_; }
    const std::string& path() const { return path_; }
    // A simulated library carries every korvelSim control the tool uses.
    bool simulated() const { return simulated_; }

    // Throws Failure naming the function when this build of the library lacks it.
    void require(const void* function, const char* name) const;

private:
    // The platform's lookup of a function in a loaded library (null: it has none).
    using Function = void (*)();
    using Lookup = Function (*)(void* handle, const char* name);

    Library() = default;
    // Finds every function of handle_ through `lookup`. False, and why in
    // `tried`, when it lacks one the program needs; throws when --simulate
    // asked for the simulated library and this is another.
    bool bind(Lookup lookup, const LoadRequest& request, std::string* tried);

    void* handle_ = nullptr;
    std::string path_;
    Api api_;
    bool simulated_ = false;
};

}  // namespace korvel::cli
