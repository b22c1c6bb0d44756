#include "core/session.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/failure.h"

namespace korvel::cli {
namespace {

constexpr int kMaxMeters = 32;  // more than any bench holds; bounds the open walk
constexpr int kIdentificationSize = 40;


}  // namespace

Session::Session(const MeterOptions& options)
    : options_(options), library_(Library::load(LoadRequest{options.simulate, options.library})) {
    if (!simulated()) {
        const char* simOnly = options_.field        ? "--field"
                              : options_.meters      ? "--meters"
                              : options_.unplugAfter ? "--unplug-after"
                              : options_.replugAfter ? "--replug-after"
                              : options_.seed        ? "--seed"
                              : options_.latency     ? "--latency"
                              : options_.scale       ? "--scale"
                              : options_.unplugEvery ? "--unplug-every"
                              : options_.stallAfter  ? "--stall-after"
                                                     : nullptr;
        if (simOnly != nullptr) {
            throw Failure(kExitUsage, std::string(simOnly) +
                                          " sets up the simulated meter: add --simulate (the real "
                                          "library has no simulated meter)");
        }
        return;
    }
    if (options_.replugAfter && !options_.unplugAfter && !options_.unplugEvery)
        throw Failure(kExitUsage,
                      "--replug-after plugs the meter back in after --unplug-after or --unplug-every: give one");
    configureSimulation();
}

Session::~Session() {
    {
        std::lock_guard lock(timerMutex_);
        ending_ = true;
    }
    timerWake_.notify_all();
    if (unplugTimer_.joinable()) unplugTimer_.join();
}

void Session::configureSimulation() {
    const Api& a = api();
    if (options_.meters && a.korvelSimReset(*options_.meters) < 0)
        throw Failure(kExitUsage, "the simulated bus cannot hold " + std::to_string(*options_.meters) + " meters");
    if (options_.latency && a.korvelSimSetLatency(*options_.latency) != 0)
        throw Failure(kExitUsage, "--latency must be a number of seconds from 0 to 10");
    if (options_.scale) {
        for (int i = 0, count = a.korvelSimMeterCount(); i < count; ++i) {
            if (a.korvelSimSetScale(i, *options_.scale) != 0)
                throw Failure(kExitUsage, "--scale must be a whole number from 0 to 255");
        }
    }
    // Without --field or --seed the meters keep the simulated library's own
    // field (12.5 mT with noise and drift), as every program using it sees.
    if (!options_.field && !options_.seed) return;
    const double dc = options_.field.value_or(KORVEL_SIM_DEFAULT_FIELD);
    // --seed: the same noise every run and no drift (it follows the clock).
    const auto seed = options_.seed ? static_cast<unsigned>(*options_.seed)
                                    : static_cast<unsigned>(std::chrono::high_resolution_clock::now()
                                                                .time_since_epoch()
                                                                .count() &
                                                            0xFFFFFFFFu);
    const int count = a.korvelSimMeterCount();
    for (int i = 0; i < count; ++i) {
        KorvelSimField field{};
        field.dc = dc;
        field.noise = 1e-5 + 2e-4 * std::fabs(dc);
        field.drift = options_.seed ? 0.0 : 2e-5 + 1e-3 * std::fabs(dc);
        field.seed = seed + static_cast<unsigned>(i);
        a.korvelSimSetFieldSource(i, &field);
    }
}

std::optional<Meter> Session::openNext() {
    const Api& a = api();
    const MeterHandle handle = a.openKorvel();
    if (handle == 0) return std::nullopt;
    char info[kIdentificationSize] = {};
    // A meter verified a moment ago may drop now; its handle is dead then
    // and it shows with an empty identification.
    std::string identification;
    if (a.mtrGetMeterInfo(handle, info) == 0) identification = identificationText(info, kIdentificationSize);
    return Meter(a, handle, std::move(identification));
}

int Session::metersOnTheBus() const {
    if (simulated()) return api().korvelSimMeterCount();
    const auto nodes = pluggedMeters("/sys/bus/usb/devices", "/dev/bus/usb", KORVEL_USB_VENDOR_ID,
                                     KORVEL_USB_PRODUCT_ID);
    return nodes ? static_cast<int>(nodes->size()) : -1;
}

std::vector<Meter> Session::openAll() {
    std::vector<Meter> meters;
    // Once every meter on the bus is open, a further openKorvel would only
    // spend its three attempts finding none.
    const int onTheBus = metersOnTheBus();
    for (int i = 0; i < kMaxMeters && (onTheBus <= 0 || i < onTheBus); ++i) {
        auto meter = openNext();
        if (!meter) break;
        meters.push_back(std::move(*meter));
    }
    return meters;
}

std::vector<Meter> Session::openThrough(std::optional<Meter>* chosen) {
    // Each openKorvel claims the next free meter; the ones before the chosen
    // one stay claimed so the walk goes on past them.
    std::vector<Meter> before;
    const int onTheBus = metersOnTheBus();
    for (int i = 0; i < kMaxMeters && (onTheBus <= 0 || i < onTheBus); ++i) {
        auto meter = openNext();
        if (!meter) break;
        if (options_.serial.empty() ? !meter->identification().empty()
                                    : identificationCarriesSerial(meter->identification(), options_.serial)) {
            *chosen = std::move(meter);
            return before;
        }
        before.push_back(std::move(*meter));
    }
    if (before.empty()) throwNoMeter();
    if (options_.serial.empty()) {
        throw Failure(kExitMeterError, "the meter stopped answering as soon as it was opened: check the cable");
    }
    std::string seen;
    for (const auto& meter : before) seen += (seen.empty() ? "" : ", ") + meter.serial();
    throw Failure(kExitNoMeter, "no meter with serial number " + options_.serial + " (found: " + seen +
                                    "); 'korvel list' shows every meter");
}

Meter Session::openSerial(const std::string& serial) {
    const std::string chosenBefore = options_.serial;
    options_.serial = serial;
    try {
        std::optional<Meter> chosen;
        openThrough(&chosen);
        options_.serial = chosenBefore;
        return std::move(*chosen);
    } catch (...) {
        options_.serial = chosenBefore;
        throw;
    }
}

Meter Session::open() {
    std::optional<Meter> chosen;
    openThrough(&chosen);  // the others close as they go out of scope
    return std::move(*chosen);
}

std::vector<Meter> Session::holdMetersBefore() {
    if (options_.serial.empty()) return {};
    std::optional<Meter> chosen;
    auto held = openThrough(&chosen);
    chosen.reset();  // free again, first in line for the next openKorvel
    return held;
}

void Session::throwNoMeter() {
    if (simulated()) {
        const int count = api().korvelSimMeterCount();
        if (count <= 0) {
            throw Failure(kExitNoMeter,
                          "no meter found: the simulated bus is empty (--meters 0); give --meters 1 or more");
        }
        throw Failure(kExitNoMeter, "no meter could be opened: the " + std::to_string(count) +
                                        " simulated meter(s) on the bus are busy or do not answer");
    }
    throw Failure(kExitNoMeter, explainMissingMeter("/sys/bus/usb/devices", "/dev/bus/usb",
                                                    KORVEL_USB_VENDOR_ID, KORVEL_USB_PRODUCT_ID));
}

int Session::simulatedIndex(const Meter& meter) const {
    if (!simulated() || meter.handle() == 0) return -1;
    const Api& a = api();
    // The meter whose exchange counter moves with one exchange on this handle.
    const int count = std::min(a.korvelSimMeterCount(), kMaxMeters);
    std::vector<int> before(static_cast<size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) before[static_cast<size_t>(i)] = a.korvelSimGetSetting(i, KORVEL_SIM_EXCHANGES);
    unsigned int range = 0;
    if (a.mtrGetRange(meter.handle(), &range) != 0) return -1;
    for (int i = 0; i < count; ++i) {
        if (a.korvelSimGetSetting(i, KORVEL_SIM_EXCHANGES) != before[static_cast<size_t>(i)]) return i;
    }
    return -1;
}

void Session::armUnplug(const Meter& meter) {
    const MeterOptions& o = options_;
    if ((!o.unplugAfter && !o.unplugEvery && !o.stallAfter) || !simulated()) return;
    const int index = simulatedIndex(meter);
    if (index < 0) return;
    const Api* a = &api();
    if (o.unplugAfter && *o.unplugAfter <= 0 && !o.replugAfter && !o.unplugEvery && !o.stallAfter) {
        a->korvelSimUnplug(index);  // at once, so "lost from the start" is repeatable
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); };
    const auto start = Clock::now();
    std::optional<Clock::time_point> unplugAt, stallAt;
    if (o.unplugAfter) unplugAt = start + seconds(*o.unplugAfter);
    else if (o.unplugEvery) unplugAt = start + seconds(*o.unplugEvery);
    if (o.stallAfter) stallAt = start + seconds(*o.stallAfter);
    const std::optional<double> replug = o.replugAfter;
    const std::optional<double> every = o.unplugEvery;
    unplugTimer_ = std::thread([this, a, index, unplugAt, stallAt, replug, every, seconds]() mutable {
        std::unique_lock lock(timerMutex_);
        const auto until = [&](Clock::time_point when) {
            return !timerWake_.wait_until(lock, when, [this] { return ending_; });
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

}  // namespace korvel::cli
