// A virtual USB bus behind the libusb-0.1 API: the same usb_* functions, with
// the genuine <usb.h> structures, answered by simulated peers instead of the
// kernel. The simulated library links this in place of libusb.
//
// Semantics kept from a real bus: devices are listed in attach order; an
// interface claimed through one open handle cannot be claimed through another
// until released; bulk transfers need the interface claimed; timeouts are
// honoured (scaled by setTimeScale, so tests can shorten the waiting); an
// unplugged device fails every transfer with -ENODEV and stays failed for the
// handles opened before it was plugged back.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/peer.h"

struct usb_dev_handle;

namespace korvel::sim {

// One usb_* call as the host made it.
struct CallRecord {
    enum Kind : std::uint8_t {
        Init, SetDebug, FindBusses, FindDevices, GetBusses, Open, SetConfiguration,
        ClaimInterface, ReleaseInterface, Close, BulkWrite, BulkRead, Other
    };
    Kind kind = Other;
    int device = -1;         // device index, -1 where none applies
    int argument = 0;        // configuration, interface, endpoint or debug level
    int timeout = 0;         // bulk transfers: the timeout asked for, ms
    int result = 0;          // what the call returned
    std::uint8_t data[64] = {};  // bulk transfers: the bytes written or read
    int dataLength = 0;
};

class VirtualBus {
public:
    static VirtualBus& instance();

    // Removes every device and clears the call log. Handles opened before
    // fail afterwards (-ENODEV).
    void reset();

    // Attaches a device at the end of the list; returns its index (0, 1, ...).
    // peer may be null for a device that is not a meter (nothing answers it).
    int attach(std::shared_ptr<Peer> peer, std::uint16_t vendor, std::uint16_t product);
    int deviceCount() const;
    std::shared_ptr<Peer> peer(int device) const;

    void unplug(int device);
    void replug(int device);
    bool plugged(int device) const;
    bool claimed(int device) const;
    // Answers still waiting on endpoint 0x81 of a device.
    int pendingAnswers(int device) const;
    // usb_open handles currently open (all devices).
    int openHandles() const;
    // The device a usb_open handle was opened on; -1 for one from before the
    // last reset.
    int deviceOf(const usb_dev_handle* handle) const;

    // Multiplies every timeout the bus waits out (1.0 = real time).
    void setTimeScale(double scale);
    // The cable's tick, in seconds (a full-speed USB frame by default): an
    // exchange ends on the first tick at least half a tick after it starts.
    // Kept across reset().
    static constexpr double kDefaultLatency = 0.001;
    void setLatency(double seconds);

    // The call log: a ring of the most recent kLogCapacity calls.
    static constexpr int kLogCapacity = 4096;
    void clearLog();
    long long callCount() const;  // calls recorded since the last clear
    // The i-th call since the last clear, if still in the ring.
    bool call(long long i, CallRecord* out) const;

    struct Impl;
    Impl& state() { return *impl_; }  // for the usb_* entry points

private:
    VirtualBus();
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvel::sim
