// The queries the tool answers itself instead of the meter's interpreter:
// :READ? / :FETC? as a plain number (NR3) and *TST?. The bridge, `korvel
// scpi` and the console share them, so a script gets the same answer on each.
//
// :READ? answers in the unit that this connection (this program run, this
// client) last chose with :UNIT:FLUX:..., tesla until it chooses: another
// client, or a person on the live page, may set the meter's display to
// another unit meanwhile, and a number must not change its meaning for that.
#pragma once

#include <string>
#include <string_view>

#include "korvel.h"

namespace korvel::cli {

// The bridge's own commands, by their header; the table in
// local_answers.cpp is the one list of them.
enum class BridgeCommand {
    None,      // the meter's own command: through the interpreter
    Wait,      // *WAI: nothing to wait for, every command completes before the next
    SelfTest,  // *TST?: identification and one reading exchange, 0 passed or 1 failed
    Reset,     // *RST: refused into the error queue
    Read,      // :READ? / :FETC?: the reading as a plain number
};
BridgeCommand bridgeCommandOf(std::string_view unit);

// What the answers need of a meter.
class MeterAccess {
public:
    virtual ~MeterAccess() = default;
    // The interpreter's reply to a line.
    virtual std::string scpi(const std::string& line) = 0;
    // One reading; false when the exchange failed (the meter is lost).
    virtual bool reading(MeterReading* out) = 0;
    // A command found the connection lost.
    virtual bool lost() const = 0;
};

// The SCPI "not a number" (a reading with codes no table knows) and the
// overload values for a reading over its range.
inline constexpr char kNotANumber[] = "9.91E+37";
inline constexpr char kOverloadPositive[] = "+9.9E+37";
inline constexpr char kOverloadNegative[] = "-9.9E+37";

// A :MEAS:FLUX? text ("  125.1G", "0.01234T", "1234A") as an NR3 number in
// the meter's shown units (gauss, tesla or ampere per metre; the "A" rows
// show kA/m). False when the text is not a reading.
bool readingAsNumber(std::string_view text, std::string* number);

// A reading as NR3 in `units` (0 gauss, 1 tesla, 2 ampere per metre): the
// shown digits exactly when the meter shows that unit, else converted from
// tesla; the overload value when over range; kNotANumber without a value.
std::string readingInUnits(const MeterReading& reading, int units);

// One connection's answers.
class LocalAnswers {
public:
    // Answers a unit the bridge handles itself (Read, SelfTest). False for
    // any other unit: send it to the meter, then call observe().
    bool answer(BridgeCommand command, MeterAccess& meter, std::string* reply) const;
    // After a unit ran on the meter: a unit choice (:UNIT:FLUX:AC|DC:...)
    // becomes this connection's unit (read back from the meter, so it is
    // exactly what the meter's interpreter took).
    void observe(std::string_view unit, MeterAccess& meter);
    int units() const { return units_; }

private:
    int units_ = 1;  // tesla until the connection chooses
};

}  // namespace korvel::cli
