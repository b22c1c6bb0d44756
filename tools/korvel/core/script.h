// Sending SCPI lines one after another and printing their replies: the work
// of `korvel scpi` and of the console on a pipe.
#pragma once

#include <istream>
#include <string>

#include "core/local_answers.h"
#include "core/session.h"

namespace korvel::cli {

class ScriptRunner {
public:
    explicit ScriptRunner(Meter& meter) : meter_(meter) {}

    // Sends one line and prints its reply on its own line (nothing for an
    // empty reply). A line that is :READ?, :FETC? or *TST? alone is answered
    // as the bridge answers it (the reading as a number in the unit this run
    // chose last, tesla until then); every other line goes to the library
    // unchanged. Returns false once the connection is lost: stop then.
    bool send(const std::string& line);

    // Runs lines from a stream: line ends (LF or CRLF) are dropped, blank
    // lines and lines starting with '#' are skipped. With consoleWords,
    // "help" prints the command list and "quit" or "exit" ends the input.
    void runStream(std::istream& in, bool consoleWords);

    // The exit code for what happened, with a note on standard error when
    // it is not 0.
    int finish() const;
    bool lost() const { return lost_; }

private:
    Meter& meter_;
    LocalAnswers answers_;
    int sent_ = 0;
    int refused_ = 0;
    bool lost_ = false;
    std::string lostLine_;
};

// True for the console's words (help, help WORD, quit, exit; letter case
// ignored); sets *quit for the last two and *helpTopic to WORD.
bool isConsoleWord(const std::string& line, bool* quit, std::string* helpTopic = nullptr);

}  // namespace korvel::cli
