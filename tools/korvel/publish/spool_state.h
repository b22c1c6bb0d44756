// SERIAL.state beside the spool: where the first record still to deliver
// starts, the next sequence number and the dropped records not yet told.
// Three lines of fixed width ("head 000...0"), so that when the disk is full
// it can still be rewritten in place.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli::publish {

struct SpoolState {
    std::uint64_t head = 0;
    std::uint64_t nextSeq = 1;
    std::uint64_t dropped = 0;
};

enum class StateFile { Missing, Read, Unreadable };

// Reads the state; Unreadable for anything but the three lines (an empty
// file, other text, a folder in its place).
StateFile readState(const std::string& path, SpoolState* state);

// Writes the state durably: a new file renamed over the old one, or, when
// that cannot be done (a full disk), the old one overwritten in place.
// False with errno set when neither worked.
bool writeState(const std::string& path, const SpoolState& state);

}  // namespace korvel::cli::publish
