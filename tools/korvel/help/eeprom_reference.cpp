// korvel eeprom: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Example kExamples[] = {
    {"korvel eeprom dump -o backup.bin", "Back up the whole memory", false},
    {"korvel eeprom verify backup.bin", "Compare the meter with the backup", false},
    {"korvel eeprom restore backup.bin --yes", "Write the backup back", false},
    {"korvel eeprom dump -o part.bin --start 0x100 --length 64",
     "64 bytes from address 0x100", false},
    {"korvel eeprom restore part.bin --start 0x100 --yes", "Write them back there", false},
    {"korvel --simulate eeprom dump -o sim.bin --force",
     "The simulated meter's memory", true},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Success (for `verify`: the memory matches the image)."},
    {1, "The meter answered with an error or the connection was lost; for `verify`, the memory differs from "
        "the image."},
    {2, "Usage error: bad arguments, an image that does not fit, an image of another meter without "
        "`--other-meter`, an output file that exists or cannot be created."},
    {3, "No meter found."},
    {-1, nullptr},
};

}  // namespace

extern const Reference k_eeprom_reference;
const Reference k_eeprom_reference = {
    "eeprom",
    R"txt(The meter's non-volatile memory holds its calibration: losing it ruins the meter. Keep a backup of
every meter. Images are raw binary files, one byte per memory cell.

- `dump`: reads the memory (or BYTES bytes from ADDRESS) into FILE, in the largest chunks one frame
carries, showing progress.
- `verify`: reads the memory back and compares it with FILE; exit status 1 names the first address
that differs.
- `restore`: writes FILE into the meter chunk by chunk, reading each chunk back to verify it. It
refuses to run without `--yes`, refuses a file whose size or addresses do not fit the memory, and
refuses an image that carries another meter's serial number (at the start of the memory) unless
`--other-meter`. Ctrl-C, SIGTERM and SIGHUP are held until the chunk being written is written and
verified; the restore then stops with exit status 1 and says which part of the memory still holds
its old bytes: run the restore again to complete it.)txt",
    nullptr,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
