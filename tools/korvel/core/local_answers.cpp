#include "core/local_answers.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "core/reading.h"

namespace korvel::cli {
namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The unit's header (up to the first blank), upper-cased, with its leading colon.
std::string headerOf(std::string_view unit) {
    unit = trimBlanks(unit);
    std::string header = unit.empty() || unit.front() == ':' || unit.front() == '*' ? "" : ":";
    for (const char c : unit.substr(0, unit.find(' '))) header += upper(c);
    return header;
}

struct BridgeEntry {
    const char* header;
    BridgeCommand command;
};

// The headers the bridge answers, long and short forms; ends in a sentinel.
constexpr BridgeEntry kBridgeHeaders[] = {
    {"*WAI", BridgeCommand::Wait},      {"*TST?", BridgeCommand::SelfTest}, {"*RST", BridgeCommand::Reset},
    {":READ?", BridgeCommand::Read},    {":FETC?", BridgeCommand::Read},    {":FETCH?", BridgeCommand::Read},
    {":READ:FLUX?", BridgeCommand::Read}, {":FETC:FLUX?", BridgeCommand::Read},
    {":FETCH:FLUX?", BridgeCommand::Read}, {nullptr, BridgeCommand::None},
};

constexpr double kMu0 = 4.0 * 3.14159265358979323846 * 1e-7;
constexpr double kPerTesla[] = {1e4, 1.0, 1.0 / kMu0};  // gauss, tesla, ampere per metre

// A number in scientific form: mantissa with a point, "E", sign and at least
// two exponent digits (to_chars ignores the locale).
std::string nr3(double value, int exponentShift, int precision) {
    char buffer[64];
    const auto written = precision < 0
                             ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific)
                             : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific,
                                             precision);
    if (written.ec != std::errc()) return kNotANumber;
    const std::string_view form(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = form.find('e');
    const int exponent = std::atoi(std::string(form.substr(e + 1)).c_str()) + (value == 0 ? 0 : exponentShift);
    std::string mantissa(form.substr(0, e));
    if (mantissa.find('.') == std::string::npos) mantissa += ".0";
    char tail[16];
    std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    return mantissa + tail;
}

}  // namespace

BridgeCommand bridgeCommandOf(std::string_view unit) {
    const std::string header = headerOf(unit);
    for (const BridgeEntry* entry = kBridgeHeaders; entry->header != nullptr; ++entry) {
        if (header == entry->header) return entry->command;
    }
    return BridgeCommand::None;
}

bool readingAsNumber(std::string_view text, std::string* number) {
    text = trimBlanks(text);
    std::size_t digits = 0;
    while (digits < text.size() && (text[digits] == '-' || text[digits] == '.' ||
                                    (text[digits] >= '0' && text[digits] <= '9')))
        ++digits;
    const std::string_view letters = text.substr(digits);
    int exponentShift = 0;
    if (letters == "A") {
        exponentShift = 3;  // kA/m shown: the number in A/m is a thousand times it
    } else if (letters != "G" && letters != "T" && letters != "Am") {
        return false;
    }
    double value = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + digits, value);
    if (parsed.ec != std::errc() || parsed.ptr != text.data() + digits) return false;
    // The shortest form keeps exactly the digits the meter showed; the kA/m
    // shift moves the exponent rather than multiplying, so no binary
    // rounding creeps in.
    *number = nr3(value, exponentShift, -1);
    return true;
}

std::string readingInUnits(const MeterReading& reading, int units) {
    const ReadingValue value = describeReading(reading);
    if (!value.tesla || units < 0 || units > 2) return kNotANumber;
    if (value.overRange) return reading.value < 0 ? kOverloadNegative : kOverloadPositive;
    std::string number;
    if (reading.units == units && readingAsNumber(value.text, &number)) return number;
    return nr3(*value.tesla * kPerTesla[units], 0, 5);  // six digits: more than the meter resolves
}

bool LocalAnswers::answer(BridgeCommand command, MeterAccess& meter, std::string* reply) const {
    if (command == BridgeCommand::Read) {
        MeterReading reading{};
        *reply = meter.reading(&reading) ? readingInUnits(reading, units_) : std::string();
        return true;
    }
    if (command == BridgeCommand::SelfTest) {
        // The meter identifies itself and gives a reading; nothing is changed.
        const std::string identity = meter.scpi("*IDN?");
        MeterReading reading{};
        const bool passed = !meter.lost() && !identity.empty() && meter.reading(&reading) &&
                            describeReading(reading).tesla.has_value();
        reply->assign(1, passed ? '0' : '1');
        return true;
    }
    return false;
}

void LocalAnswers::observe(std::string_view unit, MeterAccess& meter) {
    const std::string header = headerOf(unit);
    if (header.rfind(":UNIT:FLUX:", 0) != 0 || header.find('?') != std::string::npos || meter.lost()) return;
    MeterReading reading{};
    if (meter.reading(&reading) && reading.units >= 0 && reading.units <= 2) units_ = reading.units;
}

}  // namespace korvel::cli
