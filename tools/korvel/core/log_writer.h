// Records into a log file: a meta block at the top of every file (and of
// every appended run), each record whole, rotation into numbered files with
// a meta block of their own. `korvel read` and the page's recordings write
// through it.
#pragma once

#include "core/acquisition.h"
#include "core/log_file.h"
#include "core/reading.h"

namespace korvel::cli {

class LogWriter : public ReadingSink {
public:
    LogWriter(LogFile& log, Format format) : log_(log), format_(format) {}

    // The meta block (with the CSV header) before the run's first record;
    // an appended run that would not fit the last file of a set opens the
    // next file. Text on standard output goes without one. 0 or the errno.
    int begin(const RunMeta& meta);
    int reading(const LoggedReading& reading) override;
    int gap(WallClock::time_point from, WallClock::time_point to) override;

private:
    int writeHead(bool header);
    int write(const std::string& record);

    LogFile& log_;
    const Format format_;
    RunMeta meta_;
};

}  // namespace korvel::cli
