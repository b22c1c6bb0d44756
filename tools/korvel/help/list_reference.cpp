// korvel list: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel list", "Every meter on USB", false},
    {"korvel --simulate --meters 3 list", "Three simulated meters", true},
    {nullptr, nullptr, false},
};

}  // namespace

extern const Reference k_list_reference;
const Reference k_list_reference = {
    "list",
    R"txt(Opens every meter found, one after another, and prints each one's identification, so the serial
number to pass to `--meter` can be read off. A meter held by another program is not listed.)txt",
    nullptr,
    kExamples,
    kCommonExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
