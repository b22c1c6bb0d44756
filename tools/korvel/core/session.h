// A run of the tool against one library: loading it, setting up the
// simulated meter, and finding and opening meters.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/library.h"
#include "core/meter.h"
#include "core/meter_options.h"
#include "core/missing_meter.h"

namespace korvel::cli {

class Session {
public:
    // Loads the library the options name and prepares the simulated meters.
    // Throws Failure (usage errors for simulator options on the real library).
    explicit Session(const MeterOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Library& library() const { return library_; }
    const Api& api() const { return library_.api(); }
    bool simulated() const { return library_.simulated(); }
    const MeterOptions& options() const { return options_; }

    // Opens the meter the options ask for: the one with --meter's serial, or
    // the first one found. Throws Failure(kExitNoMeter) with advice when none.
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

    // The simulated meter's bus index behind an open meter (-1 when unknown
    // or not simulated).
    int simulatedIndex(const Meter& meter) const;

    // With --unplug-after: pulls the simulated meter's cable that many
    // seconds from now (on a timer thread); with --replug-after plugs it back
    // in that much later.
    void armUnplug(const Meter& meter);

private:
    void configureSimulation();
    // How many meters the bus holds (claimed or not); -1 when unknown.
    int metersOnTheBus() const;
    // Opens the next free meter with its identification.
    std::optional<Meter> openNext();
    // Opens meters until the one the options ask for, stored in *chosen;
    // returns the ones opened before it. Throws Failure when there is none.
    std::vector<Meter> openThrough(std::optional<Meter>* chosen);

    MeterOptions options_;
    Library library_;
    std::thread unplugTimer_;
    std::mutex timerMutex_;
    std::condition_variable timerWake_;
    bool ending_ = false;
};

}  // namespace korvel::cli
