// The bench of simulated meters: what a run with --simulate has that a real
// meter lacks (its field, faults and cable timers, the cable a signal pulls,
// the page's field control). Only the session makes one, and only for the
// simulated library; code for real meters asks the session for it once and
// finds none.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/library.h"
#include "core/meter.h"
#include "core/meter_options.h"

namespace korvel::cli {

// Throws Failure(kExitUsage) when the options set up a simulated meter but
// the run has none (no --simulate).
void refuseBenchOptions(const MeterOptions& options);

class SimBench;

// One meter's place on the bench as a long-lived user (a server's worker)
// sees it across reopenings. Used from one thread.
class BenchSeat {
public:
    explicit BenchSeat(SimBench& bench) : bench_(bench) {}
    // The meter now open on this seat.
    void opened(const Meter& meter);
    // Pulls the cable of the meter seen last, or plugs it back in.
    struct CableTurn {
        bool pluggedBack = false;  // look for the meter again now
        std::string message;       // for the log
    };
    CableTurn toggleCable();
    // A steady field for the meter seen last (meter 0 before any was seen).
    void setField(double tesla) const;
    // Memory size of the meter seen last; -1 when not known.
    int memorySize() const;

private:
    SimBench& bench_;
    int index_ = -1;
    bool pulled_ = false;
};

class SimBench {
public:
    // Sets the simulated bus up as the options ask (--meters, --field, ...).
    // Throws Failure(kExitUsage) for values the simulated library refuses.
    SimBench(const Api& api, const MeterOptions& options);
    ~SimBench();
    SimBench(const SimBench&) = delete;
    SimBench& operator=(const SimBench&) = delete;

    // How many meters hang on the bus (claimed or not).
    int meterCount() const;
    // The advice for "no meter could be opened".
    [[noreturn]] void throwNoMeter() const;
    // The session opened a meter for the run. The first one gets the cable
    // timers (--unplug-after, --unplug-every, --replug-after, --stall-after),
    // counted from now.
    void opened(const Meter& meter);
    // The simulated meter behind an open meter; -1 when none.
    int indexOf(const Meter& meter) const;
    // Auto-range state of the meter behind `meter` (the meter has no query
    // for it); -1 when not known.
    int autoRange(const Meter& meter) const;
    // Memory size of the meter behind `meter`; -1 when not known.
    int memorySize(const Meter& meter) const;

    std::unique_ptr<BenchSeat> seat() { return std::make_unique<BenchSeat>(*this); }
    const Api& api() const { return api_; }

private:
    void arm(int index);

    const Api& api_;
    const MeterOptions options_;
    std::thread timer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool armed_ = false;
    bool ending_ = false;
};

}  // namespace korvel::cli
