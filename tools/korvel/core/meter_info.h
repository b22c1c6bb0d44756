// What `korvel info` asks the meter, as name/value lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/session.h"

namespace korvel::cli {

struct InfoLine {
    std::string name;
    std::string value;
};

// Identification, probe, units, range, auto-range (as given: the meter has
// no query for it), hold, relative mode, one reading, the status byte, then
// every error queue entry (which empties the queue). Throws Failure when
// the connection is lost.
std::vector<InfoLine> gatherInfo(const Api& api, Meter& meter, const std::string& autoRange);

// The status byte with the meaning of its set bits (SCPI / IEEE 488.2).
std::string describeStatusByte(const std::string& reply);

}  // namespace korvel::cli
