// The usbfs ioctls a device node answers: URBs submitted, discarded and
// reaped, configuration and interface claims, and the connection info that
// libusb-0.1 asks for.
#include "sim/usbfs/usbfs_state.h"

namespace korvel::sim {
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

}  // namespace

UMockdevIoctlBase* newDeviceHandler(std::shared_ptr<UsbfsCable::State> state, int device, unsigned generation) {
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(onIoctl), new Binding{state, device, generation},
                          freeBinding, GConnectFlags{});
    g_signal_connect_data(handler, "client-connected", G_CALLBACK(onConnected),
                          new Binding{std::move(state), device, generation}, freeBinding, GConnectFlags{});
    return handler;
}

}  // namespace korvel::sim
