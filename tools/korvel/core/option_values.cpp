#include "core/option_values.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvel::cli {
namespace {

std::string lastError;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// Edits (insert, delete, replace, swap of neighbours) from a to b.
size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::optional<long long> parseWhole(std::string_view text, long long low, long long high) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end || value < low || value > high) return std::nullopt;
    return value;
}

std::optional<double> parseFinite(std::string_view text) {
    const std::string copy(text);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy.front())) != 0) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string ruleSentence(std::string_view option, const ValueRule& rule) {
    std::string sentence = std::string(option) + " must be " + rule.what;
    if (rule.highOpen) {
        sentence += rule.lowOpen ? " greater than " + number(rule.low) : " of " + number(rule.low) + " or more";
    } else {
        sentence += " from " + number(rule.low) + " to " + number(rule.high);
    }
    return sentence;
}

std::string checkValue(std::string_view option, std::string_view text, const ValueRule& rule) {
    std::optional<double> value;
    if (rule.kind == ValueRule::Whole) {
        // Whole numbers beyond 2^53 are never a sensible count here.
        if (const auto whole = parseWhole(text, -(1LL << 53), 1LL << 53)) value = static_cast<double>(*whole);
    } else {
        value = parseFinite(text);
    }
    const bool fits = value && (rule.lowOpen ? *value > rule.low : *value >= rule.low) &&
                      (rule.highOpen || *value <= rule.high);
    return fits ? std::string() : ruleSentence(option, rule);
}

CLI::Validator valueCheck(std::string option, ValueRule rule) {
    return CLI::Validator(
        [option, rule](std::string& text) {
            std::string why = checkValue(option, text, rule);
            if (!why.empty()) lastError = why;
            return why;
        },
        "", "");
}

CLI::Validator choiceCheck(std::string option, std::vector<std::string> choices) {
    return CLI::Validator(
        [option, choices](std::string& text) {
            if (std::find(choices.begin(), choices.end(), text) != choices.end()) return std::string();
            std::string list;
            for (size_t i = 0; i < choices.size(); ++i) {
                list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
            }
            lastError = option + " must be " + list + ", not '" + text + "'";
            return lastError;
        },
        "", "");
}

const std::string& lastOptionError() { return lastError; }

std::string nearestName(std::string_view typed, const std::vector<std::string>& names) {
    std::string best;
    size_t bestDistance = std::max<size_t>(1, typed.size() / 3) + 1;
    for (const auto& name : names) {
        const size_t distance = editDistance(typed, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

}  // namespace korvel::cli
