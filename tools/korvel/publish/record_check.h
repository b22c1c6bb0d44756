// What the spool accepts as a record: one JSON object on one line, opening
// with its sequence number ({"seq":N,...}), valid UTF-8, at most
// kLongestRecord bytes. Anything else found in a spool is set aside, never
// published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvel::cli::publish {

// A reading's record is a few hundred bytes; a longer line is damage.
constexpr std::size_t kLongestRecord = 4096;

// True for a whole record (without its line feed); *seq is its number.
bool isSpoolRecord(std::string_view line, std::uint64_t* seq);

}  // namespace korvel::cli::publish
