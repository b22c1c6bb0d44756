// Program messages as an IEEE 488.2 instrument takes them: a line is one
// message, its units are separated by ";", only queries produce response
// text, and the responses of a line go back as one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli::serve {

// What the bridge answers itself instead of passing the unit on.
enum class BridgeCommand {
    None,      // the meter's own command: through the interpreter
    Wait,      // *WAI: nothing to wait for, every command completes before the next
    SelfTest,  // *TST?: identification and one reading exchange, 0 passed or 1 failed
    Reset,     // *RST: refused into the error queue (see message.cpp)
    Read,      // :READ? / :FETC?: the reading as a plain number
};

struct Unit {
    std::string text;  // blanks around it removed; a leading colon added where the header lacked one
    bool query = false;
    BridgeCommand bridge = BridgeCommand::None;
};

// Splits a line at ";" into its units, dropping empty ones.
std::vector<Unit> splitMessage(std::string_view line);

bool hasQuery(const std::vector<Unit>& units);

// The error number the library leaves unposted for a refusal it answers
// with this text, so the bridge posts it; 0 when the text is no such
// refusal (the library posts every other refusal itself).
int unpostedRefusal(std::string_view reply);

// A :MEAS:FLUX? text ("  125.1G", "0.01234T", "1234A") as an NR3 number in
// the meter's current units (gauss, tesla or ampere per metre; the meter's
// "A" rows show kA/m). False when the text is not a reading.
bool readingAsNumber(std::string_view text, std::string* number);

// The interpreter's reply to one unit without the ";" it puts around it.
std::string withoutSeparators(std::string_view reply);

// What a unit that cannot be read as a number answers for :READ?: the
// SCPI "not a number".
inline constexpr char kNotANumber[] = "9.91E+37";

}  // namespace korvel::cli::serve
