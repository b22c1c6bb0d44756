// The table of open connections behind MeterHandle values.
//
// A handle is (generation << 8) | slot, slot 1 to kSlots: never 0, never cut
// from a pointer. Each reuse of a slot bumps its generation, so a handle that
// died (closed, or after a failed exchange) never reaches a later connection.
#pragma once

#include <atomic>
#include <mutex>

#include "korvel.h"

struct usb_dev_handle;

namespace korvel::link {

inline constexpr int kSlots = 64;

// The USB library's bus lists are rebuilt by an open; no exchange may run
// meanwhile. Exchanges pass the gate as readers (two atomic operations, no
// lock); the one rebuild at a time (opens are serialized) closes it and waits
// for the exchanges already inside to leave.
class BusGate {
public:
    void enter();  // an exchange begins
    void leave();  // an exchange ends
    void close();  // a rebuild begins: waits until no exchange is inside
    void open();   // the rebuild is over
};
BusGate& busGate();

// Registers an opened, claimed device. Returns its new handle, or 0 when every
// slot is taken (the caller keeps ownership of the device then).
MeterHandle registerConnection(usb_dev_handle* device);

// A connection's lock: one atomic exchange when free; a waiter sleeps on the
// atomic (a futex) instead of spinning, since the holder may be in a 2 s read.
class SlotLock {
public:
    void lock() {
        while (state_.exchange(1, std::memory_order_acquire) != 0) state_.wait(1, std::memory_order_relaxed);
    }
    void unlock() {
        state_.store(0, std::memory_order_release);
        state_.notify_one();
    }

private:
    std::atomic<int> state_{0};
};

// Exclusive access to one open connection for the length of an exchange.
class HeldConnection {
public:
    explicit HeldConnection(MeterHandle handle);
    ~HeldConnection();
    HeldConnection(const HeldConnection&) = delete;
    HeldConnection& operator=(const HeldConnection&) = delete;

    // False for 0, never-issued, closed or dead handles: nothing may touch USB.
    explicit operator bool() const { return device_ != nullptr; }
    usb_dev_handle* device() const { return device_; }

    // Releases interface 0, closes the device and kills the handle.
    void close();

private:
    struct Slot* slot_ = nullptr;
    bool locked_ = false;
    bool insideGate_ = false;
    usb_dev_handle* device_ = nullptr;
};

}  // namespace korvel::link
