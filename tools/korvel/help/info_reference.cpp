// korvel info: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel info", "The meter on USB", false},
    {"korvel --simulate info", "The simulated meter", true},
    {"korvel info --meter KV0002", "The meter with this serial number", false},
    {nullptr, nullptr, false},
};

}  // namespace

extern const Reference k_info_reference;
const Reference k_info_reference = {
    "info",
    R"txt(Opens the meter and prints what it is and how it is set: the identification ("*IDN?"), the probe
("*OPT?"), units and AC/DC, range and auto-range, hold, relative mode, a reading, the status byte,
and every entry waiting in the meter's error queue with its text. Reading the error queue empties
it.)txt",
    nullptr,
    kExamples,
    kCommonExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
