#include "sim/bus/virtual_bus.h"

#include "sim/answer_ring.h"
#include "sim/call_log.h"

#include "link/usb_api.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

struct usb_dev_handle {
    int device;
    unsigned plugGeneration;   // the device's generation when opened
    unsigned resetGeneration;  // the bus's generation when opened
    bool claimed;
};

// The bus list head that libusb-0.1 exports; rebuilt by usb_find_devices().
struct usb_bus* usb_busses = nullptr;

namespace korvel::sim {
namespace {

struct Device {
    std::shared_ptr<Peer> peer;
    struct usb_device node{};  // stable storage for the <usb.h> record
    bool plugged = true;
    bool listed = false;  // seen by the last usb_find_devices
    unsigned plugGeneration = 1;
    usb_dev_handle* claimant = nullptr;
    AnswerRing inQueue;  // answers waiting on endpoint 0x81
    bool latePending = false;
    Reply late;
};

}  // namespace

struct VirtualBus::Impl {
    mutable std::mutex mutex;
    std::condition_variable changed;  // unplug, reset
    std::vector<std::unique_ptr<Device>> devices;
    usb_bus bus{};
    double timeScale = 1.0;
    std::atomic<double> latency{VirtualBus::kDefaultLatency};
    int handles = 0;
    unsigned resetGeneration = 0;

    CallLog<CallRecord, kLogCapacity> log;

    void record(CallRecord::Kind kind, int device, int argument, int timeout, int result,
                const void* data = nullptr, int length = 0) {
        CallRecord& r = log.append();
        r.kind = kind;
        r.device = device;
        r.argument = argument;
        r.timeout = timeout;
        r.result = result;
        if (data != nullptr && length > 0) {
            r.dataLength = length > 64 ? 64 : length;
            std::memcpy(r.data, data, static_cast<std::size_t>(r.dataLength));
        }
    }

    Device* live(usb_dev_handle* h) {
        if (h == nullptr || h->resetGeneration != resetGeneration || h->device < 0 ||
            h->device >= static_cast<int>(devices.size()))
            return nullptr;
        Device* d = devices[static_cast<std::size_t>(h->device)].get();
        if (!d->plugged || d->plugGeneration != h->plugGeneration) return nullptr;
        return d;
    }

    // Waits out a transfer timeout (scaled); ends early when the device goes.
    // Returns false when the device went away meanwhile.
    bool waitTimeout(std::unique_lock<std::mutex>& lock, usb_dev_handle* h, int timeoutMs) {
        if (timeoutMs * timeScale <= 0.0) return live(h) != nullptr;  // nothing to wait for
        const auto span = std::chrono::duration<double, std::milli>(timeoutMs * timeScale);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(span);
        const unsigned generation = resetGeneration;
        changed.wait_until(lock, deadline, [&] { return generation != resetGeneration || live(h) == nullptr; });
        return generation == resetGeneration && live(h) != nullptr;
    }
};

VirtualBus& VirtualBus::instance() {
    static VirtualBus bus;
    return bus;
}

VirtualBus::VirtualBus() : impl_(std::make_unique<Impl>()) {
    std::snprintf(impl_->bus.dirname, sizeof impl_->bus.dirname, "001");
    impl_->bus.location = 1;
}

void VirtualBus::reset() {
    std::lock_guard lock(impl_->mutex);
    for (auto& d : impl_->devices) d->plugged = false;  // open handles now fail
    impl_->devices.clear();
    impl_->bus.devices = nullptr;
    usb_busses = nullptr;
    impl_->log.clear();
    impl_->timeScale = 1.0;
    ++impl_->resetGeneration;
    impl_->changed.notify_all();
}

int VirtualBus::attach(std::shared_ptr<Peer> peer, std::uint16_t vendor, std::uint16_t product) {
    std::lock_guard lock(impl_->mutex);
    auto device = std::make_unique<Device>();
    device->peer = std::move(peer);
    const int index = static_cast<int>(impl_->devices.size());
    struct usb_device& n = device->node;
    std::snprintf(n.filename, sizeof n.filename, "%03d", index + 2);
    n.bus = &impl_->bus;
    n.devnum = static_cast<std::uint8_t>(index + 2);
    n.descriptor.bLength = USB_DT_DEVICE_SIZE;
    n.descriptor.bDescriptorType = USB_DT_DEVICE;
    n.descriptor.bcdUSB = 0x0200;
    n.descriptor.bMaxPacketSize0 = 64;
    n.descriptor.idVendor = vendor;
    n.descriptor.idProduct = product;
    n.descriptor.bcdDevice = 0x0100;
    n.descriptor.bNumConfigurations = 1;
    impl_->devices.push_back(std::move(device));
    return index;
}

int VirtualBus::deviceCount() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(impl_->devices.size());
}

std::shared_ptr<Peer> VirtualBus::peer(int device) const {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return nullptr;
    return impl_->devices[static_cast<std::size_t>(device)]->peer;
}

void VirtualBus::unplug(int device) {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return;
    Device& d = *impl_->devices[static_cast<std::size_t>(device)];
    d.plugged = false;
    d.claimant = nullptr;
    d.inQueue.clear();
    d.latePending = false;
    impl_->changed.notify_all();
}

void VirtualBus::replug(int device) {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return;
    Device& d = *impl_->devices[static_cast<std::size_t>(device)];
    if (d.plugged) return;
    d.plugged = true;
    ++d.plugGeneration;  // handles from before the unplug stay dead
}

bool VirtualBus::plugged(int device) const {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return false;
    return impl_->devices[static_cast<std::size_t>(device)]->plugged;
}

bool VirtualBus::claimed(int device) const {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return false;
    return impl_->devices[static_cast<std::size_t>(device)]->claimant != nullptr;
}

int VirtualBus::pendingAnswers(int device) const {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->devices.size())) return 0;
    const Device& d = *impl_->devices[static_cast<std::size_t>(device)];
    return d.inQueue.size() + (d.latePending ? 1 : 0);
}

int VirtualBus::openHandles() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->handles;
}

int VirtualBus::deviceOf(const usb_dev_handle* handle) const {
    std::lock_guard lock(impl_->mutex);
    if (handle == nullptr || handle->resetGeneration != impl_->resetGeneration) return -1;
    return handle->device;
}

void VirtualBus::setTimeScale(double scale) {
    std::lock_guard lock(impl_->mutex);
    impl_->timeScale = scale < 0 ? 0 : scale;
}

void VirtualBus::setLatency(double seconds) { impl_->latency = seconds > 0 ? seconds : 0.0; }

void VirtualBus::clearLog() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

long long VirtualBus::callCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log.count();
}

bool VirtualBus::call(long long i, CallRecord* out) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log.at(i, out);
}

}  // namespace korvel::sim

// ----------------------------------------------------------- the libusb-0.1 API

using korvel::sim::CallRecord;
using korvel::sim::Device;
using korvel::sim::Reply;
using korvel::sim::VirtualBus;

namespace {

constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;

VirtualBus::Impl& bus() { return VirtualBus::instance().state(); }

int indexOf(const struct usb_device* node) {
    auto& b = bus();
    for (std::size_t i = 0; i < b.devices.size(); ++i)
        if (&b.devices[i]->node == node) return static_cast<int>(i);
    return -1;
}

}  // namespace

void usb_init(void) {
    std::lock_guard lock(bus().mutex);
    bus().record(CallRecord::Init, -1, 0, 0, 0);
}

void usb_set_debug(int level) {
    std::lock_guard lock(bus().mutex);
    bus().record(CallRecord::SetDebug, -1, level, 0, 0);
}

int usb_find_busses(void) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    usb_busses = &b.bus;
    b.record(CallRecord::FindBusses, -1, 0, 0, 1);
    return 1;
}

int usb_find_devices(void) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    struct usb_device* head = nullptr;
    struct usb_device* tail = nullptr;
    int changes = 0;
    for (auto& d : b.devices) {
        if (d->plugged != d->listed) ++changes;
        d->listed = d->plugged;
        d->node.next = d->node.prev = nullptr;
        if (!d->plugged) continue;
        if (tail == nullptr) {
            head = &d->node;
        } else {
            tail->next = &d->node;
            d->node.prev = tail;
        }
        tail = &d->node;
    }
    b.bus.devices = head;
    b.record(CallRecord::FindDevices, -1, 0, 0, changes);
    return changes;
}

struct usb_bus* usb_get_busses(void) {
    std::lock_guard lock(bus().mutex);
    bus().record(CallRecord::GetBusses, -1, 0, 0, 0);
    return usb_busses;
}

usb_dev_handle* usb_open(struct usb_device* dev) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    const int index = indexOf(dev);
    Device* d = index < 0 ? nullptr : b.devices[static_cast<std::size_t>(index)].get();
    if (d == nullptr || !d->plugged || (d->peer && d->peer->failOpen)) {
        b.record(CallRecord::Open, index, 0, 0, 0);
        return nullptr;
    }
    auto* h = new usb_dev_handle{index, d->plugGeneration, b.resetGeneration, false};
    ++b.handles;
    b.record(CallRecord::Open, index, 0, 0, 1);
    return h;
}

int usb_close(usb_dev_handle* h) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    if (h == nullptr) return -EINVAL;
    if (Device* d = b.live(h); d != nullptr && d->claimant == h) d->claimant = nullptr;
    b.record(CallRecord::Close, h->device, 0, 0, 0);
    delete h;
    --b.handles;
    return 0;
}

int usb_set_configuration(usb_dev_handle* h, int configuration) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    const int result = b.live(h) == nullptr ? -ENODEV : (configuration == 1 ? 0 : -EINVAL);
    b.record(CallRecord::SetConfiguration, h ? h->device : -1, configuration, 0, result);
    return result;
}

int usb_claim_interface(usb_dev_handle* h, int interface) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    Device* d = b.live(h);
    int result = 0;
    if (d == nullptr) {
        result = -ENODEV;
    } else if (interface != 0) {
        result = -EINVAL;
    } else if ((d->claimant != nullptr && d->claimant != h) || (d->peer && d->peer->refuseClaim)) {
        result = -EBUSY;
    } else {
        d->claimant = h;
        h->claimed = true;
    }
    b.record(CallRecord::ClaimInterface, h ? h->device : -1, interface, 0, result);
    return result;
}

int usb_release_interface(usb_dev_handle* h, int interface) {
    std::lock_guard lock(bus().mutex);
    auto& b = bus();
    Device* d = b.live(h);
    int result = 0;
    if (d == nullptr) {
        result = -ENODEV;
    } else if (interface != 0 || d->claimant != h) {
        result = -EINVAL;
    } else {
        d->claimant = nullptr;
        h->claimed = false;
    }
    b.record(CallRecord::ReleaseInterface, h ? h->device : -1, interface, 0, result);
    return result;
}

int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout) {
    // The round trip of the exchange this request starts, spent before the
    // bus is locked so other devices go on meanwhile. Like USB frames, the
    // cable ticks once per latency: the exchange ends on the first tick at
    // least half a latency away (on average one latency), so a program reading
    // in a loop gets exactly one exchange per tick whatever its own work
    // (up to half a tick) and however late the sleep wakes.
    if (const double latency = bus().latency; latency > 0) {
        using Clock = std::chrono::steady_clock;
        const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
        const double tick = std::ceil((now + latency / 2) / latency) * latency;
        std::this_thread::sleep_until(
            Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tick))));
    }
    std::unique_lock lock(bus().mutex);
    auto& b = bus();
    Device* d = b.live(h);
    int result = size;
    if (d == nullptr) {
        result = -ENODEV;
    } else if (ep != kEndpointOut || d->claimant != h || bytes == nullptr || size <= 0) {
        result = -EINVAL;
    } else if (!d->peer) {
        result = b.waitTimeout(lock, h, timeout) ? -ETIMEDOUT : -ENODEV;  // nothing takes it
    } else {
        Reply reply;
        const int length = size > 64 ? 64 : size;
        if (!d->peer->receive(reinterpret_cast<const std::uint8_t*>(bytes), length, &reply)) {
            result = b.waitTimeout(lock, h, timeout) ? -ETIMEDOUT : -ENODEV;
        } else if (reply.delivery == korvel::sim::Delivery::Now) {
            d->inQueue.put(reply);
        } else if (reply.delivery == korvel::sim::Delivery::Late) {
            d->late = reply;
            d->latePending = true;
        }
    }
    b.record(CallRecord::BulkWrite, h ? h->device : -1, ep, timeout, result, bytes,
             result > 0 ? size : 0);
    return result;
}

int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    std::unique_lock lock(bus().mutex);
    auto& b = bus();
    Device* d = b.live(h);
    int result = 0;
    if (d == nullptr) {
        result = -ENODEV;
    } else if (ep != kEndpointIn || d->claimant != h || bytes == nullptr || size <= 0) {
        result = -EINVAL;
    } else if (!d->inQueue.empty()) {
        const Reply reply = d->inQueue.take();
        result = reply.length < size ? reply.length : size;
        std::memcpy(bytes, reply.bytes, static_cast<std::size_t>(result));
    } else if (!b.waitTimeout(lock, h, timeout)) {
        result = -ENODEV;
    } else {
        // The read timed out; a late answer lands just after, for the next read.
        d = b.live(h);
        if (d != nullptr && d->latePending) {
            d->inQueue.put(d->late);
            d->latePending = false;
        }
        result = -ETIMEDOUT;
    }
    b.record(CallRecord::BulkRead, h ? h->device : -1, ep, timeout, result, bytes,
             result > 0 ? result : 0);
    return result;
}
