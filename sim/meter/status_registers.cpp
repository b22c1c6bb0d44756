#include "sim/meter/status_registers.h"

namespace korvel::sim {

using namespace status;

void ErrorQueue::push(std::int16_t code) {
    if (count_ == kCapacity) {
        items_[(head_ + count_ - 1) % kCapacity] = kOverflow;
        return;
    }
    items_[(head_ + count_) % kCapacity] = code;
    ++count_;
}

std::int16_t ErrorQueue::pop() {
    if (count_ == 0) return 0;
    const std::int16_t code = items_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return code;
}

int ErrorQueue::peek(std::int16_t* out, int max) const {
    for (int i = 0; i < count_ && i < max; ++i) out[i] = items_[(head_ + i) % kCapacity];
    return count_;
}

void StatusSystem::powerOn() {
    for (auto& s : sets_) s = RegisterSet{};
    sre_ = 0;
    errors_.clear();
    sets_[kStandardEvent].event = kPowerOn;
}

void StatusSystem::setCondition(int set, std::uint8_t mask, bool on) {
    RegisterSet& s = sets_[set];
    const auto before = s.condition;
    s.condition = static_cast<std::uint8_t>(on ? (before | mask) : (before & ~mask));
    s.event = static_cast<std::uint8_t>(s.event | (s.condition & ~before));
}

void StatusSystem::raise(int set, std::uint8_t bits) {
    sets_[set].event = static_cast<std::uint8_t>(sets_[set].event | bits);
}

std::uint8_t StatusSystem::takeEvents(int set) {
    const std::uint8_t events = sets_[set].event;
    sets_[set].event = 0;
    return events;
}

std::uint8_t StatusSystem::statusByte() const {
    auto summary = [&](int set) { return (sets_[set].event & sets_[set].enable) != 0; };
    std::uint8_t stb = 0;
    if (summary(kMeasurement)) stb |= kSummaryMeasurement;
    if (errors_.size() > 0) stb |= kErrorQueueNotEmpty;
    if (summary(kQuestionable)) stb |= kSummaryQuestionable;
    if (summary(kStandardEvent)) stb |= kSummaryEvent;
    if (summary(kOperation)) stb |= kSummaryOperation;
    if ((stb & sre_ & ~kMasterSummary) != 0) stb |= kMasterSummary;
    return stb;
}

void StatusSystem::postError(std::int16_t code) {
    errors_.push(code);
    std::uint8_t bit = kDeviceError;
    if (code <= -100 && code > -200) bit = kCommandError;
    else if (code <= -200 && code > -300) bit = kExecutionError;
    else if (code <= -400 && code > -500) bit = kQueryError;
    raise(kStandardEvent, bit);
}

void StatusSystem::clearEvents() {
    for (auto& s : sets_) s.event = 0;
    errors_.clear();
}

void StatusSystem::clearEnables() {
    sets_[kMeasurement].enable = 0;
    sets_[kOperation].enable = 0;
    sets_[kQuestionable].enable = 0;
}

}  // namespace korvel::sim
