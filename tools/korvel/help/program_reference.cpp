// korvel (the program): the reference beside its options (see help/reference.h).
#include "help/reference.h"

namespace korvel::cli::help {
namespace {

const Section kSections[] = {
    {"CONFIG FILES",
     R"txt(Every command's options can come from a file: `--config` FILE, else
$XDG_CONFIG_HOME/korvel/korvel.conf (~/.config/korvel/korvel.conf), else /etc/korvel/korvel.conf,
when there. The options before the command are top-level keys, each command's own go into a section
named after it; keys are the long option names without the dashes, and the command line wins. A key
the command does not know, or a value it refuses, is an error naming the file, the section and the
key. Two jobs that need different meters use a file each (`--config`).

  meter = "KV0002"
  
  [read]
  interval = 0.5
  format = "csv"
  output = "field.csv"
  rotate-time = 86400
  
  [publish]
  broker = "mqtt://127.0.0.1:1883")txt"},
    {"FILES",
     R"txt(- /lib/udev/rules.d/70-korvel.rules: Gives the user logged in at the machine access to the meter.
- /etc/korvel/korvel.conf: Options for every command (see `CONFIG FILES`).
- /lib/systemd/system/korvel-read@.service, korvel-publish@.service, korvel-serve.service: Services,
installed disabled: `korvel-read@`NAME logs with /etc/korvel/read-NAME.conf into
/var/lib/korvel/logs/NAME, `korvel-publish@`NAME publishes with /etc/korvel/publish-NAME.conf (spool
in /var/lib/korvel/publish/NAME). Enable one with `systemctl enable --now korvel-read@bench3`.
- /lib/udev/rules.d/60-korvel-plugdev.rules: Gives members of the group `plugdev` access (machines
without a logged-in seat).)txt"},
    {"NOTES",
     R"txt(A meter that is plugged in but cannot be opened is nearly always a permissions problem. After
installing the udev rules, reload them and plug the meter in again:

  sudo udevadm control --reload-rules
  sudo udevadm trigger --subsystem-match=usb)txt"},
    {nullptr, nullptr},
};

const Example kExamples[] = {
    {"korvel --simulate info", "What the (simulated) meter is and how it is set", true},
    {"korvel --simulate read -n 10", "Ten readings", true},
    {"korvel read --duration 60 --interval 0.5 --format csv -o field.csv",
     "A minute of readings into a CSV log", false},
    {"korvel scpi '*IDN?' ':MEAS:FLUX?'", "One reply per line", false},
    {"korvel console",
     "Interactive SCPI console (Tab completes, `help` lists the commands)", false},
    {"korvel eeprom dump -o backup.bin", "Back up the meter's calibration memory", false},
    {"korvel --simulate --meters 3 list", "Every meter on the bus, with its serial number", true},
    {"korvel info --meter KV0002", "One meter of several, by its serial number", false},
    {nullptr, nullptr, false},
};

const ExitCode kExitCodes[] = {
    {0, "Success (also a `read` ended by Ctrl-C)."},
    {1, "The meter answered with an error, or the connection was lost (also: the memory differs from the "
        "image, the library could not be loaded)."},
    {2, "Usage error: bad arguments, an image that does not fit, an output file that cannot be created."},
    {3, "No meter found, or none could be opened."},
    {-1, nullptr},
};

}  // namespace

extern const Reference kProgramReference;
const Reference kProgramReference = {
    "",
    R"txt(`korvel` talks to a hand-held Hall-probe gaussmeter/teslameter on USB through the Korvel library
(libkorvel-x64.so). It identifies the meter, sends SCPI commands, logs readings to text, CSV or JSON
lines, backs up and restores the meter's non-volatile memory (which holds its calibration) and runs
the meter's self-test.

With `--simulate` every command runs against a simulated meter instead (libkorvel-x64-sim.so): a
plausible, slowly drifting field with a little noise, and settings that stick for the life of the
process. No hardware is needed to try the program.)txt",
    kSections,
    kExamples,
    kExitCodes,
    nullptr,
};

}  // namespace korvel::cli::help
