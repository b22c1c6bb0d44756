#include "core/sim_bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "core/failure.h"

namespace korvel::cli {

void refuseBenchOptions(const MeterOptions& o) {
    const char* simOnly = o.field         ? "--field"
                          : o.meters      ? "--meters"
                          : o.unplugAfter ? "--unplug-after"
                          : o.replugAfter ? "--replug-after"
                          : o.seed        ? "--seed"
                          : o.latency     ? "--latency"
                          : o.scale       ? "--scale"
                          : o.unplugEvery ? "--unplug-every"
                          : o.stallAfter  ? "--stall-after"
                                          : nullptr;
    if (simOnly == nullptr) return;
    throw Failure(kExitUsage, std::string(simOnly) +
                                  " sets up the simulated meter: add --simulate (the real library has no "
                                  "simulated meter)");
}

SimBench::SimBench(const Api& api, const MeterOptions& options) : api_(api), options_(options) {
    const MeterOptions& o = options_;
    if (o.replugAfter && !o.unplugAfter && !o.unplugEvery)
        throw Failure(kExitUsage,
                      "--replug-after plugs the meter back in after --unplug-after or --unplug-every: give one");
    if (o.meters && api_.korvelSimReset(*o.meters) < 0)
        throw Failure(kExitUsage, "the simulated bus cannot hold " + std::to_string(*o.meters) + " meters");
    if (o.latency && api_.korvelSimSetLatency(*o.latency) != 0)
        throw Failure(kExitUsage, "--latency must be a number of seconds from 0 to 10");
    if (o.scale) {
        for (int i = 0, count = api_.korvelSimMeterCount(); i < count; ++i) {
            if (api_.korvelSimSetScale(i, *o.scale) != 0)
                throw Failure(kExitUsage, "--scale must be a whole number from 0 to 255");
        }
    }
    // Without --field or --seed the meters keep the simulated library's own
    // field (12.5 mT with noise and drift), as every program using it sees.
    if (!o.field && !o.seed) return;
    const double dc = o.field.value_or(KORVEL_SIM_DEFAULT_FIELD);
    // --seed: the same noise every run and no drift (it follows the clock).
    const auto seed = o.seed ? static_cast<unsigned>(*o.seed)
                             : static_cast<unsigned>(
                                   std::chrono::high_resolution_clock::now().time_since_epoch().count() & 0xFFFFFFFFu);
    for (int i = 0, count = api_.korvelSimMeterCount(); i < count; ++i) {
        KorvelSimField field{};
        field.dc = dc;
        field.noise = 1e-5 + 2e-4 * std::fabs(dc);
        field.drift = o.seed ? 0.0 : 2e-5 + 1e-3 * std::fabs(dc);
        field.seed = seed + static_cast<unsigned>(i);
        api_.korvelSimSetFieldSource(i, &field);
    }
}

SimBench::~SimBench() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (timer_.joinable()) timer_.join();
}

int SimBench::meterCount() const { return api_.korvelSimMeterCount(); }

void SimBench::throwNoMeter() const {
    const int count = meterCount();
    if (count <= 0) {
        throw Failure(kExitNoMeter,
                      "no meter found: the simulated bus is empty (--meters 0); give --meters 1 or more");
    }
    throw Failure(kExitNoMeter, "no meter could be opened: the " + std::to_string(count) +
                                    " simulated meter(s) on the bus are busy or do not answer");
}

int SimBench::indexOf(const Meter& meter) const { return api_.korvelSimIndexOf(meter.handle()); }

int SimBench::autoRange(const Meter& meter) const {
    const int index = indexOf(meter);
    return index >= 0 ? api_.korvelSimGetSetting(index, KORVEL_SIM_AUTO_RANGE) : -1;
}

int SimBench::memorySize(const Meter& meter) const {
    const int index = indexOf(meter);
    return index >= 0 ? api_.korvelSimEepromSize(index) : -1;
}

void SimBench::opened(const Meter& meter) {
    const MeterOptions& o = options_;
    if (!o.unplugAfter && !o.unplugEvery && !o.stallAfter) return;
    {
        std::lock_guard lock(mutex_);
        if (armed_) return;  // counted from the run's first open
        armed_ = true;
    }
    const int index = indexOf(meter);
    if (index >= 0) arm(index);
}

void SimBench::arm(int index) {
    const MeterOptions& o = options_;
    const Api* a = &api_;
    if (o.unplugAfter && *o.unplugAfter <= 0 && !o.replugAfter && !o.unplugEvery && !o.stallAfter) {
        a->korvelSimUnplug(index);  // at once, so "lost from the start" is repeatable
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const auto start = Clock::now();
    std::optional<Clock::time_point> unplugAt, stallAt;
    if (o.unplugAfter) unplugAt = start + seconds(*o.unplugAfter);
    else if (o.unplugEvery) unplugAt = start + seconds(*o.unplugEvery);
    if (o.stallAfter) stallAt = start + seconds(*o.stallAfter);
    const std::optional<double> replug = o.replugAfter;
    const std::optional<double> every = o.unplugEvery;
    timer_ = std::thread([this, a, index, unplugAt, stallAt, replug, every, seconds]() mutable {
        std::unique_lock lock(mutex_);
        const auto until = [&](Clock::time_point when) {
            return !wake_.wait_until(lock, when, [this] { return ending_; });
        };
        while (unplugAt || stallAt) {
            const Clock::time_point next = std::min(unplugAt.value_or(Clock::time_point::max()),
                                                    stallAt.value_or(Clock::time_point::max()));
            if (!until(next)) return;
            if (stallAt && Clock::now() >= *stallAt) {
                a->korvelSimInjectFault(index, KORVEL_SIM_FAULT_STALL, 1);
                stallAt.reset();
                continue;
            }
            const Clock::time_point pulled = *unplugAt;
            a->korvelSimUnplug(index);
            unplugAt.reset();
            if (!replug && !every) continue;
            if (!until(Clock::now() + seconds(replug.value_or(1.0)))) return;
            a->korvelSimReplug(index);
            if (every) unplugAt = pulled + seconds(*every);
        }
    });
}

void BenchSeat::opened(const Meter& meter) { index_ = bench_.indexOf(meter); }

BenchSeat::CableTurn BenchSeat::toggleCable() {
    CableTurn turn;
    const Api& api = bench_.api();
    if (index_ < 0) {
        turn.message = "SIGUSR1 ignored: it pulls the cable of a simulated meter only";
    } else if (!pulled_) {
        api.korvelSimUnplug(index_);
        pulled_ = true;
        turn.message = "simulated meter " + std::to_string(index_) + ": cable pulled (SIGUSR1)";
    } else if (api.korvelSimReplug(index_) != 0) {
        turn.message = "simulated meter: cannot plug the cable back in";
    } else {
        pulled_ = false;
        turn.pluggedBack = true;
        turn.message = "simulated meter " + std::to_string(index_) + ": cable plugged back in (SIGUSR1)";
    }
    return turn;
}

void BenchSeat::setField(double tesla) const { bench_.api().korvelSimSetField(index_ < 0 ? 0 : index_, tesla); }

int BenchSeat::memorySize() const { return index_ >= 0 ? bench_.api().korvelSimEepromSize(index_) : -1; }

}  // namespace korvel::cli
