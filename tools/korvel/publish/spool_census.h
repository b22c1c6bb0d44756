// How many readings a spool folder holds that never reached the broker,
// read without taking the spool over (a spool left in an old default place
// is reported, never moved or merged: each folder numbers its own records).
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli::publish {

// Records after each SERIAL.spool's delivered head (SERIAL.state), summed
// over the folder; 0 when there is no such folder.
std::uint64_t unsentRecords(const std::string& folder);

}  // namespace korvel::cli::publish
