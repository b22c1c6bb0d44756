// Exit codes and the one way a subcommand reports that it cannot go on.
#pragma once

#include <stdexcept>
#include <string>

namespace korvel::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitMeterError = 1,  // the meter refused a command, or the connection was lost
    kExitUsage = 2,       // bad arguments
    kExitNoMeter = 3,     // no meter could be found or opened
};

// Thrown where a subcommand cannot go on; main() prints "korvel: <message>"
// on standard error and exits with the code. The message says what went
// wrong and what to try.
class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string& message) : std::runtime_error(message), code_(exitCode) {}
    int exitCode() const { return code_; }

private:
    int code_;
};

}  // namespace korvel::cli
