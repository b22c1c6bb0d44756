// korvel read: the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Section kSections[] = {
    {"LOG FILES",
     R"txt(A CSV log starts with "#" comment lines and a JSON-lines log with one {"type":"meta",...} record:
the program's version, the meter's identification and serial number, the probe, units, AC/DC, range,
auto-range, the start time (UTC), the host and the command line. Each record reaches the file whole
or not at all: on a full disk the file ends at the last whole record, the run ends with exit status
1 and the summary counts exactly the records in the file. Every record is flushed as it is taken and
the file is synced to the disk at the end.)txt"},
    {nullptr, nullptr},
};

const Example kExamples[] = {
    {"korvel --simulate read -n 10 --units T --range auto",
     "Ten readings in tesla, auto-ranging", true},
    {"korvel read --duration 60 --interval 0.5 --format csv -o field.csv",
     "A minute, two readings a second, into a CSV log", false},
    {"korvel read --continuous --format jsonl | jq .tesla",
     "Until Ctrl-C, as JSON lines, into jq", false},
    {"korvel read --continuous --interval 1 --format csv -o field.csv --reconnect --rotate-time 86400 --append",
     "Logging for days: riding out a lost meter, a new file a day, going on after a restart", false},
    {nullptr, nullptr, false},
};

}  // namespace

extern const Reference k_read_reference;
const Reference k_read_reference = {
    "read",
    R"txt(Takes readings from the meter and writes one line per reading: an ISO-8601 UTC time stamp, the
seconds elapsed since the first reading, the field in tesla (computed from the meter's raw count,
units, range and resolution), the meter's own formatted text (as ":MEAS:FLUX?" answers), the units,
the range and AC/DC. Without `-n`, `--duration` or `--continuous` it takes one reading.

At the end a summary goes to standard error: count, minimum, maximum, mean, standard deviation and
readings per second. While writing to a file, a live progress line is shown on standard error when
that is a terminal.

Ctrl-C ends the run cleanly: the file is complete and flushed and the summary printed. A meter lost
in the middle of a run ends it with a message and exit status 1; every reading taken so far is kept;
with `--reconnect` the run waits for the same meter (by serial number) instead, writes a gap record
with the outage's start and end, and goes on.

An existing `-o` FILE is refused (exit status 2) unless `--append` or `--force`. `--append` adds the
run, after a new meta block, only onto a log korvel wrote in the same format; another file is
refused and left untouched, and a rotated set whose last file is full or holds an older column set
goes on in its next file. `--rotate-size` and `--rotate-time` start numbered files (FILE.0002.csv,
...), each with its meta block.

The settings (`--units`, `--ac`/`--dc`, `--range`) are applied before the first reading and read
back; a meter that does not take them ends the run with exit status 1 before anything is logged.
Every record carries `over_range` (the count pinned at the end of its range).)txt",
    kSections,
    kExamples,
    kCommonExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
