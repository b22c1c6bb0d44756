#include "core/acquisition.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/failure.h"
#include "core/short_slice.h"

namespace korvel::cli {
namespace {

// How long a run waits between attempts to find its lost meter (each
// attempt of the library itself takes about 1.5 s when none answers).
constexpr auto kReconnectPause = std::chrono::milliseconds(500);
// Longest sleep between two reports of a wait.
constexpr auto kWaitStep = std::chrono::milliseconds(250);

SteadyClock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

void RunClock::start(SteadyClock::time_point at) {
    // Both clocks read together, so the UTC stamps follow the monotonic one.
    wallStart_ = WallClock::now() - std::chrono::duration_cast<WallClock::duration>(SteadyClock::now() - at);
    steadyStart_ = at;
    started_ = true;
}

WallClock::time_point RunClock::wallTime(SteadyClock::time_point at) const {
    return wallStart_ + std::chrono::duration_cast<WallClock::duration>(at - steadyStart_);
}

double RunClock::elapsed(SteadyClock::time_point at) const {
    return std::chrono::duration<double>(at - steadyStart_).count();
}

std::optional<LoggedReading> takeReading(const Api& api, Meter& meter, RunClock& clock, SteadyClock::time_point at) {
    if (!clock.started()) clock.start(at);
    MeterReading raw{};
    if (meter.lost() || api.mtrGetReading(meter.handle(), &raw) != 0) {
        meter.markLost();
        return std::nullopt;
    }
    LoggedReading reading;
    reading.time = clock.wallTime(at);
    reading.elapsed = clock.elapsed(at);
    reading.raw = raw;
    reading.value = describeReading(raw);
    return reading;
}

Pacer::Pacer(double intervalSeconds) : interval_(toDuration(intervalSeconds)) {}

SteadyClock::time_point Pacer::next(SteadyClock::time_point now) {
    due_ += interval_;
    if (due_ < now) due_ = now;  // late: no burst to catch up
    return due_;
}

Acquisition::Acquisition(Session& session, Meter& meter, const AcquisitionOptions& options,
                         const StopSignals& signals, RunMeta meta)
    : session_(session), meter_(meter), options_(options), signals_(signals), meta_(std::move(meta)),
      serial_(meter.serial()) {}

bool Acquisition::setUpOrLost() {
    try {
        describeMeter(meter_, applySettings(session_.api(), meter_, options_.settings), &meta_);
        return true;
    } catch (const Failure&) {
        if (meter_.lost()) return false;
        throw;  // a refused setting is final
    }
}

bool Acquisition::sleepUntil(SteadyClock::time_point when) {
    while (true) {
        events_->waiting();
        const auto now = SteadyClock::now();
        if (now >= when) return !signals_.stopping();
        if (!signals_.sleepUntil(std::min(when, now + kWaitStep))) return false;
    }
}

RunEnd Acquisition::setUp() {
    if (setUpOrLost()) {
        events_->meterReady(serial_);
        return RunEnd::Done;
    }
    if (!options_.reconnect) return RunEnd::Lost;
    return waitForMeter(nullptr, std::nullopt);
}

RunEnd Acquisition::waitForMeter(ReadingSink* sink, std::optional<WallClock::time_point> lostAt) {
    meter_.close();
    events_->meterLost(serial_);
    if (!options_.quiet) {
        std::fprintf(stderr, "korvel: the meter %s was lost at %s; waiting for it to come back (Ctrl-C ends)\n",
                     serial_.c_str(), isoTimestamp(lostAt.value_or(WallClock::now())).c_str());
    }
    while (!signals_.stopping()) {
        try {
            meter_ = session_.openSerial(serial_);
        } catch (const Failure&) {  // not back yet
            sleepUntil(SteadyClock::now() + kReconnectPause);
            continue;
        }
        // Lost again while being set up: wait on; a refused setting is final.
        if (!setUpOrLost()) {
            meter_.close();
            continue;
        }
        if (sink != nullptr && lostAt) {
            sinkError_ = sink->gap(*lostAt, WallClock::now());
            if (sinkError_ != 0) return RunEnd::SinkFailed;
        }
        if (!options_.quiet) std::fprintf(stderr, "korvel: the meter %s is back; the run goes on\n", serial_.c_str());
        events_->meterReady(serial_);
        return RunEnd::Done;
    }
    return RunEnd::Interrupted;
}

bool Acquisition::limitReached(SteadyClock::time_point due) const {
    if (options_.count > 0 && taken_ >= options_.count) return true;
    // Without a limit, one reading.
    if (options_.count == 0 && options_.duration <= 0 && !options_.continuous && taken_ >= 1) return true;
    return options_.duration > 0 && clock_.started() && due - clock_.startedAt() >= toDuration(options_.duration);
}

RunEnd Acquisition::run(ReadingSink& sink) {
    Pacer pacer(options_.interval);
    // Paced readings come on time on a busy machine too (core/short_slice.h).
    std::optional<ShortSlice> slice;
    if (pacer.paced()) slice.emplace();
    bool first = true;
    while (true) {
        if (signals_.stopping()) return RunEnd::Interrupted;
        auto due = SteadyClock::now();
        if (!first && pacer.paced()) due = pacer.next(due);
        if (limitReached(due)) return RunEnd::Done;
        if (!sleepUntil(due)) return RunEnd::Interrupted;

        const auto asked = SteadyClock::now();
        std::optional<LoggedReading> reading = takeReading(session_.api(), meter_, clock_, asked);
        if (first) pacer.restart(asked);  // the pace and the clock start at the same moment
        first = false;
        if (!reading) {
            if (!options_.reconnect) return RunEnd::Lost;
            const RunEnd back = waitForMeter(&sink, clock_.wallTime(asked));
            if (back != RunEnd::Done) return back;
            pacer.restart(SteadyClock::now());  // the next reading one interval after the meter came back
            continue;
        }
        sinkError_ = sink.reading(*reading);
        if (sinkError_ != 0) return RunEnd::SinkFailed;
        // Counted once the sink has it, so a summary tells what the sink holds.
        ++taken_;
        events_->readingTaken();
        lastElapsed_ = clock_.elapsed(SteadyClock::now());
        statistics_.add(reading->value);
    }
}

}  // namespace korvel::cli
