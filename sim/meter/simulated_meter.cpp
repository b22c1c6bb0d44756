#include "sim/meter/simulated_meter.h"

#include <cstring>
#include <thread>
#include <utility>

#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/meter/command_handlers.h"

namespace korvel::sim {

using namespace wire;

Meter::Meter(int serial) : serial_(serial) {
    core_.eeprom.program(serial);
    core_.powerOn();
    poweredOn_ = std::chrono::steady_clock::now();
}

void Meter::powerCycle() {
    std::lock_guard lock(mutex_);
    const FieldSource source = core_.field.source();
    core_.powerOn();
    core_.field.set(source);  // the field is the world's, not the meter's
    poweredOn_ = std::chrono::steady_clock::now();
}

void Meter::factoryReset() {
    std::lock_guard lock(mutex_);
    core_.eeprom.program(serial_);
    core_.powerOn();
    core_.field.set(FieldSource{});
    core_.counters = Counters{};
    faults_.clear();
    poweredOn_ = std::chrono::steady_clock::now();
}

double Meter::elapsed() const {
    if (frozenClock_ >= 0.0) return frozenClock_;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - poweredOn_).count();
}

bool Meter::receive(const std::uint8_t* request, int length, Reply* reply) {
    std::unique_lock lock(mutex_);
    ++core_.counters.exchanges;
    const Fault fault = faults_.next();
    if (fault != Fault::None) ++core_.counters.faults;
    switch (fault) {
    case Fault::Stall:
        // Hangs in the caller's exchange, as a USB call stuck in the kernel;
        // the meter itself is not held meanwhile.
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::seconds(kStallSeconds));
        lock.lock();
        break;
    case Fault::WriteFail:
        return false;  // the request never reaches the meter
    case Fault::Silence:
        reply->length = 0;
        reply->delivery = Delivery::Never;  // lost on the way: nothing done
        return true;
    case Fault::Unplug:
        reply->length = 0;
        reply->delivery = Delivery::Never;
        if (onUnplug_) onUnplug_();
        return true;
    default:
        break;
    }
    answer(request, length, reply);
    spoilReply(fault, reply, faults_);
    return true;
}

// Parses the request, runs its handler and builds the answer frame:
// 01 2B code N data[N] crcHi crcLo, zero-padded to 60 bytes.
void Meter::answer(const std::uint8_t* request, int length, Reply* reply) {
    core_.now = elapsed();
    const std::uint8_t code = length > kPosCommand ? request[kPosCommand] : 0;
    const int n = length > kPosCount ? request[kPosCount] : 0;
    const Handler& handler = handlerFor(code);

    const bool framed = length >= kHeaderSize + kChecksumSize && request[kPosAddress] == kAddress &&
                        request[kPosFunction] == kFunction && n <= kMaxRequestPayload &&
                        kHeaderSize + n + kChecksumSize <= length;
    Exchange x{core_, framed ? request + kPosData : nullptr, framed ? n : 0};
    const bool intact =
        framed && mbChecksum(request, kHeaderSize + n) ==
                      ((request[kPosData + n] << 8) | request[kPosData + n + 1]);
    if (!intact || handler.run == nullptr || n < handler.payload) {
        // Garbled, unknown or short: the meter answers, does nothing, and
        // queues a command error.
        core_.status.postError(errors::kCommand);
    } else {
        handler.run(x);
        core_.updateConditions();
    }

    std::memset(reply->bytes, 0, sizeof reply->bytes);
    std::uint8_t* f = reply->bytes;
    f[kPosAddress] = kAddress;
    f[kPosFunction] = kFunction;
    f[kPosCommand] = code;
    f[kPosCount] = static_cast<std::uint8_t>(x.length);
    std::memcpy(f + kPosData, x.data, static_cast<std::size_t>(x.length));
    const std::uint16_t crc = mbChecksum(f, kHeaderSize + x.length);
    f[kPosData + x.length] = static_cast<std::uint8_t>(crc >> 8);
    f[kPosData + x.length + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    reply->length = kTransferSize;
    reply->delivery = Delivery::Now;
}

void Meter::setField(const FieldSource& source) {
    std::lock_guard lock(mutex_);
    core_.field.set(source);
}

FieldSource Meter::field() const {
    std::lock_guard lock(mutex_);
    return core_.field.source();
}

void Meter::setScale(std::uint8_t scale) {
    std::lock_guard lock(mutex_);
    core_.scale = scale;
}

void Meter::injectFault(Fault fault, int count) {
    std::lock_guard lock(mutex_);
    faults_.inject(fault, count);
}

void Meter::setRandomFaults(double probability, std::uint32_t seed) {
    std::lock_guard lock(mutex_);
    faults_.setRandom(probability, seed);
}

void Meter::setUnplugHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    onUnplug_ = std::move(handler);
}

MeterSnapshot Meter::snapshot() const {
    std::lock_guard lock(mutex_);
    MeterSnapshot s;
    s.settings = core_.settings;
    s.statusByte = core_.status.statusByte();
    s.serviceRequestEnable = core_.status.serviceRequestEnable();
    s.errorCount = core_.status.errors().size();
    s.counters = core_.counters;
    return s;
}

RegisterSet Meter::registers(int set) const {
    std::lock_guard lock(mutex_);
    if (set < 0 || set >= status::kSetCount) return RegisterSet{};
    return core_.status.set(set);
}

int Meter::peekErrors(std::int16_t* codes, int max) const {
    std::lock_guard lock(mutex_);
    return core_.status.errors().peek(codes, max);
}

int Meter::eepromSize() const { return eeprom::kSize; }

namespace {
bool withinMemory(int address, int count) {
    return address >= 0 && count >= 0 && address <= eeprom::kSize && count <= eeprom::kSize - address;
}
}  // namespace

bool Meter::readEeprom(int address, std::uint8_t* bytes, int count) const {
    std::lock_guard lock(mutex_);
    if (!withinMemory(address, count)) return false;
    return core_.eeprom.read(address, bytes, count) == count || count == 0;
}

bool Meter::writeEeprom(int address, const std::uint8_t* bytes, int count) {
    std::lock_guard lock(mutex_);
    if (!withinMemory(address, count)) return false;
    return core_.eeprom.write(address, bytes, count) == count || count == 0;
}

void Meter::setClock(double seconds) {
    std::lock_guard lock(mutex_);
    frozenClock_ = seconds;
}

}  // namespace korvel::sim
