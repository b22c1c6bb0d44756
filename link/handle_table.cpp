#include "link/handle_table.h"

#include <usb.h>

#include <array>
#include <atomic>
#include <cstdint>

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
    std::mutex mutex;
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

std::shared_mutex& busListsLock() {
    static std::shared_mutex lock;
    return lock;
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

Session::Session(MeterHandle handle) {
    Slot* slot = lookup(handle);
    if (slot == nullptr) return;
    lock_ = std::unique_lock(slot->mutex);
    if (slot->state.device == nullptr || slot->state.generation != (handle >> 8)) {
        lock_.unlock();
        return;
    }
    busLock_ = std::shared_lock(busListsLock());
    slot_ = slot;
    device_ = slot->state.device;
}

Session::~Session() = default;

void Session::close() {
    if (device_ == nullptr) return;
    // Results ignored: the connection is over whatever they say.
    usb_release_interface(device_, wire::kInterface);
    usb_close(device_);
    slot_->state.device = nullptr;
    device_ = nullptr;
}

}  // namespace korvel::link
