// The check of a spool file when a run opens it: every line must be a whole
// record (publish/record_check.h) with a number above the one before. Lines
// that are not (damage, a line cut short, bytes from elsewhere) are moved to
// SERIAL.bad and the spool is rewritten without them, so that the records
// after them are kept and nothing else is ever published.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli::publish {

struct SpoolScan {
    std::uint64_t end = 0;        // the file's size (after the repair)
    std::uint64_t head = 0;       // the given head, moved to where a record starts
    bool headMoved = false;       // it pointed inside a record or bad bytes
    std::uint64_t lastSeq = 0;    // the highest record number (0: no record)
    std::uint64_t lastStart = 0;  // where that record starts
    std::uint64_t badRecords = 0; // lines moved to the .bad file
};

// *fd is replaced when the file is rewritten. False with *error (a
// sentence) when the file cannot be read or repaired.
bool scanSpool(int* fd, const std::string& path, const std::string& badPath, std::uint64_t head, SpoolScan* scan,
               std::string* error);

}  // namespace korvel::cli::publish
