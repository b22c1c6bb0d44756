#include "core/meter_options.h"

#include <CLI/CLI.hpp>

#include "core/option_values.h"

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
        ->check(valueCheck("--field", {ValueRule::Number, -10, 10, false, false, "a number of tesla"}))
        ->group(simGroup);
    app.add_option("--meters", options.meters, "Put N simulated meters on the bus (0 to 16; default 1)")
        ->type_name("N")
        ->check(valueCheck("--meters", {ValueRule::Whole, 0, 16, false, false, "a whole number"}))
        ->group(simGroup);
    app.add_option("--unplug-after", options.unplugAfter,
                   "Pull the simulated meter's cable SECONDS after it was opened (to see how a "
                   "script copes with a lost meter)")
        ->type_name("SECONDS")
        ->check(valueCheck("--unplug-after", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}))
        ->group(simGroup);
    app.add_option("--latency", options.latency,
                   "Seconds each exchange with the simulated meter takes (default 0.001, a USB round trip; 0 "
                   "answers at once)")
        ->type_name("SECONDS")
        ->check(valueCheck("--latency", {ValueRule::Number, 0, 10, false, false, "a number of seconds"}))
        ->group(simGroup);
    app.add_option("--seed", options.seed,
                   "Seed the simulated noise with N and leave out the slow drift, so two runs read alike")
        ->type_name("N")
        ->check(valueCheck("--seed", {ValueRule::Whole, 0, 4294967295.0, false, false, "a whole number"}))
        ->group(simGroup);
    app.add_option("--replug-after", options.replugAfter,
                   "With --unplug-after: plug the simulated meter back in SECONDS after it was pulled "
                   "(to see a logger reconnect)")
        ->type_name("SECONDS")
        ->check(valueCheck("--replug-after", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}))
        ->group(simGroup);
    app.add_option("--unplug-every", options.unplugEvery,
                   "Pull the simulated meter's cable every SECONDS, plugging it back in after --replug-after "
                   "(default 1) each time (for long runs that must ride out outages)")
        ->type_name("SECONDS")
        ->check(valueCheck("--unplug-every", {ValueRule::Number, 0, 0, true, true, "a number of seconds"}))
        ->group(simGroup);
    app.add_option("--stall-after", options.stallAfter,
                   "Make one exchange with the simulated meter hang for 3 s, SECONDS after it was opened (as a "
                   "USB call stuck in the kernel; to see a watchdog act)")
        ->type_name("SECONDS")
        ->check(valueCheck("--stall-after", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}))
        ->group(simGroup);
    app.add_option("--scale", options.scale,
                   "Scale code the simulated meter reports with its readings (0 to 255; default 0). 2, 4 "
                   "and 5 have resolutions of their own: 4 and 5 count A/m in kA/m")
        ->type_name("N")
        ->check(valueCheck("--scale", {ValueRule::Whole, 0, 255, false, false, "a whole number"}))
        ->group(simGroup);
}

}  // namespace korvel::cli
