// What stands at the far end of a simulated cable: something that takes one
// request frame and gives back one answer. The simulated meter is one peer;
// tests replay byte-level conversations with scripted peers. Both cables (the
// virtual libusb bus and emulated usbfs) drive peers through this interface.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel::sim {

// When the cable hands the answer to the host.
enum class Delivery {
    Now,    // ready for the next read
    Never,  // the meter stays silent: the read times out
    Late,   // arrives only after the read waiting for it has timed out
};

struct Reply {
    std::uint8_t bytes[64] = {};
    int length = 0;  // bytes delivered by the read (1 to 60; fewer = short read)
    Delivery delivery = Delivery::Now;
};

class Peer {
public:
    virtual ~Peer() = default;

    // One request as it came off the wire (normally 60 bytes). Returns false
    // when the write is not accepted (the host's write then fails); otherwise
    // fills *reply.
    virtual bool receive(const std::uint8_t* request, int length, Reply* reply) = 0;

    // Device-level faults, read by every cable.
    std::atomic<bool> refuseClaim{false};  // claiming interface 0 fails (EBUSY)
    std::atomic<bool> failOpen{false};     // opening the device fails
};

}  // namespace korvel::sim
