#include "core/meter_options.h"

#include <CLI/CLI.hpp>

namespace korvel::cli {

void addMeterOptions(CLI::App& app, MeterOptions& options) {
    const char* group = "Meter selection";
    app.add_flag("--simulate", options.simulate,
                 "Use the simulated meter (the simulated library) instead of a meter on USB")
        ->group(group);
    app.add_option("--meter", options.serial,
                   "Use the meter with this serial number (see 'korvel list'); default: the first found")
        ->type_name("SERIAL")
        ->group(group);
    app.add_option("--library", options.library, "Load this build of the Korvel library")
        ->type_name("PATH")
        ->group(group);
    const char* simGroup = "Simulated meter (with --simulate)";
    app.add_option("--field", options.field,
                   "DC field the simulated probe sits in, in tesla (default 0.0125), with a little noise "
                   "and slow drift")
        ->type_name("TESLA")
        ->check(CLI::Range(-10.0, 10.0))
        ->group(simGroup);
    app.add_option("--meters", options.meters, "Put N simulated meters on the bus (0 to 16; default 1)")
        ->type_name("N")
        ->check(CLI::Range(0, 16))
        ->group(simGroup);
    app.add_option("--unplug-after", options.unplugAfter,
                   "Pull the simulated meter's cable SECONDS after it was opened (to see how a "
                   "script copes with a lost meter)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber)
        ->group(simGroup);
}

}  // namespace korvel::cli
