// korvel scpi: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel scpi '*IDN?'", "The meter's identification", false},
    {"korvel scpi ':UNIT:FLUX:DC:TESL' ':SENS:FLUX:RANG 1;:MEAS:FLUX?'",
     "Two lines, the second with two commands", false},
    {"korvel scpi < setup.scpi", "Lines from a file", false},
    {"korvel --simulate scpi '*IDN?' ':MEAS:FLUX?' ':SYST:ERR?'",
     "The simulated meter: identification, a reading, the error queue", true},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Success: every reply came, none an error."},
    {1, "A reply is an error, or the connection was lost."},
    {2, "Usage error."},
    {3, "No meter found."},
    {-1, nullptr},
};

}  // namespace

extern const Reference k_scpi_reference;
const Reference k_scpi_reference = {
    "scpi",
    R"txt(Sends each LINE to the meter through the library's SCPI interpreter and prints each reply on its own
line; a command without a reply prints nothing. A line may hold several commands separated by ";"
and then gets their replies joined by ";". A line holds at most 128 characters. A line that is
`:READ?`, `:FETC?` or `*TST?` alone is answered as `korvel serve` answers it: the reading as a plain
number in the unit this run last chose with `:UNIT:FLUX:`..., tesla until then; every other line
goes to the library unchanged.

Without a LINE the lines are read from standard input, so a script of SCPI commands runs with
`korvel scpi < script.scpi`.)txt",
    nullptr,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
