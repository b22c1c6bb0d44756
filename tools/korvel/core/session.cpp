#include "core/session.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "core/failure.h"
#include "core/replies.h"

namespace korvel::cli {
namespace {

constexpr int kMaxMeters = 32;  // more than any bench holds; bounds the open walk
constexpr int kReplySize = 128;  // the longest reply scpiCommand writes
constexpr int kIdentificationSize = 40;

// A field that looks like a probe held near a small permanent magnet.
constexpr double kDefaultField = 0.0125;

std::string trim(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> fields(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        out.push_back(trim(text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                               : comma - start)));
        if (comma == std::string_view::npos) return out;
        start = comma + 1;
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return trim(line);
}

}  // namespace

void addMeterOptions(CLI::App& app, MeterOptions& options) {
    const char* group = "Meter selection";
    app.add_flag("--simulate", options.simulate,
                 "Use the simulated meter (the simulated library) instead of a meter on USB")
        ->group(group);
    app.add_option("--meter", options.serial,
                   "Use the meter with this serial number (see 'korvel list'); default: the first found")
        ->type_name("SERIAL")
        ->group(group);
    app.add_option("--library", options.library, "Load this build of the Korvel library")
        ->type_name("PATH")
        ->group(group);
    const char* simGroup = "Simulated meter (with --simulate)";
    app.add_option("--field", options.field,
                   "DC field the simulated probe sits in, in tesla (default 0.0125), with a little noise "
                   "and slow drift")
        ->type_name("TESLA")
        ->check(CLI::Range(-10.0, 10.0))
        ->group(simGroup);
    app.add_option("--meters", options.meters, "Put N simulated meters on the bus (0 to 16; default 1)")
        ->type_name("N")
        ->check(CLI::Range(0, 16))
        ->group(simGroup);
    app.add_option("--unplug-after", options.unplugAfter,
                   "Pull the simulated meter's cable SECONDS after it was opened (to see how a "
                   "script copes with a lost meter)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber)
        ->group(simGroup);
}

std::string identificationText(const char* bytes, int size) {
    std::string text;
    for (int i = 0; i < size && bytes[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return text;
}

bool identificationCarriesSerial(std::string_view identification, std::string_view serial) {
    const std::string wanted = trim(serial);
    if (wanted.empty()) return false;
    for (const auto& field : fields(identification)) {
        if (equalsIgnoringCase(field, wanted)) return true;
    }
    return false;
}

std::string serialOf(std::string_view identification) {
    const auto parts = fields(identification);
    return parts.size() >= 3 ? parts[2] : std::string();
}

std::optional<std::vector<std::string>> pluggedMeters(const std::string& sysfsDevices,
                                                      const std::string& deviceRoot, unsigned vendor,
                                                      unsigned product) {
    std::error_code error;
    std::filesystem::directory_iterator devices(sysfsDevices, error);
    if (error) return std::nullopt;
    std::vector<std::string> nodes;
    for (const auto& entry : devices) {
        const auto dir = entry.path();
        const std::string v = readFirstLine(dir / "idVendor");
        const std::string p = readFirstLine(dir / "idProduct");
        if (v.empty() || p.empty()) continue;
        if (std::strtoul(v.c_str(), nullptr, 16) != (vendor & 0xFFFFu) ||
            std::strtoul(p.c_str(), nullptr, 16) != (product & 0xFFFFu))
            continue;
        char node[64];
        std::snprintf(node, sizeof node, "/%03lu/%03lu",
                      std::strtoul(readFirstLine(dir / "busnum").c_str(), nullptr, 10),
                      std::strtoul(readFirstLine(dir / "devnum").c_str(), nullptr, 10));
        nodes.push_back(deviceRoot + node);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

std::string explainMissingMeter(const std::string& sysfsDevices, const std::string& deviceRoot,
                                unsigned vendor, unsigned product, const AccessCheck& accessError) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor & 0xFFFFu, product & 0xFFFFu);
    const std::vector<std::string> present =
        pluggedMeters(sysfsDevices, deviceRoot, vendor, product).value_or(std::vector<std::string>{});
    std::vector<std::string> forbidden;
    for (const auto& path : present) {
        const int denied = accessError ? accessError(path)
                                       : (access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno);
        if (denied == EACCES || denied == EPERM) forbidden.push_back(path);
    }
    if (present.empty()) {
        return std::string("no meter found: no USB device ") + ids +
               " is plugged in. Plug the meter in (and switch it on), or try the simulated meter with "
               "--simulate.";
    }
    if (!forbidden.empty()) {
        return "a meter is plugged in (" + forbidden.front() +
               ") but this user may not open it: a permissions problem. Install Korvel's udev rule "
               "(see 'Using a real meter' in the README), then unplug and replug the meter.";
    }
    return "a meter is plugged in (" + present.front() +
           ") but could not be opened: another program may be using it (close it and try again), "
           "or it did not answer (unplug and replug it).";
}

// ------------------------------------------------------------------ Meter

Meter::Meter(const Api& api, MeterHandle handle, std::string identification)
    : api_(&api), handle_(handle), identification_(std::move(identification)) {}

Meter::Meter(Meter&& other) noexcept
    : api_(other.api_), handle_(other.handle_), identification_(std::move(other.identification_)),
      lost_(other.lost_) {
    other.handle_ = 0;
}

Meter& Meter::operator=(Meter&& other) noexcept {
    if (this != &other) {
        close();
        api_ = other.api_;
        handle_ = other.handle_;
        identification_ = std::move(other.identification_);
        lost_ = other.lost_;
        other.handle_ = 0;
    }
    return *this;
}

Meter::~Meter() { close(); }

void Meter::close() {
    if (handle_ != 0) api_->closeKorvel(handle_);
    handle_ = 0;
}

std::string Meter::scpi(const std::string& line) {
    char reply[kReplySize + 1] = {};
    api_->scpiCommand(handle_, line.c_str(), reply, kReplySize);
    reply[kReplySize] = '\0';
    std::string text(reply);
    if (classifyReply(text) == ReplyKind::Lost) lost_ = true;
    return text;
}

std::string Meter::query(const std::string& line) {
    const std::string reply = scpi(line);
    if (classifyReply(reply) == ReplyKind::Lost) {
        throw Failure(kExitMeterError, "the connection to the meter was lost (during " + line +
                                           "): check the cable and try again");
    }
    return reply;
}

// ---------------------------------------------------------------- Session

Session::Session(const MeterOptions& options)
    : options_(options), library_(Library::load(LoadRequest{options.simulate, options.library})) {
    if (!simulated()) {
        const char* simOnly = options_.field        ? "--field"
                              : options_.meters      ? "--meters"
                              : options_.unplugAfter ? "--unplug-after"
                                                     : nullptr;
        if (simOnly != nullptr) {
            throw Failure(kExitUsage, std::string(simOnly) +
                                          " sets up the simulated meter: add --simulate (the real "
                                          "library has no simulated meter)");
        }
        return;
    }
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
    // A live field: the given (or a plausible) DC value with noise and a slow
    // wander, seeded from the clock so every run differs like a real probe.
    const double dc = options_.field.value_or(kDefaultField);
    const auto seed = static_cast<unsigned>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count() & 0xFFFFFFFFu);
    const int count = a.korvelSimMeterCount();
    for (int i = 0; i < count; ++i) {
        KorvelSimField field{};
        field.dc = dc;
        field.noise = 1e-5 + 2e-4 * std::fabs(dc);
        field.drift = 2e-5 + 1e-3 * std::fabs(dc);
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
    if (!options_.unplugAfter || !simulated()) return;
    const int index = simulatedIndex(meter);
    if (index < 0) return;
    const auto delay = std::chrono::duration<double>(*options_.unplugAfter);
    const Api* a = &api();
    if (delay.count() <= 0) {  // at once, so "lost from the start" is repeatable
        a->korvelSimUnplug(index);
        return;
    }
    unplugTimer_ = std::thread([this, a, index, delay] {
        std::unique_lock lock(timerMutex_);
        if (timerWake_.wait_for(lock, delay, [this] { return ending_; })) return;
        a->korvelSimUnplug(index);
    });
}

}  // namespace korvel::cli
