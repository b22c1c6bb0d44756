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
    for (int slot = 0; slot < kMaxLoops; ++slot) {
        const std::uint32_t bit = 1U << slot;
        if ((loops_ & bit) != 0) continue;
        loops_ |= bit;
        seen_ |= bit;  // a new loop has not missed anything yet
        return slot;
    }
    return -1;  // more loops than slots: this one is not watched
}

void Watchdog::leave(int slot) {
    if (slot < 0) return;
    std::lock_guard lock(mutex_);
    loops_ &= ~(1U << slot);
    seen_ &= ~(1U << slot);
}

void Watchdog::alive(int slot) {
    if (!active() || slot < 0) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    seen_ |= 1U << slot;
    if ((seen_ & loops_) != loops_ || now - lastPing_ < period_) return;
    lastPing_ = now;
    seen_ = 0;
    notifier_.send("WATCHDOG=1");
}

Watchdog::Loop::Loop(Watchdog& watchdog) : watchdog_(watchdog), slot_(watchdog.enter()) { alive(); }

Watchdog::Loop::~Loop() { watchdog_.leave(slot_); }

}  // namespace korvel::cli
