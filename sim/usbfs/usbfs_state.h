// The emulated-usbfs cable's state, shared by the cable and the ioctl
// handlers of its device nodes: the devices, the host's connections (open
// file descriptors) and their URBs, and how a URB finishes. Every member is
// used with the mutex held.
#pragma once

#include "sim/answer_ring.h"
#include "sim/call_log.h"
#include "sim/usbfs/usbfs_cable.h"
#include "sim/usbfs/usbfs_records.h"

// <sys/ioctl.h> first: the usbfs header builds its request numbers with it.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel::sim {
namespace usbfs {

// A URB the host submitted: our copies of its header and buffer, which
// umockdev writes back to the host when the URB is reaped.
struct Urb {
    UMockdevIoctlData* header = nullptr;  // owned reference
    UMockdevIoctlData* buffer = nullptr;  // owned reference; null for no data
    unsigned long address = 0;            // where the host keeps the URB
    bool in = false;
};

inline void dropUrb(Urb& urb) {
    if (urb.buffer != nullptr) g_object_unref(urb.buffer);
    if (urb.header != nullptr) g_object_unref(urb.header);
    urb.buffer = urb.header = nullptr;
}

// One open file descriptor on a device node.
struct Connection {
    UMockdevIoctlClient* client = nullptr;  // owned reference
    int device = -1;
    unsigned generation = 0;  // the plug of the device the node belonged to
    std::deque<Urb> pending;
    std::deque<Urb> completed;
    UMockdevIoctlData* reapSlot = nullptr;  // a blocking REAPURB waiting here (owned)
};

struct Device {
    std::shared_ptr<Peer> peer;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    int devnum = 0;
    bool plugged = false;
    unsigned generation = 1;  // bumped by every unplug
    UMockdevIoctlClient* claimant = nullptr;
    AnswerRing answers;
    bool latePending = false;
    Reply late;
    std::string syspath;
    std::string node;          // path of its node inside the testbed
    bool listed = false;       // its sysfs entry exists
    std::vector<UMockdevIoctlBase*> handlers;  // one per node this device had (owned)
};

}  // namespace usbfs

using usbfs::Connection;
using usbfs::Device;
using usbfs::Urb;

struct UsbfsCable::State {
    std::mutex mutex;
    UMockdevTestbed* testbed = nullptr;  // used by the owner's thread only
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::unique_ptr<Connection>> connections;
    bool closing = false;
    std::string root;  // the testbed's directory
    std::atomic<std::uint64_t> unplugRequests{0};  // bit per device, from Peers

    CallLog<UsbfsEvent, kLogCapacity> log;

    Device* device(int index) {
        if (index < 0 || index >= static_cast<int>(devices.size())) return nullptr;
        return devices[static_cast<std::size_t>(index)].get();
    }

    void record(UsbfsEvent::Kind kind, int dev, int argument, int result, const std::uint8_t* data = nullptr,
                int length = 0) {
        UsbfsEvent& e = log.append();
        e.kind = kind;
        e.device = dev;
        e.argument = argument;
        e.result = result;
        e.length = length;
        e.timeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
        if (data != nullptr && length > 0)
            std::memcpy(e.data, data, static_cast<std::size_t>(length > kPacket ? kPacket : length));
    }

    // Forgets connections whose descriptor was closed; the kernel releases
    // their claim and drops their URBs on close. (umockdev does not tell us
    // when a client goes, so we look.)
    void purgeClosed() {
        for (std::size_t i = 0; i < connections.size();) {
            Connection& c = *connections[i];
            if (umockdev_ioctl_client_get_connected(c.client)) {
                ++i;
                continue;
            }
            forget(c);
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }

    void forget(Connection& c) {
        if (Device* d = device(c.device); d != nullptr && d->claimant == c.client) d->claimant = nullptr;
        for (Urb& u : c.pending) dropUrb(u);
        for (Urb& u : c.completed) dropUrb(u);
        c.pending.clear();
        c.completed.clear();
        if (c.reapSlot != nullptr) g_object_unref(c.reapSlot);
        c.reapSlot = nullptr;
        g_object_unref(c.client);
        c.client = nullptr;
    }

    Connection* find(UMockdevIoctlClient* client) {
        for (auto& c : connections)
            if (c->client == client) return c.get();
        return nullptr;
    }

    Connection& connectionFor(UMockdevIoctlClient* client, int dev, unsigned generation) {
        if (Connection* c = find(client)) return *c;
        auto c = std::make_unique<Connection>();
        c->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        c->device = dev;
        c->generation = generation;
        connections.push_back(std::move(c));
        return *connections.back();
    }

    bool live(const Connection& c) {
        const Device* d = device(c.device);
        return d != nullptr && d->plugged && d->generation == c.generation && !closing;
    }

    // Finishes a URB: its status, the bytes it carried, and off to the
    // completed list of its connection, where a waiting REAPURB takes it.
    void finish(Connection& c, Urb urb, int status, const std::uint8_t* bytes, int count) {
        auto* header = urb.header->data;
        if (urb.buffer != nullptr && urb.in && count > 0) {
            const int room = urb.buffer->data_len;
            std::memcpy(urb.buffer->data, bytes, static_cast<std::size_t>(count < room ? count : room));
        }
        std::memcpy(header + offsetof(usbdevfs_urb, status), &status, sizeof status);
        std::memcpy(header + offsetof(usbdevfs_urb, actual_length), &count, sizeof count);
        if (urb.in) record(UsbfsEvent::In, c.device, kEndpointIn, status, bytes, count);
        c.completed.push_back(urb);
        if (c.reapSlot != nullptr) {
            UMockdevIoctlData* slot = c.reapSlot;
            c.reapSlot = nullptr;
            handOut(c, slot);
            g_object_unref(slot);
        }
    }

    // Completes the host's REAPURB with the oldest finished URB.
    void handOut(Connection& c, UMockdevIoctlData* slot) {
        Urb urb = c.completed.front();
        c.completed.pop_front();
        umockdev_ioctl_data_set_ptr(slot, 0, urb.header);
        umockdev_ioctl_client_complete(c.client, 0, 0);
        dropUrb(urb);  // the slot holds the header until umockdev has written it back
    }

    // Gives waiting answers to pending IN URBs of a device.
    void serveIn(int dev) {
        Device* d = device(dev);
        for (auto& c : connections) {
            if (c->device != dev || !live(*c)) continue;
            for (std::size_t i = 0; i < c->pending.size() && !d->answers.empty();) {
                if (!c->pending[i].in) {
                    ++i;
                    continue;
                }
                const Urb urb = c->pending[i];
                c->pending.erase(c->pending.begin() + static_cast<std::ptrdiff_t>(i));
                deliver(*c, urb, d->answers.take());
            }
        }
    }

    void deliver(Connection& c, Urb urb, const Reply& reply) {
        int count = reply.length < 0 ? 0 : (reply.length > kPacket ? kPacket : reply.length);
        const int asked = urb.buffer != nullptr ? urb.buffer->data_len : 0;
        if (count > asked) count = asked;  // a real device would overflow; ours never sends more than asked
        finish(c, urb, 0, reply.bytes, count);
    }

    // Interface 0 for this connection: taken if free (usbfs claims it
    // implicitly on the first transfer), refused if held elsewhere.
    int claim(Device& d, UMockdevIoctlClient* client) {
        if (d.claimant == client) return 0;
        if (d.claimant != nullptr || (d.peer && d.peer->refuseClaim)) return EBUSY;
        d.claimant = client;
        return 0;
    }

    // Carries out unplugs that Peers asked for. The device's node goes at
    // once (libusb must not list it); its sysfs entry goes with the next
    // replug, on the owner's thread.
    void takeUnplugRequests() {
        std::uint64_t bits = unplugRequests.exchange(0);
        for (int dev = 0; bits != 0; ++dev, bits >>= 1) {
            Device* d = device(dev);
            if ((bits & 1U) == 0 || d == nullptr || !d->plugged) continue;
            unplug(dev);
            ::unlink((root + d->node).c_str());
        }
    }

    void unplug(int dev) {
        Device* d = device(dev);
        d->plugged = false;
        ++d->generation;
        d->claimant = nullptr;
        d->answers.clear();
        d->latePending = false;
        for (auto& c : connections) {
            if (c->device != dev) continue;
            while (!c->pending.empty()) {
                const Urb urb = c->pending.front();
                c->pending.pop_front();
                finish(*c, urb, -ESHUTDOWN, nullptr, 0);
            }
        }
    }
};

// A handler that answers the ioctls on one node of a device, for the plug
// of it that `generation` names. The caller owns the returned reference.
UMockdevIoctlBase* newDeviceHandler(std::shared_ptr<UsbfsCable::State> state, int device, unsigned generation);

}  // namespace korvel::sim
