// korvel serve: the meter as a raw-socket SCPI instrument on TCP.
//
// The parts that decide what happens to a client's bytes, kept apart from
// the sockets so they can be tested on their own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvel::cli::serve {

// A client line longer than this (without its line end) closes the client.
inline constexpr std::size_t kMaxLineLength = 4096;

// True when some command of the line would change the meter's memory,
// calibration or service hardware: an EEPROM write, a DAC load, a
// recalibration, the diagnostic mode, the power-off timer, or anything under
// :DIAG:MUX. The test follows the interpreter's own matching (pieces split
// at ";", letters upper-cased, keywords compared by prefix, the descent at
// the next ":"), so a long form such as :DIAGNOSTIC:RECALIBRATE is caught
// like :DIAG:REC, and an EEPROM read (:DIAG:DAT:EEPR? 16) is not.
bool isServiceLine(std::string_view line);

// The bytes a client has sent and not yet had answered, cut into lines.
// Fixed capacity: kMaxLineLength plus the line end.
class LineBuffer {
public:
    static constexpr std::size_t kCapacity = kMaxLineLength + 2;

    // Where the next bytes from the socket go, and how many fit.
    char* space() { return bytes_ + used_; }
    std::size_t spaceLeft() const { return kCapacity - used_; }
    void commit(std::size_t count) { used_ += count; }

    enum class Next {
        None,      // no complete line yet
        Line,      // *line holds the next line, without "\n" or "\r\n"
        Overflow,  // the client sent a line longer than kMaxLineLength
    };
    Next next(std::string* line);

    // A complete line is waiting.
    bool hasLine() const;

private:
    char bytes_[kCapacity] = {};
    std::size_t used_ = 0;
};

}  // namespace korvel::cli::serve
