// systemd's watchdog (WatchdogSec= in a unit): the loops that do the work
// check in, and the ping (WATCHDOG=1) goes out from a check-in once every
// loop has checked in since the last ping, so one stuck loop (a USB call
// that never returns, a deadlock) stops the pings and systemd restarts the
// service. Loops that wait check in while waiting (at least every second).
// Without $WATCHDOG_USEC (or when $WATCHDOG_PID names another process) a
// check-in does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/service_notify.h"

namespace korvel::cli {

class Watchdog {
public:
    // The process's watchdog, set up from the environment on first use.
    static Watchdog& instance();
    // Pings through `notifier` every interval / 2 at most (0: no watchdog).
    Watchdog(ServiceNotifier& notifier, std::chrono::microseconds interval);

    bool active() const { return period_.count() > 0; }

    // A loop for as long as it lives: it must check in regularly.
    class Loop {
    public:
        explicit Loop(Watchdog& watchdog = Watchdog::instance());
        ~Loop();
        Loop(const Loop&) = delete;
        Loop& operator=(const Loop&) = delete;
        void alive() { watchdog_.alive(slot_); }

    private:
        Watchdog& watchdog_;
        int slot_;
    };

private:
    int enter();
    void leave(int slot);
    void alive(int slot);

    ServiceNotifier& notifier_;
    const std::chrono::steady_clock::duration period_;
    enum Slot : std::uint8_t { kFree, kWaiting, kSeen };  // kSeen: checked in since the last ping
    std::mutex mutex_;
    std::vector<Slot> slots_;  // one per loop, as many as there are (a publisher of 50 meters has 51)
    std::size_t loops_ = 0;
    std::size_t seen_ = 0;
    std::chrono::steady_clock::time_point lastPing_{};
};

}  // namespace korvel::cli
