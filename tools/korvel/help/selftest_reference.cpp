// korvel selftest: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel selftest", "The meter on USB; press Enter", false},
    {"echo | korvel --simulate selftest", "The simulated meter", true},
    {nullptr, nullptr, false},
};

}  // namespace

extern const Reference k_selftest_reference;
const Reference k_selftest_reference = {
    "selftest",
    R"txt(Runs the self-test built into the library: it prompts, waits for one key press (Enter), opens the
first meter, sends "*idn?", ":syst:out 0" and, one second later, ":syst:out 1", prints each reply
and closes the meter.)txt",
    nullptr,
    kExamples,
    kCommonExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
