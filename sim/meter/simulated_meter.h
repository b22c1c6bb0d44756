// The simulated meter: a Peer that answers 60-byte request frames as the
// real meter does, keeps the meter's state, measures a configurable field,
// and can be made to misbehave. It knows nothing of the cable it hangs on;
// any cable (the virtual libusb bus, emulated usbfs) drives it through
// Peer::receive.
//
// Thread-safe: one lock per meter guards its state, so exchanges on several
// meters run in parallel and the control functions may run at any time.
// No heap allocation happens per exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "sim/meter/core.h"
#include "sim/meter/faults.h"
#include "sim/peer.h"

namespace korvel::sim {

// A look at a meter's settings and counters.
struct MeterSnapshot {
    Settings settings;
    std::uint8_t statusByte = 0;
    std::uint8_t serviceRequestEnable = 0;
    int errorCount = 0;
    Counters counters;
};

class Meter : public Peer {
public:
    // serial: the meter's number, 1 for KV0001 (its identification text,
    // probe serial and calibration bytes derive from it).
    explicit Meter(int serial = 1);

    bool receive(const std::uint8_t* request, int length, Reply* reply) override;

    // Back to the power-on state (the memory keeps its contents).
    void powerCycle();
    // Erases and reprograms the memory with the factory image, then powers on.
    void factoryReset();
    int serial() const { return serial_; }

    void setField(const FieldSource& source);
    FieldSource field() const;
    // The scale code the meter reports with its readings (0 to 255).
    void setScale(std::uint8_t scale);

    void injectFault(Fault fault, int count);
    void setRandomFaults(double probability, std::uint32_t seed);
    // Called (with the meter's lock held, usually under the cable's lock too)
    // when an Unplug fault strikes; the cable must unplug the device without
    // blocking on its own lock, e.g. by handing the work to another thread.
    void setUnplugHandler(std::function<void()> handler);

    MeterSnapshot snapshot() const;
    RegisterSet registers(int set) const;
    // Queued errors, oldest first, without removing them; returns the count.
    int peekErrors(std::int16_t* codes, int max) const;

    int eepromSize() const;
    bool readEeprom(int address, std::uint8_t* bytes, int count) const;
    bool writeEeprom(int address, const std::uint8_t* bytes, int count);

    // Freezes the meter's clock at `seconds` since power-on (tests of drift and
    // waveforms); a negative value lets it run with real time again.
    void setClock(double seconds);

private:
    void answer(const std::uint8_t* request, int length, Reply* reply);
    double elapsed() const;

    mutable std::mutex mutex_;
    int serial_;
    MeterCore core_;
    FaultPlan faults_;
    std::function<void()> onUnplug_;
    std::chrono::steady_clock::time_point poweredOn_;
    double frozenClock_ = -1.0;
};

}  // namespace korvel::sim
