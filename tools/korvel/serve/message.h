// Program messages as an IEEE 488.2 instrument takes them: a line is one
// message, its units are separated by ";", only queries produce response
// text, and the responses of a line go back as one line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/local_answers.h"

namespace korvel::cli::serve {


struct Unit {
    std::string text;  // blanks around it removed; a leading colon added where the header lacked one
    bool query = false;
    BridgeCommand bridge = BridgeCommand::None;
};

// Splits a line at ";" into its units, dropping empty ones.
std::vector<Unit> splitMessage(std::string_view line);

// The error number the library leaves unposted for a refusal it answers
// with this text, so the bridge posts it; 0 when the text is no such
// refusal (the library posts every other refusal itself).
int unpostedRefusal(std::string_view reply);

// The interpreter's reply to one unit without the ";" it puts around it.
std::string withoutSeparators(std::string_view reply);

}  // namespace korvel::cli::serve
