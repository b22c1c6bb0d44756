#include "serve/locked_exchange.h"

#include <cctype>
#include <string_view>
#include <vector>

#include "serve/message.h"

namespace korvel::cli::serve {
namespace {

// Standard event status bits: operation complete, execution error.
constexpr int kOperationComplete = 1;
constexpr int kExecutionError = 16;

enum class OwnUnit { None, NextError, Events, Clear, Complete };

struct OwnHeader {
    const char* header;  // upper case, with its leading colon
    OwnUnit unit;
};

constexpr OwnHeader kOwnHeaders[] = {
    {":SYST:ERR?", OwnUnit::NextError},      {":SYSTEM:ERROR?", OwnUnit::NextError},
    {":SYST:ERR:NEXT?", OwnUnit::NextError}, {":SYSTEM:ERROR:NEXT?", OwnUnit::NextError},
    {"*ESR?", OwnUnit::Events},              {"*CLS", OwnUnit::Clear},
    {"*OPC", OwnUnit::Complete},             {nullptr, OwnUnit::None},
};

OwnUnit ownUnitOf(std::string_view text) {
    std::string upper;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) break;  // the header ends at its parameters
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    for (const OwnHeader* entry = kOwnHeaders; entry->header != nullptr; ++entry) {
        if (upper == entry->header) return entry->unit;
    }
    return OwnUnit::None;
}

}  // namespace

void OwnErrors::post(int code) {
    if (codes_.size() >= kDepth) codes_.pop_back();  // the newest is lost, as the meter's queue does
    codes_.push_back(code);
    events_ |= kExecutionError;
}

std::string OwnErrors::next() {
    if (codes_.empty()) return "0, NO ERROR";
    const int code = codes_.front();
    codes_.pop_front();
    return std::to_string(code) + (code == kCommandProtected ? ", COMMAND PROTECTED" : ", COMMAND ERROR");
}

void OwnErrors::complete() { events_ |= kOperationComplete; }

int OwnErrors::take() {
    const int code = codes_.front();
    codes_.pop_front();
    return code;
}

int OwnErrors::takeEvents() {
    const int events = events_;
    events_ = 0;
    return events;
}

void OwnErrors::clear() {
    codes_.clear();
    events_ = 0;
}

bool exchangeLocked(MeterPort& meter, const std::string& line, ExchangeMode mode, LocalAnswers& answers,
                    OwnErrors& errors, std::string* response) {
    response->clear();
    std::vector<std::string> responses;
    for (const Unit& unit : splitMessage(line)) {
        switch (ownUnitOf(unit.text)) {
        case OwnUnit::NextError: responses.push_back(errors.next()); continue;
        case OwnUnit::Events: responses.push_back(std::to_string(errors.takeEvents())); continue;
        case OwnUnit::Clear: errors.clear(); continue;
        case OwnUnit::Complete: errors.complete(); continue;
        case OwnUnit::None: break;
        }
        if (unit.bridge == BridgeCommand::Wait) continue;
        if (!unit.query) {
            errors.post(kCommandProtected);
            continue;
        }
        std::string reply;
        exchangeLine(meter, unit.text, mode, answers, &reply);
        responses.push_back(reply);
        if (meter.lost()) break;
    }
    for (std::size_t i = 0; i < responses.size(); ++i) {
        if (i > 0) *response += ';';
        *response += responses[i];
    }
    return !responses.empty();
}

}  // namespace korvel::cli::serve
