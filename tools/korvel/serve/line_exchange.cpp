#include "serve/line_exchange.h"

#include <vector>

#include "serve/message.h"
#include "serve/service_filter.h"

namespace korvel::cli::serve {
namespace {

// The error numbers the bridge posts for refusals of its own.
constexpr int kCommandError = -100;
constexpr int kSyntaxError = -102;

bool exchangeRaw(MeterPort& meter, const std::string& line, ExchangeMode mode, std::string* response) {
    if (line.find('\0') != std::string::npos) {
        *response = kNulRefused;
    } else if (!mode.allowService && isServiceLine(line)) {
        *response = kServiceRefused;
    } else {
        *response = meter.scpi(line);
    }
    return !response->empty();
}

}  // namespace

bool expectsResponse(const std::string& line, ExchangeMode mode) {
    if (mode.raw) return !line.empty();
    return line.find('?') != std::string::npos;
}

bool exchangeLine(MeterPort& meter, const std::string& line, ExchangeMode mode, LocalAnswers& answers,
                  std::string* response) {
    response->clear();
    if (mode.raw) return exchangeRaw(meter, line, mode, response);

    const bool anyQuery = line.find('?') != std::string::npos;
    if (line.find('\0') != std::string::npos) {
        meter.postError(kSyntaxError);
        if (anyQuery) *response = kNulRefused;
        return anyQuery;
    }
    const std::vector<Unit> units = splitMessage(line);
    if (!mode.allowService) {
        for (const Unit& unit : units) {
            if (!isServiceLine(unit.text)) continue;
            // Nothing of the line runs; the refusal is on the queue.
            meter.postError(kCommandError);
            if (anyQuery) *response = kServiceRefused;
            return anyQuery;
        }
    }

    std::vector<std::string> responses;
    for (const Unit& unit : units) {
        std::string reply;
        switch (unit.bridge) {
        case BridgeCommand::Wait:
            break;
        case BridgeCommand::Reset:
            // No meter command puts every setting back to a documented
            // state, and guessing one would undo what was set on the meter.
            meter.postError(kCommandError);
            break;
        case BridgeCommand::SelfTest:
        case BridgeCommand::Read:
            answers.answer(unit.bridge, meter, &reply);
            break;
        case BridgeCommand::None:
            reply = withoutSeparators(meter.scpi(unit.text));
            if (const int error = unpostedRefusal(reply); error != 0 && !meter.lost()) meter.postError(error);
            answers.observe(unit.text, meter);
            break;
        }
        if (meter.lost()) {
            // The rest of the line cannot run; its queries learn why.
            if (anyQuery) responses.emplace_back(kConnectionProblem);
            break;
        }
        if (unit.query) responses.push_back(reply);
    }
    for (std::size_t i = 0; i < responses.size(); ++i) {
        if (i > 0) *response += ';';
        *response += responses[i];
    }
    return !responses.empty();
}

}  // namespace korvel::cli::serve
