// A second cable for simulated meters: emulated usbfs. The meters appear
// under /dev/bus/usb of a umockdev testbed, so an unmodified libusb-0.1 in
// this process (or in a child that inherits the environment) finds them,
// opens them and talks to them with the same usbfs ioctls it sends to the
// kernel. This cable answers those ioctls in-process from Peers.
//
// The process must run with umockdev's preload library loaded before any
// other (see reexecWithUsbfsPreload). Only paths under /dev get ioctl
// emulation, so USB_DEVFS_PATH must stay unset.
//
// What a meter looks like to the host: bus 001, device descriptor with the
// given vendor and product ids, configuration 1, interface 0, bulk endpoints
// 0x01 (OUT) and 0x81 (IN) of 64 bytes.
//
// How the host's transfers meet the Peer:
//   - an OUT URB hands its bytes (up to 64) to Peer::receive and completes at
//     once; a refused write (receive() false) completes with -EPIPE and no
//     bytes, which libusb-0.1 reports as a write of 0;
//   - the answer is queued for endpoint 0x81 (Delivery::Now), dropped
//     (Never: the IN URB stays pending and libusb times out), or held
//     (Late: released when an IN URB is discarded, for the next IN URB);
//   - an IN URB takes the oldest queued answer (Reply::length bytes, so fewer
//     than 60 is a short packet) or stays pending.
// Claiming interface 0 fails with EBUSY while the Peer refuses claims or
// another connection holds it. Unplugging removes the device node, completes
// pending URBs with -ESHUTDOWN and fails every later ioctl on connections
// opened before with ENODEV; replugging brings the device back under a new
// device number, with the Peer (the meter's state) kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/peer.h"
#include "sim/usbfs/usbfs_preload.h"

namespace korvel::sim {

// One step the host took on a device, as the cable saw it.
struct UsbfsEvent {
    enum Kind : std::uint8_t { SetConfiguration, ClaimInterface, ReleaseInterface, Out, In, Discard };
    Kind kind = Out;
    int device = -1;
    int argument = 0;  // configuration or interface; the endpoint of a transfer
    int result = 0;    // ioctl: 0 or -errno; transfer: the URB's final status
    int length = 0;    // transfer: bytes that crossed
    std::int64_t timeNs = 0;  // when, on the steady clock
    std::uint8_t data[64] = {};
};

class UsbfsCable {
public:
    // Builds an empty testbed (and sets UMOCKDEV_DIR for this process).
    UsbfsCable();
    ~UsbfsCable();
    UsbfsCable(const UsbfsCable&) = delete;
    UsbfsCable& operator=(const UsbfsCable&) = delete;

    // Empty when the testbed works; otherwise why it does not.
    const std::string& error() const { return error_; }
    // The testbed's root directory (what UMOCKDEV_DIR names).
    std::string root() const;

    // Plugs a device in; returns its index (0, 1, ...), or -1 on failure.
    // peer may be null for a device that is not a meter (nothing answers it).
    int attach(std::shared_ptr<Peer> peer, std::uint16_t vendor, std::uint16_t product);
    int deviceCount() const;
    std::shared_ptr<Peer> peer(int device) const;

    void unplug(int device);
    // The same, asked from inside the device's own Peer::receive (a meter
    // pulling its cable mid-request): done as soon as receive() returns, the
    // request's write completed, everything after it failing.
    void requestUnplug(int device);
    void replug(int device);
    bool plugged(int device) const;
    // The device's number on bus 001 (its node /dev/bus/usb/001/NNN).
    int devnum(int device) const;
    // Interface 0 is claimed through a connection that is still open.
    bool claimed(int device) const;
    // Answers waiting for an IN URB (a held late answer included).
    int pendingAnswers(int device) const;
    // Connections (open file descriptors) on the device's node(s) that are
    // still open. Closing is noticed asynchronously: poll for a change.
    int openConnections(int device) const;

    // The event log: a ring of the most recent kLogCapacity events.
    static constexpr int kLogCapacity = 4096;
    void clearLog();
    long long eventCount() const;
    bool event(long long i, UsbfsEvent* out) const;

    struct State;

private:
    bool plugNode(int device);
    void unlist(int device);

    std::shared_ptr<State> state_;
    std::string error_;
};

}  // namespace korvel::sim
