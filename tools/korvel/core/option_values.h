// Option values as typed on the command line: checked with one short sentence
// that names the option and says what it takes, instead of the parser's
// generic text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class Validator;
}

namespace korvel::cli {

// A whole number from `low` to `high` ("-n must be a whole number of 1 or
// more"); empty with the reason in *why otherwise.
std::optional<long long> parseWhole(std::string_view text, long long low, long long high);
// A finite decimal number (NaN and infinities refused).
std::optional<double> parseFinite(std::string_view text);

// What each kind of value accepts, for the sentence "OPTION must be ...".
struct ValueRule {
    enum Kind { Whole, Number } kind = Number;
    double low = 0;
    double high = 0;
    bool lowOpen = false;   // the low end itself is refused (a duration of 0)
    bool highOpen = false;  // no upper end
    std::string what;       // "a whole number", "a number of seconds", ...
};
// Empty when text satisfies rule; else "OPTION must be ...".
std::string checkValue(std::string_view option, std::string_view text, const ValueRule& rule);
// The sentence alone, e.g. "-n must be a whole number of 1 or more".
std::string ruleSentence(std::string_view option, const ValueRule& rule);

// A validator for CLI11 that applies the rule and records its sentence for
// lastOptionError() (the parser adds its own prefix otherwise).
CLI::Validator valueCheck(std::string option, ValueRule rule);
// A validator for one of a fixed set of words ("--format must be text, csv
// or jsonl").
CLI::Validator choiceCheck(std::string option, std::vector<std::string> choices);
// The sentence of the last refused value ("" when none was refused).
const std::string& lastOptionError();

// The name among `names` nearest to `typed` (edit distance at most a third of
// its length, at least 1); "" when none is near.
std::string nearestName(std::string_view typed, const std::vector<std::string>& names);

}  // namespace korvel::cli
