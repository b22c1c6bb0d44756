// The emulated-usbfs cable: devices plugged into a umockdev testbed and
// taken out again. The ioctls on their nodes are answered in usbfs_ioctl.cpp.
#include "sim/usbfs/usbfs_cable.h"

#include "sim/usbfs/usbfs_records.h"
#include "sim/usbfs/usbfs_state.h"

#include <atomic>
#include <cstdio>

namespace korvel::sim {
namespace {

// Device numbers are handed out process-wide and not reused soon: libusb-0.1
// keeps its device list across testbeds and matches devices by file name, so
// a reused name could carry an earlier device's descriptor.
std::atomic<unsigned> devnumCounter{0};
int takeDevnum() { return 2 + static_cast<int>(devnumCounter.fetch_add(1) % 126U); }  // 2..127

}  // namespace

UsbfsCable::UsbfsCable() : state_(std::make_shared<State>()) {
    if (!usbfsPreloadLoaded()) {
        error_ = std::string(kPreloadLibrary) + " is not loaded: start the program through umockdev-wrapper";
        return;
    }
    state_->testbed = umockdev_testbed_new();
    if (state_->testbed == nullptr) {
        error_ = "umockdev could not create a testbed";
        return;
    }
    state_->root = root();
    const std::string record = rootHubRecord();
    GError* problem = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, record.c_str(), &problem)) {
        error_ = std::string("umockdev refused the root hub: ") + (problem != nullptr ? problem->message : "?");
        if (problem != nullptr) g_error_free(problem);
    }
}

UsbfsCable::~UsbfsCable() {
    std::vector<UMockdevIoctlBase*> handlers;
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        for (auto& c : state_->connections) {
            if (c->reapSlot != nullptr) umockdev_ioctl_client_complete(c->client, -1, ENODEV);
            state_->forget(*c);
        }
        state_->connections.clear();
        for (auto& d : state_->devices) {
            handlers.insert(handlers.end(), d->handlers.begin(), d->handlers.end());
            d->handlers.clear();
        }
    }
    if (state_->testbed != nullptr) g_object_unref(state_->testbed);
    for (UMockdevIoctlBase* h : handlers) g_object_unref(h);
}

std::string UsbfsCable::root() const {
    if (state_->testbed == nullptr) return {};
    gchar* dir = umockdev_testbed_get_root_dir(state_->testbed);
    std::string out = dir != nullptr ? dir : "";
    g_free(dir);
    return out;
}

int UsbfsCable::attach(std::shared_ptr<Peer> peer, std::uint16_t vendor, std::uint16_t product) {
    if (!error_.empty()) return -1;
    int index = 0;
    {
        std::lock_guard lock(state_->mutex);
        auto d = std::make_unique<Device>();
        d->peer = std::move(peer);
        d->vendor = vendor;
        d->product = product;
        index = static_cast<int>(state_->devices.size());
        state_->devices.push_back(std::move(d));
    }
    return plugNode(index) ? index : -1;
}

// Creates the device's node (a new device number) and starts answering it.
bool UsbfsCable::plugNode(int index) {
    unsigned generation = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    {
        std::lock_guard lock(state_->mutex);
        Device* d = state_->device(index);
        generation = d->generation;
        vendor = d->vendor;
        product = d->product;
    }
    const int devnum = takeDevnum();
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", kBus, devnum);
    char syspath[128];
    std::snprintf(syspath, sizeof syspath, "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", kBus, kBus, index + 1);
    const std::string record = deviceRecord(syspath, node, devnum, vendor, product);

    GError* problem = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, record.c_str(), &problem)) {
        error_ = std::string("umockdev refused the device: ") + (problem != nullptr ? problem->message : "?");
        if (problem != nullptr) g_error_free(problem);
        return false;
    }
    UMockdevIoctlBase* handler = newDeviceHandler(state_, index, generation);
    if (!umockdev_testbed_attach_ioctl(state_->testbed, node, handler, &problem)) {
        error_ = std::string("umockdev cannot answer the device: ") + (problem != nullptr ? problem->message : "?");
        if (problem != nullptr) g_error_free(problem);
        g_object_unref(handler);
        return false;
    }
    std::lock_guard lock(state_->mutex);
    Device* d = state_->device(index);
    d->devnum = devnum;
    d->syspath = std::string("/sys") + syspath;
    d->node = node;
    d->listed = true;
    d->plugged = true;
    d->handlers.push_back(handler);
    return true;
}

int UsbfsCable::deviceCount() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<int>(state_->devices.size());
}

std::shared_ptr<Peer> UsbfsCable::peer(int device) const {
    std::lock_guard lock(state_->mutex);
    const Device* d = state_->device(device);
    return d != nullptr ? d->peer : nullptr;
}

void UsbfsCable::unplug(int device) {
    {
        std::lock_guard lock(state_->mutex);
        state_->takeUnplugRequests();
        Device* d = state_->device(device);
        if (d == nullptr || !d->plugged) return;
        state_->unplug(device);
    }
    unlist(device);
}

void UsbfsCable::requestUnplug(int device) {
    if (device >= 0 && device < 64) state_->unplugRequests.fetch_or(std::uint64_t{1} << device);
}

// Removes an unplugged device's sysfs entry and node from the testbed.
void UsbfsCable::unlist(int device) {
    std::string syspath;
    {
        std::lock_guard lock(state_->mutex);
        Device* d = state_->device(device);
        if (d == nullptr || d->plugged || !d->listed) return;
        d->listed = false;
        syspath = d->syspath;
    }
    umockdev_testbed_remove_device(state_->testbed, syspath.c_str());
}

void UsbfsCable::replug(int device) {
    {
        std::lock_guard lock(state_->mutex);
        state_->takeUnplugRequests();
        const Device* d = state_->device(device);
        if (d == nullptr || d->plugged) return;
    }
    unlist(device);
    plugNode(device);
}

bool UsbfsCable::plugged(int device) const {
    std::lock_guard lock(state_->mutex);
    state_->takeUnplugRequests();
    const Device* d = state_->device(device);
    return d != nullptr && d->plugged;
}

int UsbfsCable::devnum(int device) const {
    std::lock_guard lock(state_->mutex);
    const Device* d = state_->device(device);
    return d != nullptr ? d->devnum : -1;
}

bool UsbfsCable::claimed(int device) const {
    std::lock_guard lock(state_->mutex);
    state_->takeUnplugRequests();
    state_->purgeClosed();
    const Device* d = state_->device(device);
    return d != nullptr && d->claimant != nullptr;
}

int UsbfsCable::pendingAnswers(int device) const {
    std::lock_guard lock(state_->mutex);
    state_->takeUnplugRequests();
    const Device* d = state_->device(device);
    return d == nullptr ? 0 : d->answers.size() + (d->latePending ? 1 : 0);
}

int UsbfsCable::openConnections(int device) const {
    std::lock_guard lock(state_->mutex);
    state_->purgeClosed();
    int n = 0;
    for (const auto& c : state_->connections)
        if (c->device == device) ++n;
    return n;
}

void UsbfsCable::clearLog() {
    std::lock_guard lock(state_->mutex);
    state_->log.clear();
}

long long UsbfsCable::eventCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->log.count();
}

bool UsbfsCable::event(long long i, UsbfsEvent* out) const {
    std::lock_guard lock(state_->mutex);
    return state_->log.at(i, out);
}

}  // namespace korvel::sim
