// The korvelSim* control functions: which meters hang on the virtual bus, the
// field each one measures, the faults it suffers, and a look inside.
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "korvel_sim.h"
#include "link/handle_table.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "sim/meter/simulated_meter.h"

namespace korvel::sim {
namespace {

constexpr int kMaxMeters = 16;

// The meter's end of the virtual cable. From an Unplug fault until the
// replug nothing reaches the meter, even before the bus has been told.
class Port : public Peer {
public:
    explicit Port(std::shared_ptr<Meter> m) : meter(std::move(m)) {}
    bool receive(const std::uint8_t* request, int length, Reply* reply) override {
        if (pulled) return false;
        return meter->receive(request, length, reply);
    }
    const std::shared_ptr<Meter> meter;
    std::atomic<bool> pulled{false};
};

struct Slot {
    std::shared_ptr<Port> port;
    int device = -1;  // index on the bus
};

// The meters on the bus, in bus order. Lock order: this lock, then the
// bus's; a meter's lock is never held while either is taken.
struct Registry {
    std::mutex mutex;
    std::vector<Slot> meters;
    unsigned generation = 0;  // counts resets; stale unplug requests are dropped
};

Registry& registry() {
    static Registry r;
    return r;
}

// Pulls a cable on behalf of a meter's Unplug fault. The fault strikes inside
// the bus's transfer, under the bus's lock, so the unplug itself runs on this
// thread once the transfer has returned (the read that follows then fails),
// or earlier when a control function needs the bus to be up to date.
class Unplugger {
public:
    static Unplugger& instance() {
        static Unplugger u;
        return u;
    }

    // Called under the bus's and the meter's locks: only queues.
    void request(int device, unsigned generation) {
        std::lock_guard lock(mutex_);
        if (pending_ == kQueue) return;
        queue_[(first_ + pending_) % kQueue] = {device, generation};
        ++pending_;
        wake_.notify_one();
    }

    // Carries out what is queued; the registry's lock is held.
    void drain(Registry& reg) {
        Request work[kQueue];
        int count = 0;
        {
            std::lock_guard lock(mutex_);
            for (; pending_ > 0; --pending_, first_ = (first_ + 1) % kQueue) work[count++] = queue_[first_];
        }
        for (int i = 0; i < count; ++i)
            if (work[i].generation == reg.generation) VirtualBus::instance().unplug(work[i].device);
    }

    void ensureRunning() {
        std::lock_guard lock(mutex_);
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    }

    ~Unplugger() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            wake_.notify_one();
        }
        if (worker_.joinable()) worker_.join();
    }

private:
    static constexpr int kQueue = 64;
    struct Request {
        int device;
        unsigned generation;
    };

    void run() {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stop_ || pending_ > 0; });
                if (stop_) return;
            }
            Registry& reg = registry();
            std::lock_guard regLock(reg.mutex);
            drain(reg);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    Request queue_[kQueue] = {};
    int first_ = 0;
    int pending_ = 0;
    bool stop_ = false;
    std::thread worker_;
};

// The field a meter finds itself in when attached: a probe held near a small
// permanent magnet, 12.5 mT with a little noise and a slow wander, seeded by
// the meter's number so a run repeats. The korvel program and the Python
// package take this one too (docs/simulator.md).
FieldSource defaultField(int number) {
    FieldSource field;
    field.dc = KORVEL_SIM_DEFAULT_FIELD;
    field.noise = 1e-5 + 2e-4 * KORVEL_SIM_DEFAULT_FIELD;
    field.drift = 2e-5 + 1e-3 * KORVEL_SIM_DEFAULT_FIELD;
    field.seed = static_cast<std::uint32_t>(number + 1);
    return field;
}

// Attaches a new meter at the end of the bus (registry lock held).
int attachMeter(Registry& reg) {
    if (static_cast<int>(reg.meters.size()) >= kMaxMeters) return -1;
    const int number = static_cast<int>(reg.meters.size());
    auto port = std::make_shared<Port>(std::make_shared<Meter>(number + 1));
    port->meter->setField(defaultField(number));
    const int device = VirtualBus::instance().attach(port, wire::kVendorId, wire::kProductId);
    const unsigned generation = reg.generation;
    Port* end = port.get();  // the meter lives inside its port
    port->meter->setUnplugHandler([end, device, generation] {
        end->pulled = true;
        Unplugger::instance().request(device, generation);
    });
    reg.meters.push_back(Slot{port, device});
    return number;
}

std::shared_ptr<Port> portAt(int number) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    if (number < 0 || number >= static_cast<int>(reg.meters.size())) return nullptr;
    return reg.meters[static_cast<std::size_t>(number)].port;
}

std::shared_ptr<Meter> meterAt(int number) {
    auto port = portAt(number);
    return port ? port->meter : nullptr;
}

int deviceOf(Registry& reg, int number) {
    if (number < 0 || number >= static_cast<int>(reg.meters.size())) return -1;
    return reg.meters[static_cast<std::size_t>(number)].device;
}

bool isFinite(double v) { return std::isfinite(v); }

const char* callName(CallRecord::Kind kind) {
    switch (kind) {
    case CallRecord::Init: return "usb_init";
    case CallRecord::SetDebug: return "usb_set_debug";
    case CallRecord::FindBusses: return "usb_find_busses";
    case CallRecord::FindDevices: return "usb_find_devices";
    case CallRecord::GetBusses: return "usb_get_busses";
    case CallRecord::Open: return "usb_open";
    case CallRecord::SetConfiguration: return "usb_set_configuration";
    case CallRecord::ClaimInterface: return "usb_claim_interface";
    case CallRecord::ReleaseInterface: return "usb_release_interface";
    case CallRecord::Close: return "usb_close";
    case CallRecord::BulkWrite: return "usb_bulk_write";
    case CallRecord::BulkRead: return "usb_bulk_read";
    default: return "usb_other";
    }
}

// A fresh process finds one meter with power-on defaults, whether the library
// was linked or loaded with dlopen.
const int kPowerOn = korvelSimReset(1);

}  // namespace
}  // namespace korvel::sim

using namespace korvel::sim;

extern "C" {

KORVEL_API int korvelSimReset(int meters) {
    if (meters < 0 || meters > kMaxMeters) return -1;
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    ++reg.generation;
    VirtualBus::instance().reset();
    reg.meters.clear();
    for (int i = 0; i < meters; ++i) attachMeter(reg);
    return meters;
}

KORVEL_API int korvelSimAddMeter(void) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    return attachMeter(reg);
}

KORVEL_API int korvelSimAddForeignDevice(unsigned int vendor, unsigned int product) {
    if (vendor > 0xFFFF || product > 0xFFFF) return -1;
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    VirtualBus::instance().attach(nullptr, static_cast<std::uint16_t>(vendor),
                                  static_cast<std::uint16_t>(product));
    return 0;
}

KORVEL_API int korvelSimMeterCount(void) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    return static_cast<int>(reg.meters.size());
}

KORVEL_API int korvelSimUnplug(int meter) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    const int device = deviceOf(reg, meter);
    if (device < 0) return -1;
    VirtualBus::instance().unplug(device);
    return 0;
}

KORVEL_API int korvelSimReplug(int meter) {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    const int device = deviceOf(reg, meter);
    if (device < 0) return -1;
    Unplugger::instance().drain(reg);  // an unplug still on its way lands first
    VirtualBus::instance().replug(device);
    reg.meters[static_cast<std::size_t>(meter)].port->pulled = false;
    return 0;
}

KORVEL_API int korvelSimIndexOf(MeterHandle handle) {
    int device = -1;
    {
        // The library's own table says which USB connection a handle is;
        // holding it keeps the handle from closing meanwhile.
        const korvel::link::HeldConnection held(handle);
        if (!held) return -1;
        device = VirtualBus::instance().deviceOf(held.device());
    }
    if (device < 0) return -1;
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (std::size_t i = 0; i < reg.meters.size(); ++i) {
        if (reg.meters[i].device == device) return static_cast<int>(i);
    }
    return -1;  // a device that is not a meter
}

KORVEL_API int korvelSimSetTimeScale(double scale) {
    if (!isFinite(scale) || scale < 0.0) return -1;
    VirtualBus::instance().setTimeScale(scale);
    return 0;
}

KORVEL_API int korvelSimSetLatency(double seconds) {
    // Ten seconds is beyond any cable; more is a mistake, not a slow meter.
    if (!isFinite(seconds) || seconds < 0.0 || seconds > 10.0) return -1;
    VirtualBus::instance().setLatency(seconds);
    return 0;
}

KORVEL_API int korvelSimPowerCycle(int meter) {
    auto m = meterAt(meter);
    if (!m) return -1;
    m->powerCycle();
    return 0;
}

KORVEL_API int korvelSimSetField(int meter, double tesla) {
    KorvelSimField field{};
    field.dc = tesla;
    return korvelSimSetFieldSource(meter, &field);
}

KORVEL_API int korvelSimSetFieldSource(int meter, const KorvelSimField* field) {
    if (field == nullptr) return -1;
    if (!isFinite(field->dc) || !isFinite(field->acAmplitude) || !isFinite(field->acFrequency) ||
        !isFinite(field->noise) || !isFinite(field->drift) || field->acFrequency < 0.0 ||
        field->noise < 0.0 || field->drift < 0.0)
        return -1;
    auto m = meterAt(meter);
    if (!m) return -1;
    FieldSource source;
    source.dc = field->dc;
    source.acAmplitude = field->acAmplitude;
    source.acFrequency = field->acFrequency;
    source.noise = field->noise;
    source.drift = field->drift;
    source.seed = field->seed;
    m->setField(source);
    return 0;
}

KORVEL_API int korvelSimSetScale(int meter, int scale) {
    if (scale < 0 || scale > 255) return -1;  // one byte of the reading
    auto m = meterAt(meter);
    if (!m) return -1;
    m->setScale(static_cast<std::uint8_t>(scale));
    return 0;
}

KORVEL_API int korvelSimInjectFault(int meter, int fault, int count) {
    if (fault < KORVEL_SIM_FAULT_NONE || fault > KORVEL_SIM_FAULT_STALL || count < 0) return -1;
    auto m = meterAt(meter);
    if (!m) return -1;
    if (fault == KORVEL_SIM_FAULT_UNPLUG && count > 0) Unplugger::instance().ensureRunning();
    m->injectFault(static_cast<Fault>(fault), count);
    return 0;
}

KORVEL_API int korvelSimSetRandomFaults(int meter, double probability, unsigned int seed) {
    if (!isFinite(probability) || probability < 0.0 || probability > 1.0) return -1;
    auto m = meterAt(meter);
    if (!m) return -1;
    if (probability > 0.0) Unplugger::instance().ensureRunning();
    m->setRandomFaults(probability, seed);
    return 0;
}

// The bus asks the device on it, which is the meter's port.
KORVEL_API int korvelSimSetClaimRefused(int meter, int refused) {
    auto port = portAt(meter);
    if (!port) return -1;
    port->refuseClaim = refused != 0;
    return 0;
}

KORVEL_API int korvelSimSetOpenFails(int meter, int fails) {
    auto port = portAt(meter);
    if (!port) return -1;
    port->failOpen = fails != 0;
    return 0;
}

KORVEL_API int korvelSimGetSetting(int meter, int setting) {
    auto m = meterAt(meter);
    if (!m) return -1;
    const MeterSnapshot s = m->snapshot();
    const Settings& v = s.settings;
    switch (setting) {
    case KORVEL_SIM_UNITS: return v.units;
    case KORVEL_SIM_ACDC: return v.acdc;
    case KORVEL_SIM_RANGE: return v.range;
    case KORVEL_SIM_AUTO_RANGE: return v.autoRange;
    case KORVEL_SIM_HOLD: return v.hold;
    case KORVEL_SIM_RELATIVE: return v.relative;
    case KORVEL_SIM_ANALOG_OUT: return v.analogOut;
    case KORVEL_SIM_LIMIT: return v.limit;
    case KORVEL_SIM_POWER_OFF_TIMER: return v.powerOffTimer;
    case KORVEL_SIM_KEYPAD_LOCKOUT: return v.keypadLockout;
    case KORVEL_SIM_DIAG_MODE: return v.diagMode;
    case KORVEL_SIM_MUX_RANGE: return v.muxRange;
    case KORVEL_SIM_AMP_INPUT: return v.ampInput;
    case KORVEL_SIM_STATUS_BYTE: return s.statusByte;
    case KORVEL_SIM_SERVICE_REQUEST_ENABLE: return s.serviceRequestEnable;
    case KORVEL_SIM_ERROR_COUNT: return s.errorCount;
    case KORVEL_SIM_EXCHANGES:
        return s.counters.exchanges > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(s.counters.exchanges);
    case KORVEL_SIM_RECALIBRATIONS: return s.counters.recalibrations;
    case KORVEL_SIM_AUTO_ZEROS: return s.counters.autoZeros;
    case KORVEL_SIM_LAST_KEY: return s.counters.lastKey;
    case KORVEL_SIM_FAULTS:
        return s.counters.faults > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(s.counters.faults);
    default: return -1;
    }
}

KORVEL_API int korvelSimGetDac(int meter, int dac) {
    auto m = meterAt(meter);
    if (!m || dac < 0 || dac > 3) return -1;
    return m->snapshot().settings.dac[dac];
}

KORVEL_API int korvelSimGetRegister(int meter, int set, int which) {
    auto m = meterAt(meter);
    if (!m || set < 0 || set > 3 || which < 0 || which > 2) return -1;
    const RegisterSet r = m->registers(set);
    return which == 0 ? r.event : (which == 1 ? r.enable : r.condition);
}

KORVEL_API int korvelSimPeekErrors(int meter, short* codes, int max) {
    auto m = meterAt(meter);
    if (!m || max < 0 || (codes == nullptr && max > 0)) return -1;
    std::int16_t buffer[ErrorQueue::kCapacity];
    const int queued = m->peekErrors(buffer, ErrorQueue::kCapacity);
    for (int i = 0; i < queued && i < max; ++i) codes[i] = buffer[i];
    return queued;
}

KORVEL_API int korvelSimEepromSize(int meter) {
    auto m = meterAt(meter);
    return m ? m->eepromSize() : -1;
}

KORVEL_API int korvelSimReadEeprom(int meter, int address, unsigned char* bytes, int count) {
    auto m = meterAt(meter);
    if (!m || (bytes == nullptr && count > 0)) return -1;
    return m->readEeprom(address, bytes, count) ? 0 : -1;
}

KORVEL_API int korvelSimWriteEeprom(int meter, int address, const unsigned char* bytes, int count) {
    auto m = meterAt(meter);
    if (!m || (bytes == nullptr && count > 0)) return -1;
    return m->writeEeprom(address, bytes, count) ? 0 : -1;
}

KORVEL_API int korvelSimClearCalls(void) {
    VirtualBus::instance().clearLog();
    return 0;
}

KORVEL_API long long korvelSimCallCount(void) { return VirtualBus::instance().callCount(); }

KORVEL_API int korvelSimGetCall(long long i, KorvelSimCall* call) {
    if (call == nullptr) return -1;
    CallRecord r;
    if (!VirtualBus::instance().call(i, &r)) return -1;
    std::memset(call, 0, sizeof *call);
    std::strncpy(call->name, callName(r.kind), sizeof call->name - 1);
    call->device = r.device;
    call->argument = r.argument;
    call->timeout = r.timeout;
    call->result = r.result;
    call->dataLength = r.dataLength < 0 ? 0 : (r.dataLength > 64 ? 64 : r.dataLength);
    std::memcpy(call->data, r.data, static_cast<std::size_t>(call->dataLength));
    return 0;
}

}  // extern "C"
