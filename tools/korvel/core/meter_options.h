// The meter-selection options every subcommand takes (--simulate, --meter,
// --library and the simulated meter's own).
#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace korvel::cli {

// The options every subcommand takes.
struct MeterOptions {
    bool simulate = false;
    std::string library;             // --library PATH
    std::string serial;              // --meter SERIAL
    std::optional<double> field;     // --field TESLA (simulated meter)
    std::optional<int> meters;       // --meters N (simulated meters on the bus)
    std::optional<double> unplugAfter;  // --unplug-after SECONDS (simulated meter)
    std::optional<double> latency;      // --latency SECONDS per exchange
    std::optional<long long> seed;      // --seed N: repeatable noise, no drift
    std::optional<double> replugAfter;  // --replug-after SECONDS (after the unplug)
    std::optional<int> scale;           // --scale N: the scale code the meter reports
    std::optional<double> unplugEvery;  // --unplug-every SECONDS: pulled again and again
    std::optional<double> stallAfter;   // --stall-after SECONDS: one exchange hangs
};

// Adds the meter options to a (sub)command; `group` titles them in --help.
void addMeterOptions(CLI::App& app, MeterOptions& options);

}  // namespace korvel::cli
