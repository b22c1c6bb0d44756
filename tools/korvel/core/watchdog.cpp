#include "core/watchdog.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace korvel::cli {
namespace {

std::chrono::microseconds intervalFromEnvironment() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr) return std::chrono::microseconds(0);
    // Meant for this process only, when systemd names one.
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr && std::atol(pid) != ::getpid())
        return std::chrono::microseconds(0);
    char* end = nullptr;
    const long long value = std::strtoll(usec, &end, 10);
    return std::chrono::microseconds(end != usec && *end == '\0' && value > 0 ? value : 0);
}

}  // namespace

Watchdog& Watchdog::instance() {
    static Watchdog watchdog(ServiceNotifier::instance(), intervalFromEnvironment());
    return watchdog;
}

Watchdog::Watchdog(ServiceNotifier& notifier, std::chrono::microseconds interval)
    : notifier_(notifier),
      period_(notifier.active() ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval / 2)
                                : std::chrono::steady_clock::duration::zero()) {}

int Watchdog::enter() {
    std::lock_guard lock(mutex_);
    std::size_t slot = 0;
    while (slot < slots_.size() && slots_[slot] != kFree) ++slot;
    if (slot == slots_.size()) slots_.push_back(kFree);
    slots_[slot] = kSeen;  // a new loop has not missed anything yet
    ++loops_;
    ++seen_;
    return static_cast<int>(slot);
}

void Watchdog::leave(int slot) {
    std::lock_guard lock(mutex_);
    Slot& state = slots_[static_cast<std::size_t>(slot)];
    if (state == kSeen) --seen_;
    --loops_;
    state = kFree;
}

void Watchdog::alive(int slot) {
    if (!active()) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    Slot& state = slots_[static_cast<std::size_t>(slot)];
    if (state == kWaiting) {
        state = kSeen;
        ++seen_;
    }
    if (seen_ != loops_ || now - lastPing_ < period_) return;
    lastPing_ = now;
    for (Slot& each : slots_) {
        if (each == kSeen) each = kWaiting;
    }
    seen_ = 0;
    notifier_.send("WATCHDOG=1");
}

Watchdog::Loop::Loop(Watchdog& watchdog) : watchdog_(watchdog), slot_(watchdog.enter()) { alive(); }

Watchdog::Loop::~Loop() { watchdog_.leave(slot_); }

}  // namespace korvel::cli
