#include "core/session.h"

#include <algorithm>

#include "core/failure.h"

namespace korvel::cli {
namespace {

constexpr int kMaxMeters = 32;  // more than any bench holds; bounds the open walk
constexpr int kIdentificationSize = 40;


}  // namespace

Session::Session(const MeterOptions& options)
    : options_(options), library_(Library::load(LoadRequest{options.simulate, options.library})) {
    if (simulated()) bench_ = std::make_unique<SimBench>(api(), options_);
    else refuseBenchOptions(options_);
}

Session::~Session() = default;

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
    if (bench_) return bench_->meterCount();
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
    if (bench_ && !meters.empty()) bench_->opened(meters.front());
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
        if (bench_) bench_->opened(*chosen);
        return std::move(*chosen);
    } catch (...) {
        options_.serial = chosenBefore;
        throw;
    }
}

Meter Session::open() {
    std::optional<Meter> chosen;
    openThrough(&chosen);  // the others close as they go out of scope
    if (bench_) bench_->opened(*chosen);
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
    if (bench_) bench_->throwNoMeter();
    throw Failure(kExitNoMeter, explainMissingMeter("/sys/bus/usb/devices", "/dev/bus/usb",
                                                    KORVEL_USB_VENDOR_ID, KORVEL_USB_PRODUCT_ID));
}

}  // namespace korvel::cli
