// The bytes a client has sent and not yet had answered, cut into lines.
#pragma once

#include <cstddef>
#include <string>

namespace korvel::cli::serve {

// A client line longer than this (without its line end) closes the client.
inline constexpr std::size_t kMaxLineLength = 4096;

// Fixed capacity: kMaxLineLength plus a two-byte line end. A line ends at
// LF, CR LF or CR alone (terminals and some serial-minded clients send CR).
class LineBuffer {
public:
    static constexpr std::size_t kCapacity = kMaxLineLength + 2;

    // Where the next bytes from the socket go, and how many fit.
    char* space() { return bytes_ + used_; }
    std::size_t spaceLeft() const { return kCapacity - used_; }
    void commit(std::size_t count) { used_ += count; }

    enum class Next {
        None,      // no complete line yet
        Line,      // *line holds the next line, without its line end
        Overflow,  // the client sent a line longer than kMaxLineLength
    };
    Next next(std::string* line);

    // After the client half-closed: the bytes after the last line end, as
    // one last line. False when nothing but line ends is left.
    bool takeRest(std::string* line);

    // A complete line is waiting.
    bool hasLine() const;
    // Some bytes of a line that has not ended yet are waiting.
    bool midLine() const;

private:
    // Drops the LF of a CR LF whose CR ended the previous line.
    void skipLineFeedAfterReturn();
    // Where the first line end is, or used_ when there is none.
    std::size_t endOfLine() const;

    char bytes_[kCapacity] = {};
    std::size_t used_ = 0;
    bool afterReturn_ = false;  // the last line ended in CR: an LF may follow
};

}  // namespace korvel::cli::serve
