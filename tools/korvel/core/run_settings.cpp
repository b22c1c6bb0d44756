#include "core/run_settings.h"

#include <CLI/CLI.hpp>

#include "core/failure.h"
#include "core/option_values.h"
#include "core/reading.h"
#include "core/replies.h"

namespace korvel::cli {
namespace {

// The SCPI unit words, by units code and AC/DC code.
constexpr const char* kUnitWords[] = {"GAUS", "TESL", "AM"};
constexpr const char* kAcdcWords[] = {"DC", "AC"};

void send(Meter& meter, const std::string& line, const std::string& asked) {
    const std::string reply = meter.query(line);
    if (classifyReply(reply) == ReplyKind::Refused)
        throw Failure(kExitMeterError, "the meter refused " + asked + " (" + line + " answered '" + reply + "')");
}

// The units and AC/DC the meter is set to now, from :UNIT:FLUX? ("DC GAUSS").
std::pair<int, int> currentUnits(Meter& meter) {
    const std::string reply = meter.query(":UNIT:FLUX?");
    const int acdc = reply.rfind("AC", 0) == 0 ? 1 : 0;
    int units = 0;
    if (reply.find("TESLA") != std::string::npos) units = 1;
    else if (reply.find("AM") != std::string::npos && reply.find("GAUSS") == std::string::npos) units = 2;
    return {units, acdc};
}

}  // namespace

std::optional<int> unitsCode(const std::string& name) {
    if (name == "G") return 0;
    if (name == "T") return 1;
    if (name == "A/m") return 2;
    return std::nullopt;
}

MeterReading applySettings(const Api& api, Meter& meter, const RunSettings& s) {
    if (s.units || s.acdc) {
        const auto [units, acdc] = currentUnits(meter);
        const int u = s.units.value_or(units);
        const int a = s.acdc.value_or(acdc);
        send(meter, std::string(":UNIT:FLUX:") + kAcdcWords[a] + ":" + kUnitWords[u],
             (s.units ? "--units " + unitsName(u) : std::string()) + (s.units && s.acdc ? " " : "") +
                 (s.acdc ? (a == 1 ? "--ac" : "--dc") : ""));
    }
    if (s.range) send(meter, ":SENS:FLUX:RANG " + std::to_string(*s.range), "--range " + std::to_string(*s.range));
    if (s.autoRange) send(meter, ":SENS:FLUX:RANG:AUT 1", "--range auto");

    MeterReading reading{};
    if (api.mtrGetReading(meter.handle(), &reading) != 0) {
        meter.markLost();
        throw Failure(kExitMeterError, "the connection to the meter was lost while it was set up: check the cable");
    }
    auto refuse = [](const std::string& asked, const std::string& got) {
        throw Failure(kExitMeterError, "the meter did not take " + asked + ": it reads " + got +
                                           " (no reading was logged)");
    };
    if (s.units && reading.units != *s.units) refuse("--units " + unitsName(*s.units), "in " + unitsName(reading.units));
    if (s.acdc && reading.acdc != *s.acdc)
        refuse(*s.acdc == 1 ? "--ac" : "--dc", acdcName(reading.acdc));
    if (s.range && (reading.range != *s.range || autoRangeOn(reading)))
        refuse("--range " + std::to_string(*s.range),
               "on range " + std::to_string(reading.range) + (autoRangeOn(reading) ? " with auto-range on" : ""));
    if (s.autoRange && !autoRangeOn(reading)) refuse("--range auto", "with auto-range off");
    return reading;
}

void addRunSettingsOptions(CLI::App* subcommand, RunSettingsOptions* options) {
    const char* group = "Settings for the run (applied before the first reading, checked)";
    subcommand->add_option("--units", options->units, "Measure in G, T or A/m")
        ->check(choiceCheck("--units", {"G", "T", "A/m"}))
        ->type_name("UNITS")
        ->group(group);
    subcommand->add_flag("--ac", options->ac, "Measure the AC field (RMS)")->group(group);
    subcommand->add_flag("--dc", options->dc, "Measure the DC field")->group(group);
    subcommand->add_option("--range", options->range, "Fixed range 0, 1 or 2 (0 is the finest), or auto")
        ->check(choiceCheck("--range", {"0", "1", "2", "auto"}))
        ->type_name("N|auto")
        ->group(group);
}

RunSettings settingsOf(const RunSettingsOptions& o) {
    if (o.ac && o.dc) throw Failure(kExitUsage, "--ac and --dc exclude each other: choose one");
    RunSettings s;
    s.units = unitsCode(o.units);
    if (o.ac) s.acdc = 1;
    if (o.dc) s.acdc = 0;
    if (o.range == "auto") s.autoRange = true;
    else if (!o.range.empty()) s.range = std::stoi(o.range);
    return s;
}

void describeMeter(Meter& meter, const MeterReading& first, RunMeta* meta) {
    meta->identification = meter.identification();
    meta->serial = meter.serial();
    meta->probe = meter.query("*OPT?");
    meta->units = first.units;
    meta->acdc = first.acdc;
    meta->range = first.range;
    meta->autoRange = autoRangeOn(first);
}

}  // namespace korvel::cli
