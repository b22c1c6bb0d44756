#include "core/meter_info.h"

#include <cstdlib>

#include "core/failure.h"
#include "core/reading.h"

namespace korvel::cli {
namespace {

// The meter's queue is bounded; this only guards against one that never
// reports empty.
constexpr int kMaxErrors = 256;

std::string offOr(const std::string& value) { return value == "0" ? "0 (off)" : value; }

}  // namespace

std::string describeStatusByte(const std::string& reply) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(reply.c_str(), &end, 10);
    if (end == reply.c_str()) return reply;
    static constexpr struct {
        unsigned bit;
        const char* meaning;
    } kBits[] = {{2, "error queue not empty"}, {3, "questionable"},    {4, "message available"},
                 {5, "event status"},          {6, "service request"}, {7, "operation"}};
    std::string meanings;
    for (const auto& b : kBits) {
        if ((value >> b.bit) & 1U) meanings += (meanings.empty() ? "" : ", ") + std::string(b.meaning);
    }
    return meanings.empty() ? reply : reply + " (" + meanings + ")";
}

std::vector<InfoLine> gatherInfo(const Api& api, Meter& meter, const std::string& autoRange) {
    std::vector<InfoLine> lines;
    lines.push_back({"meter", meter.query("*IDN?")});
    lines.push_back({"probe", meter.query("*OPT?")});
    lines.push_back({"units", meter.query(":UNIT:FLUX?")});
    lines.push_back({"range", meter.query(":SENS:FLUX:RANG?")});
    lines.push_back({"auto-range", autoRange});
    lines.push_back({"hold", offOr(meter.query(":SENS:HOLD:STAT?"))});
    lines.push_back({"relative", offOr(meter.query(":SYST:AREL:STAT?"))});

    MeterReading reading{};
    if (api.mtrGetReading(meter.handle(), &reading) != 0) {
        meter.markLost();
        throw Failure(kExitMeterError, "the connection to the meter was lost while reading the field: "
                                       "check the cable and try again");
    }
    const ReadingValue value = describeReading(reading);
    const size_t first = value.text.find_first_not_of(' ');
    lines.push_back({"reading", (first == std::string::npos ? value.text : value.text.substr(first)) +
                                    (value.tesla ? "  (" + formatTesla(*value.tesla) + " T)" : "")});

    // The status byte before the queue is emptied, so it still shows it.
    lines.push_back({"status byte", describeStatusByte(meter.query("*STB?"))});
    int errors = 0;
    for (; errors < kMaxErrors; ++errors) {
        const std::string entry = meter.query(":SYST:ERR?");
        char* end = nullptr;
        const long code = std::strtol(entry.c_str(), &end, 10);
        if (end == entry.c_str() || code == 0) break;  // "0, NO ERROR", or no number at all
        lines.push_back({errors == 0 ? "errors" : "", entry});
    }
    if (errors == 0) lines.push_back({"errors", "none"});
    return lines;
}

}  // namespace korvel::cli
