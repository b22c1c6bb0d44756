// Standard output redirected into a pipe for a while, so a library call that
// prints (mtrReadEEPROM writes one line per read) cannot mix its text into
// the tool's own output, and the tool can read what it printed.
#pragma once

#include <string>

namespace korvel::cli {

class StdoutCapture {
public:
    // Flushes stdout and points file descriptor 1 at a pipe. If that cannot
    // be done, output goes where it went and captured() stays empty.
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Flushes stdout, restores file descriptor 1 and returns what was
    // printed meanwhile (at most the pipe's capacity).
    std::string finish();

private:
    int saved_ = -1;
    int readEnd_ = -1;
    bool active_ = false;
};

}  // namespace korvel::cli
