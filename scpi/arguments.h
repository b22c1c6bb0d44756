// The one way handlers read their arguments, and the one set/query procedure
// that every single-number command shares. What differs between commands
// (bound, refusal text, error posted, meter calls) is a NumericSetting.
#pragma once

#include "korvel.h"
#include "scpi/interpreter.h"

namespace korvel::scpi {

// A command text of this many characters or more is refused ("ERR: Too Long").
inline constexpr int kMaxArgumentText = 80;

inline constexpr char kTooLongText[] = "ERR: Too Long";
inline constexpr char kSyntaxText[] = "ERR: Syntax";

// Blank-separated tokens of a private copy of a command text. Only the blank
// separates; runs of blanks count as one and leading blanks are skipped.
class Tokens {
public:
    explicit Tokens(const char* text);
    // Token i (0 = the keyword as typed), or null when the text has fewer.
    const char* at(int i) const { return i >= 0 && i < count_ ? token_[i] : nullptr; }

private:
    static constexpr int kKept = 3;  // no command reads more than three tokens
    char copy_[kMaxLineLength + 1];
    const char* token_[kKept];
    int count_ = 0;
};

// Decimal integer: leading white space, optional sign, the digits up to the
// first other character; no digits give 0; saturates at the 32-bit limits.
int toInteger(const char* token);

bool isQuery(const char* text);  // the last character is "?"
bool isTooLong(const char* text);

// Reply writers for the piece.
void writeText(char* piece, const char* text);
void writeDecimal(char* piece, long long value);     // "%d"
void writeThreeDigits(char* piece, long long value);  // "%03d"

// Refusals: post the error (when nonzero), write the text, handled (0).
int refuse(Line& line, char* piece, int error, const char* text);

// How a single-number command is used.
enum class Form {
    QueryOrSet,   // a final "?" queries, anything else sets
    SetOnly,      // always the set path ("...?" then lacks its argument)
    QueryOnly,    // a final "?" queries, anything else is a syntax error
    AlwaysQuery,  // queries whatever the text ("*STB?", "*ESR?")
};

enum class Shown { Decimal, ThreeDigits };

struct NumericSetting {
    Form form;
    unsigned bound;            // largest accepted value; negatives are above it
    const char* rangeMessage;  // reply for a value above the bound
    int rangeError;            // posted for a value above the bound; 0 posts nothing
    int (*set)(MeterHandle handle, int value);
    int (*get)(MeterHandle handle, unsigned int* value);
    Shown shown;               // how a queried value is written
};

// Length test, query test, argument split, conversion, bound, meter call.
int applySetting(const NumericSetting& setting, Line& line, const char* text, char* piece);

}  // namespace korvel::scpi
