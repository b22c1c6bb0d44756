// korvel info: what the meter is and how it is set.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/command.h"
#include "core/failure.h"
#include "core/reading.h"

namespace korvel::cli {
namespace {

// The error queue is bounded in the meter; this only guards against one
// that never reports empty.
constexpr int kMaxErrors = 256;

void line(const char* name, const std::string& value) { std::printf("%-13s %s\n", name, value.c_str()); }

std::string offOr(const std::string& value) { return value == "0" ? "0 (off)" : value; }

// The status byte's bits by their SCPI/IEEE 488.2 meaning.
std::string statusByte(const std::string& reply) {
    const unsigned value = static_cast<unsigned>(std::strtoul(reply.c_str(), nullptr, 10));
    static constexpr struct {
        unsigned bit;
        const char* meaning;
    } kBits[] = {{2, "error queue not empty"}, {3, "questionable"}, {4, "message available"},
                 {5, "event status"},          {6, "service request"}, {7, "operation"}};
    std::string meanings;
    for (const auto& b : kBits) {
        if ((value >> b.bit) & 1U) meanings += (meanings.empty() ? "" : ", ") + std::string(b.meaning);
    }
    return meanings.empty() ? reply : reply + " (" + meanings + ")";
}

int runInfo(Session& session) {
    const Api& api = session.api();
    session.library().require(reinterpret_cast<const void*>(api.scpiCommand), "scpiCommand");
    Meter meter = session.open();
    session.armUnplug(meter);

    line("meter", meter.query("*IDN?"));
    line("probe", meter.query("*OPT?"));
    line("units", meter.query(":UNIT:FLUX?"));
    line("range", meter.query(":SENS:FLUX:RANG?"));
    if (session.simulated()) {
        // The meter has no query for auto-range; the simulator can tell.
        const int index = session.simulatedIndex(meter);
        const int state = index >= 0 ? api.korvelSimGetSetting(index, KORVEL_SIM_AUTO_RANGE) : -1;
        line("auto-range", state < 0 ? "unknown" : state != 0 ? "on" : "off");
    } else {
        line("auto-range", "not reported (the meter has no query for it)");
    }
    line("hold", offOr(meter.query(":SENS:HOLD:STAT?")));
    line("relative", offOr(meter.query(":SYST:AREL:STAT?")));

    MeterReading reading{};
    if (api.mtrGetReading(meter.handle(), &reading) != 0) {
        meter.markLost();
        throw Failure(kExitMeterError, "the connection to the meter was lost while reading the field: "
                                       "check the cable and try again");
    }
    const ReadingValue value = describeReading(reading);
    const size_t first = value.text.find_first_not_of(' ');
    line("reading", (first == std::string::npos ? value.text : value.text.substr(first)) +
                        (value.tesla ? "  (" + formatTesla(*value.tesla) + " T)" : ""));

    // The status byte before the queue is emptied, so it still shows it.
    line("status byte", statusByte(meter.query("*STB?")));
    int errors = 0;
    for (; errors < kMaxErrors; ++errors) {
        const std::string entry = meter.query(":SYST:ERR?");
        if (entry.empty() || std::strtol(entry.c_str(), nullptr, 10) == 0) break;
        line(errors == 0 ? "errors" : "", entry);
    }
    if (errors == 0) line("errors", "none");
    line("library", session.library().path() + (session.simulated() ? " (simulated meter)" : ""));
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_info_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(
        app, context, "info",
        "Show what the meter is and how it is set: identification, probe, units, range, hold, relative "
        "mode, a reading, the status byte and every entry of the error queue (which this empties)",
        "  korvel info\n  korvel --simulate info\n  korvel info --meter KV0002\n");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runInfo(session);
        };
    });
}
