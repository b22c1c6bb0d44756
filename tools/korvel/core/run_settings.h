// The measurement settings a logging run asks for (units, AC/DC, range or
// auto-range), applied before its first reading and read back.
#pragma once

#include <optional>
#include <string>

#include "core/meter.h"
#include "core/reading.h"

namespace CLI {
class App;
}

namespace korvel::cli {

struct RunSettings {
    std::optional<int> units;  // 0 G, 1 T, 2 A/m
    std::optional<int> acdc;   // 0 DC, 1 AC
    std::optional<int> range;  // 0 to 2: a fixed range
    bool autoRange = false;    // --range auto
};

// The settings as typed: --units G|T|A/m, --ac or --dc, --range N|auto.
struct RunSettingsOptions {
    std::string units;
    bool ac = false;
    bool dc = false;
    std::string range;
};

// Adds --units, --ac, --dc and --range to a subcommand, in a group of their own.
void addRunSettingsOptions(CLI::App* subcommand, RunSettingsOptions* options);
// The settings the options ask for; throws Failure(kExitUsage) for --ac with --dc.
RunSettings settingsOf(const RunSettingsOptions& options);

// "G", "T", "A/m" -> 0, 1, 2; empty for anything else.
std::optional<int> unitsCode(const std::string& name);

// Sends the settings, then takes one reading to see what the meter does.
// Throws Failure(kExitMeterError) when the meter refuses or reads otherwise
// (the message names the option and what the meter does instead), or when
// the connection is lost. Returns the reading taken.
MeterReading applySettings(const Api& api, Meter& meter, const RunSettings& settings);

// What the meta block says of the meter and its settings for the run: the
// identification, serial and probe (one *OPT? query), and the units, AC/DC,
// range and auto-range of the reading taken when the settings were applied.
void describeMeter(Meter& meter, const MeterReading& first, RunMeta* meta);

// The auto-range bit of a reading's aux byte.
inline bool autoRangeOn(const MeterReading& reading) { return (reading.aux & 0x08) != 0; }

}  // namespace korvel::cli
