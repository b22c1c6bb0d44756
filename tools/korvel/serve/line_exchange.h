// What the bridge does with one client line: the meter's own dialect
// (--raw) or IEEE 488.2 message exchange.
#pragma once

#include <string>

#include "core/local_answers.h"

namespace korvel::cli::serve {

inline constexpr char kConnectionProblem[] = "USB Connection Problem";
inline constexpr char kServiceRefused[] = "ERR: service command refused (start korvel serve with --allow-service)";
inline constexpr char kNulRefused[] = "ERR: the line holds a NUL byte";

// The meter as a line needs it.
class MeterPort : public MeterAccess {
public:
    // Puts an error number on the meter's queue.
    virtual void postError(int code) = 0;
};

struct ExchangeMode {
    bool raw = false;           // every line's interpreter reply, as the meter's dialect has it
    bool allowService = false;  // run commands that change memory or calibration
};

// Runs one line. Returns true with *response when the line is answered:
// in raw mode whenever the interpreter replied; otherwise when the line
// holds a query, with the queries' responses in order joined by ";".
// Refusals of units that are not queries go to the meter's error queue.
// `answers` is the client's own: :READ? answers in the unit it chose last.
bool exchangeLine(MeterPort& meter, const std::string& line, ExchangeMode mode, LocalAnswers& answers,
                  std::string* response);

// Whether a line gets a response at all, decided without the meter (for a
// meter that is missing: such lines are answered kConnectionProblem).
bool expectsResponse(const std::string& line, ExchangeMode mode);

}  // namespace korvel::cli::serve
