#include "link/handle_table.h"

#include "link/usb_api.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "link/protocol.h"

namespace korvel::link {
namespace {

struct SlotState {
    std::uint32_t generation = 0;  // 24 bits; the live handle's generation
    usb_dev_handle* device = nullptr;
};

constexpr std::uint32_t kGenerationMask = 0xFFFFFF;

}  // namespace

struct Slot {
    SlotLock mutex;
    SlotState state;
};

namespace {

std::array<Slot, kSlots + 1> slots;  // slot 0 is never used
std::mutex allocationMutex;
int nextSlot = 1;

Slot* lookup(MeterHandle handle) {
    const unsigned index = handle & 0xFFU;
    if (index == 0 || index > static_cast<unsigned>(kSlots)) return nullptr;
    return &slots[index];
}

}  // namespace

namespace {
std::atomic<int> exchangesInside{0};
std::atomic<bool> rebuilding{false};
constexpr auto kGatePoll = std::chrono::microseconds(50);
}  // namespace

// Sequentially consistent on both sides (a reader announces itself, then
// looks at the flag; the rebuild raises the flag, then counts readers), so
// the two can never both go ahead.
void BusGate::enter() {
    for (;;) {
        exchangesInside.fetch_add(1);
        if (!rebuilding.load()) return;
        exchangesInside.fetch_sub(1);
        while (rebuilding.load()) std::this_thread::sleep_for(kGatePoll);
    }
}

void BusGate::leave() { exchangesInside.fetch_sub(1); }

void BusGate::close() {
    rebuilding.store(true);
    while (exchangesInside.load() != 0) std::this_thread::sleep_for(kGatePoll);
}

void BusGate::open() { rebuilding.store(false); }

BusGate& busGate() {
    static BusGate gate;
    return gate;
}

MeterHandle registerConnection(usb_dev_handle* device) {
    std::lock_guard guard(allocationMutex);
    // Round robin, so a freed slot is reused as late as possible.
    for (int tried = 0; tried < kSlots; ++tried) {
        const int index = nextSlot;
        nextSlot = nextSlot % kSlots + 1;
        Slot& slot = slots[static_cast<std::size_t>(index)];
        std::lock_guard slotGuard(slot.mutex);
        if (slot.state.device != nullptr) continue;
        std::uint32_t generation = (slot.state.generation + 1) & kGenerationMask;
        if (generation == 0) generation = 1;
        slot.state.generation = generation;
        slot.state.device = device;
        return (generation << 8) | static_cast<std::uint32_t>(index);
    }
    return 0;
}

HeldConnection::HeldConnection(MeterHandle handle) {
    Slot* slot = lookup(handle);
    if (slot == nullptr) return;
    slot->mutex.lock();
    if (slot->state.device == nullptr || slot->state.generation != (handle >> 8)) {
        slot->mutex.unlock();
        return;
    }
    locked_ = true;
    busGate().enter();
    insideGate_ = true;
    slot_ = slot;
    device_ = slot->state.device;
}

HeldConnection::~HeldConnection() {
    if (insideGate_) busGate().leave();
    if (locked_) slot_->mutex.unlock();
}

void HeldConnection::close() {
    if (device_ == nullptr) return;
    // Results ignored: the connection is over whatever they say.
    usb_release_interface(device_, wire::kInterface);
    usb_close(device_);
    slot_->state.device = nullptr;
    device_ = nullptr;
}

}  // namespace korvel::link
