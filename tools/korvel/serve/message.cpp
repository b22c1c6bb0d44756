#include "serve/message.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace korvel::cli::serve {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
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

int unpostedRefusal(std::string_view reply) {
    reply = trim(reply);
    for (const Refusal* refusal = kUnpostedRefusals; refusal->text != nullptr; ++refusal) {
        if (reply == refusal->text) return refusal->error;
    }
    return 0;
}

std::string withoutSeparators(std::string_view reply) {
    while (!reply.empty() && reply.front() == ';') reply.remove_prefix(1);
    while (!reply.empty() && reply.back() == ';') reply.remove_suffix(1);
    return std::string(reply);
}

}  // namespace korvel::cli::serve
