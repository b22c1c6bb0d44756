// The one stream of readings every open page shares: the sampler on the
// meter's thread publishes here; page streams, /metrics and the recorder
// read from here. The meter is read once, however many pages watch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/reading.h"

namespace korvel::cli::serve::http {

using WallClock = std::chrono::system_clock;

struct Sample {
    std::uint64_t sequence = 0;  // set by publish()
    WallClock::time_point time;  // when the reading was asked for
    double elapsed = 0;           // seconds since the server's first reading (monotonic)
    bool connected = false;
    bool hasReading = false;  // a reading was taken (connected)
    MeterReading raw{};
    ReadingValue value;
    bool overRange = false;
};

// The meter as the status line and the controls show it.
struct MeterStatus {
    std::string serial;
    std::string probe;
    std::string identification;
    int hold = -1;       // -1: not known
    int relative = -1;
    int autoRange = -1;  // as last set from the page: the meter has no query for it
};

struct HistoryPoint {
    std::int64_t millis;         // wall clock, ms since 1970
    std::optional<double> tesla; // empty: no reading (the meter away)
};

class LiveFeed {
public:
    // Keeps this many points of history (60 minutes at 10 per second).
    explicit LiveFeed(std::size_t historyLength = 36000);

    void publish(Sample sample);
    void setStatus(const MeterStatus& status);
    MeterStatus status() const;

    // The latest sample (sequence 0 before the first).
    Sample latest() const;
    // Waits for a sample newer than `after`; empty on timeout or stop().
    std::optional<Sample> waitNewer(std::uint64_t after, std::chrono::milliseconds timeout);
    // Wakes every waiter for good.
    void stop();
    bool stopped() const;

    // Points of the last `window`, at most maxPoints (thinned evenly; a
    // bucket holding a gap shows the gap). Points more than gapAfter apart
    // get an empty point between them, so a chart breaks its line there.
    std::vector<HistoryPoint> history(std::chrono::seconds window, std::size_t maxPoints,
                                      std::chrono::milliseconds gapAfter = std::chrono::milliseconds(1000)) const;

    // Count, min, max, mean and standard deviation in tesla since the last reset.
    Statistics statistics() const;
    void resetStatistics();

private:
    mutable std::mutex mutex_;
    std::condition_variable published_;
    Sample latest_;
    MeterStatus status_;
    std::deque<HistoryPoint> history_;
    std::size_t historyLength_;
    Statistics statistics_;
    std::uint64_t sequence_ = 0;
    bool stopped_ = false;
};

std::int64_t epochMillis(WallClock::time_point time);

}  // namespace korvel::cli::serve::http
