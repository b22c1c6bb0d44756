// Where `korvel read` writes its records: standard output or a file that is
// never overwritten unasked, written a whole record at a time, and optionally
// rotated into numbered files.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/reading.h"

namespace korvel::cli {

enum class Existing {
    Refuse,  // an existing file is an error (the default)
    Append,  // go on at its end
    Replace  // --force: start it afresh
};

struct LogTarget {
    std::string path;  // "" or "-": standard output
    Existing existing = Existing::Refuse;
    std::uint64_t rotateBytes = 0;  // 0: no rotation by size
    double rotateSeconds = 0;       // 0: no rotation by time
    Format format = Format::Text;   // what the log holds: --append goes on only in a log of the same
};

// What an existing log holds, from its first meta block.
enum class LogKind {
    Current,  // this tool's log in the format asked for, with today's columns
    Older,    // this tool's log in that format, with an older set of columns
    Other,    // another format, or not a log of this tool
};
// Looks at the first lines of the file; *what names what it is for a
// refusal ("a jsonl log", "not a log of korvel").
LogKind inspectLog(const std::string& path, Format format, std::string* what);

// "field.csv", 3 -> "field.0003.csv"; "field" -> "field.0003".
std::string numberedPath(const std::string& path, int number);

class LogFile {
public:
    // Opens the target (the first file of a rotated log: number 1, or with
    // Append the highest that exists). Throws Failure(kExitUsage) for an
    // existing file under Refuse and for a file that cannot be created.
    explicit LogFile(const LogTarget& target);
    // The refusals of the constructor alone (nothing is created), so a run
    // can be refused before the meter is touched.
    static void check(const LogTarget& target);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool toFile() const { return fd_ != 1; }
    bool rotating() const { return target_.rotateBytes > 0 || target_.rotateSeconds > 0; }
    // The file written now ("standard output" for it).
    std::string name() const;
    int fileNumber() const { return number_; }
    // Bytes in the file (0 for a new one; what was there when appending).
    std::uint64_t size() const { return size_; }
    // True when the file already held records when opened (Append).
    bool continued() const { return continued_; }

    // Writes text whole or not at all: when the write fails part way, the
    // file is cut back to where it was. Returns 0 or the errno.
    int write(const std::string& text);
    // True when `nextBytes` more would take the file past --rotate-size, or
    // it has been open --rotate-time seconds (never for an empty file).
    bool wantsRotation(std::size_t nextBytes) const;
    // fsyncs and closes this file and opens the next number. Returns 0 or
    // the errno (the old file is complete either way).
    int rotate();
    // Flushes to the disk (fsync) and closes; returns 0 or the errno.
    int finish();

private:
    int open(const std::string& path, bool mayExist);
    // --append onto an existing file: true to go on in it; false for a log
    // with older columns in a rotated set (left whole: the next file is
    // opened instead); throws Failure(kExitUsage) for another kind of log.
    bool continuable(const std::string& path) const;

    LogTarget target_;
    int fd_ = 1;
    int number_ = 0;
    std::uint64_t size_ = 0;
    bool continued_ = false;
    std::string path_;
    std::chrono::steady_clock::time_point opened_;
};

}  // namespace korvel::cli
