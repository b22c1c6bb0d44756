#include "sim/usbfs/usbfs_cable.h"

#include "sim/answer_ring.h"

// <sys/ioctl.h> first: the usbfs header builds its request numbers with it.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <dlfcn.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace korvel::sim {
namespace {

constexpr int kBus = 1;
constexpr unsigned kConfiguration = 1;
constexpr unsigned kInterface = 0;
constexpr unsigned char kEndpointOut = 0x01;
constexpr unsigned char kEndpointIn = 0x81;
constexpr int kPacket = 64;  // bulk max packet size; also all a Peer ever sends or takes
constexpr char kPreloadName[] = "libumockdev-preload";
constexpr char kPreloadLibrary[] = "libumockdev-preload.so.0";

// Device numbers are handed out process-wide and not reused soon: libusb-0.1
// keeps its device list across testbeds and matches devices by file name, so
// a reused name could carry an earlier device's descriptor.
std::atomic<unsigned> devnumCounter{0};
int takeDevnum() { return 2 + static_cast<int>(devnumCounter.fetch_add(1) % 126U); }  // 2..127

// A URB the host submitted: our copies of its header and buffer, which
// umockdev writes back to the host when the URB is reaped.
struct Urb {
    UMockdevIoctlData* header = nullptr;  // owned reference
    UMockdevIoctlData* buffer = nullptr;  // owned reference; null for no data
    unsigned long address = 0;            // where the host keeps the URB
    bool in = false;
};

void dropUrb(Urb& urb) {
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

}  // namespace

struct UsbfsCable::State {
    std::mutex mutex;
    UMockdevTestbed* testbed = nullptr;  // used by the owner's thread only
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::unique_ptr<Connection>> connections;
    bool closing = false;
    std::string root;  // the testbed's directory
    std::atomic<std::uint64_t> unplugRequests{0};  // bit per device, from Peers

    UsbfsEvent log[kLogCapacity];
    long long logged = 0;

    Device* device(int index) {
        if (index < 0 || index >= static_cast<int>(devices.size())) return nullptr;
        return devices[static_cast<std::size_t>(index)].get();
    }

    void record(UsbfsEvent::Kind kind, int dev, int argument, int result, const std::uint8_t* data = nullptr,
                int length = 0) {
        UsbfsEvent& e = log[logged % kLogCapacity];
        e = UsbfsEvent{};
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
        ++logged;
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

namespace {

using State = UsbfsCable::State;

// What a node's handler knows: the cable, the device and which plug of it.
struct Binding {
    std::shared_ptr<State> state;
    int device;
    unsigned generation;
};

void freeBinding(gpointer data, GClosure*) { delete static_cast<Binding*>(data); }

UMockdevIoctlData* resolveArg(UMockdevIoctlClient* client, gsize size) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (error != nullptr) g_error_free(error);
    return data;
}

// The value behind a pointer argument (configuration or interface number).
bool readUnsigned(UMockdevIoctlClient* client, unsigned* value) {
    UMockdevIoctlData* data = resolveArg(client, sizeof(unsigned));
    if (data == nullptr) return false;
    std::memcpy(value, data->data, sizeof *value);
    g_object_unref(data);
    return true;
}

void fail(UMockdevIoctlClient* client, int error) { umockdev_ioctl_client_complete(client, -1, error); }
void succeed(UMockdevIoctlClient* client) { umockdev_ioctl_client_complete(client, 0, 0); }

void submit(State& s, Connection& c, Device& d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* header = resolveArg(client, sizeof(usbdevfs_urb));
    if (header == nullptr) return fail(client, EFAULT);
    usbdevfs_urb fields;
    std::memcpy(&fields, header->data, sizeof fields);
    int error = 0;
    if (fields.type != USBDEVFS_URB_TYPE_BULK || fields.buffer_length < 0)
        error = EINVAL;
    else if (fields.endpoint != kEndpointOut && fields.endpoint != kEndpointIn)
        error = ENOENT;
    else
        error = s.claim(d, client);
    Urb urb;
    urb.header = header;
    urb.in = fields.endpoint == kEndpointIn;
    urb.address = header->client_addr;
    if (error == 0 && fields.buffer_length > 0) {
        // Only the first packet matters to the meter; never more is read or written.
        const gsize span = static_cast<gsize>(fields.buffer_length > kPacket ? kPacket : fields.buffer_length);
        GError* problem = nullptr;
        urb.buffer = umockdev_ioctl_data_resolve(header, offsetof(usbdevfs_urb, buffer), span, &problem);
        if (problem != nullptr) g_error_free(problem);
        if (urb.buffer == nullptr) error = EFAULT;
    }
    if (error != 0) {
        dropUrb(urb);
        return fail(client, error);
    }

    if (urb.in) {
        if (!d.answers.empty())
            s.deliver(c, urb, d.answers.take());
        else
            c.pending.push_back(urb);  // the meter has nothing to say (yet)
        return succeed(client);
    }

    std::uint8_t request[kPacket] = {};
    const int length = urb.buffer != nullptr ? urb.buffer->data_len : 0;
    if (length > 0) std::memcpy(request, urb.buffer->data, static_cast<std::size_t>(length));
    if (!d.peer) {
        s.record(UsbfsEvent::Out, c.device, kEndpointOut, -EINPROGRESS, request, length);
        c.pending.push_back(urb);  // nothing takes it: the write times out
        return succeed(client);
    }
    Reply reply;
    if (!d.peer->receive(request, length, &reply)) {
        s.record(UsbfsEvent::Out, c.device, kEndpointOut, -EPIPE, request, length);
        s.finish(c, urb, -EPIPE, nullptr, 0);
        s.takeUnplugRequests();
        return succeed(client);
    }
    s.record(UsbfsEvent::Out, c.device, kEndpointOut, 0, request, length);
    s.finish(c, urb, 0, nullptr, fields.buffer_length);
    s.takeUnplugRequests();
    if (!s.live(c)) return succeed(client);  // pulled with the request in flight: no answer
    if (reply.delivery == Delivery::Now) {
        d.answers.put(reply);
        s.serveIn(c.device);
    } else if (reply.delivery == Delivery::Late) {
        d.late = reply;
        d.latePending = true;
    }
    succeed(client);
}

void discard(State& s, Connection& c, Device* d, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long address = 0;
    if (arg->data_len >= static_cast<int>(sizeof address)) std::memcpy(&address, arg->data, sizeof address);
    for (std::size_t i = c.pending.size(); i-- > 0;) {
        if (c.pending[i].address != address) continue;
        const Urb urb = c.pending[i];
        c.pending.erase(c.pending.begin() + static_cast<std::ptrdiff_t>(i));
        s.finish(c, urb, -ECONNRESET, nullptr, 0);
        // A meter that answers late does so just after the host gave up.
        if (urb.in && d != nullptr && s.live(c) && d->latePending) {
            d->latePending = false;
            d->answers.put(d->late);
        }
        return succeed(client);
    }
    fail(client, EINVAL);
}

void reap(State& s, Connection& c, UMockdevIoctlClient* client, bool wait) {
    if (c.completed.empty()) {
        if (!s.live(c)) return fail(client, ENODEV);
        // A blocking reap with nothing in flight would wait forever in the
        // kernel; here it reports "nothing" so a test can never hang on it.
        if (!wait || c.pending.empty() || c.reapSlot != nullptr) return fail(client, EAGAIN);
        c.reapSlot = resolveArg(client, sizeof(void*));
        if (c.reapSlot == nullptr) fail(client, EFAULT);
        return;  // completed when one of its URBs finishes
    }
    UMockdevIoctlData* slot = resolveArg(client, sizeof(void*));
    if (slot == nullptr) return fail(client, EFAULT);
    s.handOut(c, slot);
    g_object_unref(slot);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    const auto* binding = static_cast<const Binding*>(data);
    State& s = *binding->state;
    std::lock_guard lock(s.mutex);
    if (s.closing) {
        fail(client, ENODEV);
        return TRUE;
    }
    s.takeUnplugRequests();
    s.purgeClosed();
    Connection& c = s.connectionFor(client, binding->device, binding->generation);
    Device* d = s.device(c.device);
    const bool live = s.live(c);
    const unsigned request = static_cast<unsigned>(umockdev_ioctl_client_get_request(client));

    switch (request) {
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(s, c, client, request == USBDEVFS_REAPURB);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        discard(s, c, d, client);
        return TRUE;
    default:
        break;
    }
    if (!live) {
        fail(client, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* info = resolveArg(client, sizeof(usbdevfs_connectinfo));
        if (info == nullptr) {
            fail(client, EFAULT);
            break;
        }
        usbdevfs_connectinfo value{};
        value.devnum = static_cast<unsigned>(d->devnum);
        std::memcpy(info->data, &value, sizeof value);
        g_object_unref(info);
        succeed(client);
        break;
    }
    case USBDEVFS_SETCONFIGURATION: {
        unsigned configuration = 0;
        if (!readUnsigned(client, &configuration)) {
            fail(client, EFAULT);
            break;
        }
        const int error = configuration == kConfiguration ? 0 : EINVAL;
        s.record(UsbfsEvent::SetConfiguration, c.device, static_cast<int>(configuration), -error);
        if (error != 0) fail(client, error); else succeed(client);
        break;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned interface = 0;
        if (!readUnsigned(client, &interface)) {
            fail(client, EFAULT);
            break;
        }
        int error = 0;
        if (request == USBDEVFS_CLAIMINTERFACE) {
            error = interface != kInterface ? ENOENT : s.claim(*d, client);
        } else if (interface != kInterface || d->claimant != client) {
            error = EINVAL;
        } else {
            d->claimant = nullptr;
        }
        s.record(request == USBDEVFS_CLAIMINTERFACE ? UsbfsEvent::ClaimInterface : UsbfsEvent::ReleaseInterface,
                 c.device, static_cast<int>(interface), -error);
        if (error != 0) fail(client, error); else succeed(client);
        break;
    }
    case USBDEVFS_SUBMITURB:
        submit(s, c, *d, client);
        break;
    case USBDEVFS_IOCTL:  // libusb-0.1 asks every device for hub port details
        fail(client, ENOSYS);
        break;
    default:
        fail(client, ENOTTY);
        break;
    }
    return TRUE;
}

void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    const auto* binding = static_cast<const Binding*>(data);
    State& s = *binding->state;
    std::lock_guard lock(s.mutex);
    if (s.closing) return;
    s.purgeClosed();
    s.connectionFor(client, binding->device, binding->generation);
}

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";  // umockdev reads upper case only
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
}

// Device descriptor, then configuration 1 with interface 0 and its two bulk
// endpoints: what libusb-0.1 reads from the node.
std::string descriptorHex(std::uint16_t vendor, std::uint16_t product) {
    const auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto hi = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
    const std::uint8_t bytes[] = {
        // device
        18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64, lo(vendor), hi(vendor), lo(product), hi(product),
        0x00, 0x01, 1, 2, 3, 1,
        // configuration 1: 32 bytes in all, one interface, bus powered, 100 mA
        9, 0x02, 32, 0, 1, kConfiguration, 0, 0x80, 50,
        // interface 0, two endpoints, vendor specific
        9, 0x04, kInterface, 0, 2, 0xFF, 0x00, 0x00, 0,
        // bulk OUT 0x01 and bulk IN 0x81, 64 bytes
        7, 0x05, kEndpointOut, 0x02, kPacket, 0, 0,
        7, 0x05, kEndpointIn, 0x02, kPacket, 0, 0,
    };
    std::string hex;
    appendHex(hex, bytes, sizeof bytes);
    return hex;
}

}  // namespace

namespace {

// Whether the preload was asked for. Deciding the restart by this (and not by
// whether it loaded) means a preload that fails to load cannot loop.
bool preloadRequested() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, kPreloadName) != nullptr;
}

}  // namespace

bool usbfsPreloadLoaded() {
    if (!preloadRequested()) return false;
    void* self = dlopen(kPreloadLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (self == nullptr) return false;
    dlclose(self);
    return true;
}

bool reexecWithUsbfsPreload(char** argv) {
    if (preloadRequested()) return true;
    std::string preload = kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // The preload comes before the sanitizer runtime; tell it that is fine.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    return false;
}

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
    // Bus 001's root hub. It keeps /dev/bus/usb/001 in place when the last
    // meter goes: libusb-0.1 drops a vanished bus without freeing the
    // devices it still lists.
    const std::uint8_t hub[] = {
        18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0x6B, 0x1D, 0x02, 0x00, 0x06, 0x06, 3, 2, 1, 1,
        9, 0x02, 25, 0, 1, 1, 0, 0xE0, 0,
        9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
        7, 0x05, 0x81, 0x03, 4, 0, 12,
    };
    std::string hex;
    appendHex(hex, hub, sizeof hub);
    const std::string record =
        "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
        "N: bus/usb/001/001=" + hex + "\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/001\n"
        "E: BUSNUM=001\nE: DEVNUM=001\n"
        "A: idVendor=1d6b\nA: idProduct=0002\nA: bDeviceClass=09\nA: busnum=1\nA: devnum=1\nA: dev=189:0\n"
        "H: descriptors=" + hex + "\n";
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
    const std::string hex = descriptorHex(vendor, product);
    char head[1024];
    std::snprintf(head, sizeof head,
                  "P: %s\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                  "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/100\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\nA: busnum=%d\nA: devnum=%d\n"
                  "A: bConfigurationValue=%u\nA: bNumConfigurations=1\nA: speed=12\nA: dev=189:%d\n",
                  syspath, node, kBus, devnum, vendor, product, vendor, product, kBus, devnum, kConfiguration,
                  (kBus - 1) * 128 + devnum - 1);
    const std::string record = std::string(head) + "N: " + (node + 5) + "=" + hex + "\nH: descriptors=" + hex + "\n";

    GError* problem = nullptr;
    if (!umockdev_testbed_add_from_string(state_->testbed, record.c_str(), &problem)) {
        error_ = std::string("umockdev refused the device: ") + (problem != nullptr ? problem->message : "?");
        if (problem != nullptr) g_error_free(problem);
        return false;
    }
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(onIoctl), new Binding{state_, index, generation},
                          freeBinding, GConnectFlags{});
    g_signal_connect_data(handler, "client-connected", G_CALLBACK(onConnected),
                          new Binding{state_, index, generation}, freeBinding, GConnectFlags{});
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
    state_->logged = 0;
}

long long UsbfsCable::eventCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->logged;
}

bool UsbfsCable::event(long long i, UsbfsEvent* out) const {
    std::lock_guard lock(state_->mutex);
    if (i < 0 || i >= state_->logged || i < state_->logged - kLogCapacity) return false;
    *out = state_->log[i % kLogCapacity];
    return true;
}

}  // namespace korvel::sim
