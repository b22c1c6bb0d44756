// ONC RPC over TCP sends each message as a record of fragments: a 4-byte
// header (the top bit marks the last fragment, the rest is its length) and
// the bytes. This gathers records from a connection's bytes, bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel::cli::serve::vxi11 {

class RecordReader {
public:
    explicit RecordReader(std::size_t maxRecord) : maxRecord_(maxRecord) {}

    enum class State { NeedMore, Record, TooLong };
    // Takes bytes; call next() until it says NeedMore.
    void add(const char* bytes, std::size_t count) { pending_.append(bytes, count); }
    // Moves the next whole record into *record.
    State next(std::string* record);
    // Bytes of a record begun and not yet whole.
    bool midRecord() const { return !pending_.empty() || !record_.empty(); }

private:
    const std::size_t maxRecord_;
    std::string pending_;  // bytes not yet parsed
    std::string record_;   // fragments of the record in progress
};

// One record of a single (last) fragment around `message`, written in
// place: `message` starts with 4 bytes reserved for the header.
void markRecord(std::string* message);

}  // namespace korvel::cli::serve::vxi11
