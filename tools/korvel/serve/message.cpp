#include "serve/message.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace korvel::cli::serve {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The unit's header (up to the first blank), upper-cased.
std::string headerOf(std::string_view unit) {
    std::string header;
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

BridgeCommand bridgeCommandOf(std::string_view unit) {
    const std::string header = headerOf(unit);
    for (const BridgeEntry* entry = kBridgeHeaders; entry->header != nullptr; ++entry) {
        if (header == entry->header) return entry->command;
    }
    return BridgeCommand::None;
}

struct Refusal {
    const char* text;
    int error;
};

// Refusals the library answers without posting an error: the bounds of the
// diagnostic converter, multiplexer and probe-data commands, and the
// line-level checks of the interpreter. -120 numeric data error, -363 input
// buffer overrun, -102 syntax error: the numbers the library posts for the
// same faults elsewhere. Ends in a sentinel.
constexpr Refusal kUnpostedRefusals[] = {
    {"ERR: DAC must be 0-3", -120},
    {"ERR: val must be 0-65535", -120},
    {"ERR: [0-255]", -120},
    {"ERR: Range must be 0-6", -120},
    {"ERR: AMPIN must be 0-1", -120},
    {"Error: command too long", -363},
    {"Error: unrecognizable command", -102},
    {nullptr, 0},
};

}  // namespace

std::vector<Unit> splitMessage(std::string_view line) {
    std::vector<Unit> units;
    while (true) {
        const std::size_t end = line.find(';');
        const std::string_view text = trim(line.substr(0, end));
        if (!text.empty()) {
            Unit& unit = units.emplace_back();
            // A first header without its root colon ("MEAS:FLUX?") is the
            // same command; "*IDN?" and ":..." stand as they are.
            if (isLetter(text.front())) unit.text.push_back(':');
            unit.text.append(text);
            unit.query = text.find('?') != std::string_view::npos;
            unit.bridge = bridgeCommandOf(unit.text);
        }
        if (end == std::string_view::npos) break;
        line.remove_prefix(end + 1);
    }
    return units;
}

bool hasQuery(const std::vector<Unit>& units) {
    for (const Unit& unit : units) {
        if (unit.query) return true;
    }
    return false;
}

int unpostedRefusal(std::string_view reply) {
    reply = trim(reply);
    for (const Refusal* refusal = kUnpostedRefusals; refusal->text != nullptr; ++refusal) {
        if (reply == refusal->text) return refusal->error;
    }
    return 0;
}

bool readingAsNumber(std::string_view text, std::string* number) {
    text = trim(text);
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
    // Shortest scientific form, which keeps exactly the digits the meter
    // showed; the kA/m shift moves the exponent rather than multiplying, so
    // no binary rounding creeps in. from_chars/to_chars ignore the locale.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (written.ec != std::errc()) return false;
    const std::string_view form(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = form.find('e');
    const int exponent = std::atoi(std::string(form.substr(e + 1)).c_str()) + (value == 0 ? 0 : exponentShift);
    std::string mantissa(form.substr(0, e));
    if (mantissa.find('.') == std::string::npos) mantissa += ".0";
    char tail[16];
    std::snprintf(tail, sizeof tail, "E%c%02d", exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
    *number = mantissa + tail;
    return true;
}

std::string withoutSeparators(std::string_view reply) {
    while (!reply.empty() && reply.front() == ';') reply.remove_prefix(1);
    while (!reply.empty() && reply.back() == ';') reply.remove_suffix(1);
    return std::string(reply);
}

}  // namespace korvel::cli::serve
