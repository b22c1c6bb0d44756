// The one acquisition core of the tool: `korvel read`, `korvel publish` and
// the live page's sampler and recorder take their readings through it.
//
// - One clock: a reading's timestamp is the UTC time at which it was asked
//   for, its elapsed time is monotonic from the run's first reading.
// - Pacing without catch-up: a reading due while the previous one was late
//   is taken at once, and the next is due one interval after it (never a
//   burst to make up for lost time).
// - Stops through the one signal policy (core/stop_signals.h).
// - A lost meter is waited for by its serial number, the run's settings are
//   applied again, and the outage goes to the sink as one gap record.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/reading.h"
#include "core/run_settings.h"
#include "core/session.h"
#include "core/stop_signals.h"

namespace korvel::cli {

using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

// A run's clock: wall time and monotonic time taken together at its start.
class RunClock {
public:
    bool started() const { return started_; }
    // Starts the run at `at` (the moment its first reading was asked for).
    void start(SteadyClock::time_point at);
    // The UTC time and the seconds since the start of a moment of the run.
    WallClock::time_point wallTime(SteadyClock::time_point at) const;
    double elapsed(SteadyClock::time_point at) const;
    SteadyClock::time_point startedAt() const { return steadyStart_; }

private:
    bool started_ = false;
    SteadyClock::time_point steadyStart_{};
    WallClock::time_point wallStart_{};
};

// One reading, stamped with the moment it was asked for (the clock starts
// at the first). Empty when the exchange failed: the meter is marked lost.
std::optional<LoggedReading> takeReading(const Api& api, Meter& meter, RunClock& clock,
                                         SteadyClock::time_point at = SteadyClock::now());

// When the next reading is due: one interval after the last one was due, or
// now when that moment has passed already (no catch-up burst).
class Pacer {
public:
    explicit Pacer(double intervalSeconds);
    bool paced() const { return interval_.count() > 0; }
    // The first reading is due now.
    void restart(SteadyClock::time_point now) { due_ = now; }
    SteadyClock::time_point next(SteadyClock::time_point now);

private:
    SteadyClock::duration interval_;
    SteadyClock::time_point due_{};
};

// Where the readings of a run go. Each call returns 0, or the errno that
// ends the run (a full disk, a closed pipe).
class ReadingSink {
public:
    virtual ~ReadingSink() = default;
    virtual int reading(const LoggedReading& reading) = 0;
    // The meter was lost from `from` and answers again since `to`.
    virtual int gap(WallClock::time_point from, WallClock::time_point to) = 0;
};

// What a run tells whoever watches it (systemd's status and watchdog): all
// no-ops by default. Called on the run's own thread.
class AcquisitionEvents {
public:
    virtual ~AcquisitionEvents() = default;
    // The meter is set up and readings are taken (at the start and when it is back).
    virtual void meterReady(const std::string& serial) { (void)serial; }
    // The meter was lost; the run waits for it.
    virtual void meterLost(const std::string& serial) { (void)serial; }
    // A reading is in the sink.
    virtual void readingTaken() {}
    // A step of a wait (for the next reading, for a lost meter): the loop
    // is alive. At least once a second while waiting.
    virtual void waiting() {}
};

struct AcquisitionOptions {
    long long count = 0;    // readings to take; 0: no count (one alone when there is no duration either)
    double duration = 0;    // seconds; 0: no limit
    bool continuous = false;
    double interval = 0;    // seconds from one reading to the next; 0: as fast as the meter answers
    bool reconnect = false; // wait for a lost meter instead of ending
    bool quiet = false;     // no lines on standard error about a lost meter
    RunSettings settings;
};

enum class RunEnd { Done, Interrupted, Lost, SinkFailed };

class Acquisition {
public:
    // `meta` carries the program's part of the meta block (version, host,
    // command); setUp() adds the meter's.
    Acquisition(Session& session, Meter& meter, const AcquisitionOptions& options, const StopSignals& signals,
                RunMeta meta);

    // Applies the settings and describes the meter; with reconnect, a meter
    // lost meanwhile is waited for. Done, Lost or Interrupted; a setting the
    // meter refuses throws Failure.
    RunEnd setUp();
    // Tells `events` (kept, not owned; null: nobody) what the run does.
    void setEvents(AcquisitionEvents* events) { events_ = events ? events : &noEvents_; }
    // The meta block of the run (valid after setUp()).
    const RunMeta& meta() const { return meta_; }

    // Takes the readings into the sink until the count, the duration, a
    // stop signal, a lost meter (without reconnect) or a failing sink.
    RunEnd run(ReadingSink& sink);

    long long taken() const { return taken_; }
    // Seconds from asking for the first reading to having the last.
    double seconds() const { return lastElapsed_; }
    const Statistics& statistics() const { return statistics_; }
    int sinkError() const { return sinkError_; }
    const std::string& serial() const { return serial_; }

private:
    bool setUpOrLost();
    // Waits for the meter by its serial; the gap goes to the sink when lostAt
    // is given. Done, Interrupted or SinkFailed.
    RunEnd waitForMeter(ReadingSink* sink, std::optional<WallClock::time_point> lostAt);
    bool limitReached(SteadyClock::time_point due) const;
    // Sleeps until `when` in steps that report the wait; false on a stop.
    bool sleepUntil(SteadyClock::time_point when);

    Session& session_;
    Meter& meter_;
    const AcquisitionOptions options_;
    const StopSignals& signals_;
    RunMeta meta_;
    std::string serial_;
    RunClock clock_;
    long long taken_ = 0;
    double lastElapsed_ = 0;
    Statistics statistics_;
    int sinkError_ = 0;
    AcquisitionEvents noEvents_;
    AcquisitionEvents* events_ = &noEvents_;
};

}  // namespace korvel::cli
