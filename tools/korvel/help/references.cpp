// The reference tables of the program and of each subcommand (one
// <name>_reference.cpp per line of subcommands.def).
#include <cstring>

#include "help/reference.h"

namespace korvel::cli::help {

extern const Reference kProgramReference;
#define KORVEL_SUBCOMMAND(name) extern const Reference k_##name##_reference;
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND

namespace {

const Reference* const kReferences[] = {
    &kProgramReference,
#define KORVEL_SUBCOMMAND(name) &k_##name##_reference,
#include "subcommands.def"
#undef KORVEL_SUBCOMMAND
    nullptr,
};

}  // namespace

const ExitCode kCommonExitCodes[] = {
    {0, "Success."},
    {1, "The meter answered with an error, or the connection was lost."},
    {2, "Usage error (unknown command or option, a bad value)."},
    {3, "No meter found, or none could be opened."},
    {-1, nullptr},
};

const Reference* referenceOf(const char* name) {
    for (const Reference* const* r = kReferences; *r != nullptr; ++r)
        if (std::strcmp((*r)->name, name) == 0) return *r;
    return nullptr;
}

const Reference* const* references() { return kReferences; }

}  // namespace korvel::cli::help
