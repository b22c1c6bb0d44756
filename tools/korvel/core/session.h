// A run of the tool against one library: loading it, finding and opening
// meters, and with the simulated library its bench of simulated meters.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/library.h"
#include "core/meter.h"
#include "core/meter_options.h"
#include "core/missing_meter.h"
#include "core/sim_bench.h"

namespace korvel::cli {

class Session {
public:
    // Loads the library the options name; with the simulated one sets up its
    // bench. Throws Failure (usage errors for bench options on the real library).
    explicit Session(const MeterOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Library& library() const { return library_; }
    const Api& api() const { return library_.api(); }
    bool simulated() const { return library_.simulated(); }
    // The simulated meters' bench; null for the real library.
    SimBench* bench() const { return bench_.get(); }
    const MeterOptions& options() const { return options_; }

    // Opens the meter the options ask for: the one with --meter's serial, or
    // the first one found. Throws Failure(kExitNoMeter) with advice when none.
    // The run's first meter opened (here, by openSerial or openAll) starts
    // the bench's cable timers.
    Meter open();
    // Opens the meter with this serial number (a logger waiting for its meter
    // to come back). Throws Failure like open().
    Meter openSerial(const std::string& serial);
    // Opens every meter that can be opened, in bus order (may be empty).
    std::vector<Meter> openAll();
    // Claims every meter in front of the one the options name and leaves
    // that one free, so a routine that opens "the first meter" reaches it.
    // Returns the meters held; empty without --meter.
    std::vector<Meter> holdMetersBefore();
    // The advice for "no meter could be opened".
    [[noreturn]] void throwNoMeter();

private:
    // How many meters the bus holds (claimed or not); -1 when unknown.
    int metersOnTheBus() const;
    // Opens the next free meter with its identification.
    std::optional<Meter> openNext();
    // Opens meters until the one the options ask for, stored in *chosen;
    // returns the ones opened before it. Throws Failure when there is none.
    std::vector<Meter> openThrough(std::optional<Meter>* chosen);

    MeterOptions options_;
    Library library_;
    std::unique_ptr<SimBench> bench_;
};

}  // namespace korvel::cli
