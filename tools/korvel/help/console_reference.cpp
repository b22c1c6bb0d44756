// korvel console: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Section kSections[] = {
    {"FILES",
     R"txt(~/.korvel_history)txt"},
    {nullptr, nullptr},
};

const Example kExamples[] = {
    {"korvel console", "The meter on USB", false},
    {"korvel --simulate console", "The simulated meter", true},
    {"printf '*IDN?\\n:MEAS:FLUX?\\n' | korvel --simulate console",
     "Lines from a pipe, without a prompt", true},
    {nullptr, nullptr, false},
};

}  // namespace

extern const Reference k_console_reference;
const Reference k_console_reference = {
    "console",
    R"txt(Opens the meter and reads SCPI command lines from the terminal, printing each reply. Lines can be
edited, earlier lines recalled with the arrow keys (the history is kept in ~/.korvel_history), and
the Tab key completes the keywords of the SCPI command tree.

- `help`: lists the commands with one line each; `help` WORD only those whose command or description
holds WORD. Neither is sent to the meter.
- `Ctrl-C`: drops the line being typed and shows a fresh prompt.
- `quit` (or Ctrl-D): leaves the console.

When standard input is not a terminal the console behaves like `korvel scpi` without a prompt.)txt",
    kSections,
    kExamples,
    kCommonExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
