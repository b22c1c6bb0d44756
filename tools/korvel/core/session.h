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

namespace CLI {
class App;
}

namespace korvel::cli {

// The options every subcommand takes.
struct MeterOptions {
    bool simulate = false;
    std::string library;             // --library PATH
    std::string serial;              // --meter SERIAL
    std::optional<double> field;     // --field TESLA (simulated meter)
    std::optional<int> meters;       // --meters N (simulated meters on the bus)
    std::optional<double> unplugAfter;  // --unplug-after SECONDS (simulated meter)
};

// Adds the meter options to a (sub)command; `group` titles them in --help.
void addMeterOptions(CLI::App& app, MeterOptions& options);

// The identification text as the meter sent it, cut at its first zero byte,
// with anything unprintable shown as '?'.
std::string identificationText(const char* bytes, int size);
// True when one of the identification's comma-separated fields is `serial`
// (blanks around fields and letter case ignored).
bool identificationCarriesSerial(std::string_view identification, std::string_view serial);
// The serial number field of an IEEE 488.2 identification (maker, model,
// serial, firmware); "" when it has fewer fields.
std::string serialOf(std::string_view identification);

// The device nodes of the meters plugged in (by vendor and product id), from
// sysfs; empty optional when sysfs cannot be read.
std::optional<std::vector<std::string>> pluggedMeters(const std::string& sysfsDevices,
                                                      const std::string& deviceRoot, unsigned vendor,
                                                      unsigned product);

// Why no meter could be opened on the real bus, judged from sysfs and the
// device nodes: nothing plugged in, a permissions problem, or a meter that is
// busy or silent. accessError(node) gives the errno of opening a device node
// for reading and writing, 0 when allowed (access(2) by default).
using AccessCheck = std::function<int(const std::string& node)>;
std::string explainMissingMeter(const std::string& sysfsDevices, const std::string& deviceRoot,
                                unsigned vendor, unsigned product, const AccessCheck& accessError = {});

class Session;

// One open meter connection; closes it when destroyed.
class Meter {
public:
    Meter(const Api& api, MeterHandle handle, std::string identification);
    Meter(Meter&& other) noexcept;
    Meter& operator=(Meter&& other) noexcept;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;
    ~Meter();

    MeterHandle handle() const { return handle_; }
    const std::string& identification() const { return identification_; }
    std::string serial() const { return serialOf(identification_); }
    // Set once a command found the connection lost (the handle is dead then).
    bool lost() const { return lost_; }
    void markLost() { lost_ = true; }

    // Sends one SCPI line; returns the reply (empty when there is none).
    // A reply that shows the connection lost marks the meter lost.
    std::string scpi(const std::string& line);
    // Like scpi() for the tool's own queries: throws Failure when the
    // connection is lost.
    std::string query(const std::string& line);

    void close();

private:
    const Api* api_;
    MeterHandle handle_;
    std::string identification_;
    bool lost_ = false;
};

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
    // seconds from now (on a timer thread).
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
