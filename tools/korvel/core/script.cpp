#include "core/script.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "core/failure.h"
#include "core/replies.h"
#include "core/scpi_catalog.h"
#include "core/text.h"

namespace korvel::cli {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The tool's meter as the local answers need it.
class ToolMeter : public MeterAccess {
public:
    explicit ToolMeter(Meter& meter) : meter_(meter) {}
    std::string scpi(const std::string& line) override { return meter_.scpi(line); }
    bool reading(MeterReading* out) override { return meter_.reading(out); }
    bool lost() const override { return meter_.lost(); }

private:
    Meter& meter_;
};

constexpr char kConnectionLost[] = "USB Connection Problem";  // as the library says it

}  // namespace

bool isConsoleWord(const std::string& line, bool* quit, std::string* helpTopic) {
    const std::string word = lower(trim(line));
    *quit = word == "quit" || word == "exit";
    if (helpTopic != nullptr) helpTopic->clear();
    if (*quit || word == "help") return true;
    // "help WORD": the local help filtered; never sent to the meter.
    if (word.rfind("help", 0) == 0 && (word[4] == ' ' || word[4] == '\t')) {
        if (helpTopic != nullptr) *helpTopic = trim(trim(line).substr(4));
        return true;
    }
    return false;
}

bool ScriptRunner::send(const std::string& line) {
    if (lost_) return false;
    ++sent_;
    ToolMeter meter(meter_);
    const BridgeCommand command = bridgeCommandOf(line);
    std::string reply;
    if (command == BridgeCommand::Read || command == BridgeCommand::SelfTest) {
        answers_.answer(command, meter, &reply);
        if (meter.lost()) reply = kConnectionLost;
    } else {
        reply = meter_.scpi(line);
        for (std::size_t from = 0; from <= line.size();) {
            const std::size_t end = std::min(line.find(';', from), line.size());
            answers_.observe(std::string_view(line).substr(from, end - from), meter);
            from = end + 1;
        }
    }
    if (!reply.empty()) std::printf("%s\n", reply.c_str());
    std::fflush(stdout);  // a program on the other end of a pipe waits for it
    switch (classifyReply(reply)) {
    case ReplyKind::Lost:
        lost_ = true;
        lostLine_ = line;
        return false;
    case ReplyKind::Refused: ++refused_; break;
    default: break;
    }
    return true;
}

void ScriptRunner::runStream(std::istream& in, bool consoleWords) {
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string content = trim(line);
        if (content.empty() || content.front() == '#') continue;
        bool quit = false;
        std::string topic;
        if (consoleWords && isConsoleWord(content, &quit, &topic)) {
            if (quit) return;
            std::printf("%s", scpiHelpText(topic).c_str());
            std::fflush(stdout);
            continue;
        }
        if (!send(line)) return;
    }
}

int ScriptRunner::finish() const {
    if (lost_) {
        std::fprintf(stderr,
                     "korvel: the connection to the meter was lost (at \"%s\"); nothing after it was sent. "
                     "Check the cable and run again.\n",
                     lostLine_.c_str());
        return kExitMeterError;
    }
    if (refused_ > 0) {
        std::fprintf(stderr, "korvel: %d of %d line%s got an error reply (shown above).\n", refused_, sent_,
                     sent_ == 1 ? "" : "s");
        return kExitMeterError;
    }
    return kExitOk;
}

}  // namespace korvel::cli
