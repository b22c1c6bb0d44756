// The emulated-usbfs cable seen through Debian's libusb-0.1 directly: what
// the library will meet (enumeration, claims, short packets, -110 on a
// timeout, ENODEV after an unplug), with timeouts short enough to be cheap.
#include <usb.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "tests/usbfs/usbfs_fixture.h"

namespace korvel::test {
namespace {

using sim::Delivery;
using sim::UsbfsEvent;

constexpr int kShortTimeoutMs = 50;

// Rescans the bus and returns the device listed under /dev/bus/usb/001/NNN.
struct usb_device* rescanFor(int devnum) {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    char name[8];
    std::snprintf(name, sizeof name, "%03d", devnum);
    for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* d = bus->devices; d != nullptr; d = d->next)
            if (std::strcmp(d->filename, name) == 0) return d;
    return nullptr;
}

// An open, claimed device that closes itself.
class Link {
public:
    explicit Link(int devnum, bool claim = true) {
        struct usb_device* d = rescanFor(devnum);
        if (d == nullptr) return;
        handle_ = usb_open(d);
        if (handle_ != nullptr && claim) claimResult_ = usb_claim_interface(handle_, 0);
    }
    ~Link() { close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void close() {
        if (handle_ != nullptr) usb_close(handle_);
        handle_ = nullptr;
    }
    usb_dev_handle* get() const { return handle_; }
    int claimResult() const { return claimResult_; }
    int write(const std::uint8_t* bytes, int length = 60, int timeout = 500) {
        return usb_bulk_write(handle_, 0x01, const_cast<char*>(reinterpret_cast<const char*>(bytes)), length,
                              timeout);
    }
    int read(std::uint8_t* bytes, int timeout = kShortTimeoutMs) {
        return usb_bulk_read(handle_, 0x81, reinterpret_cast<char*>(bytes), 60, timeout);
    }

private:
    usb_dev_handle* handle_ = nullptr;
    int claimResult_ = -1;
};

// GetRange, as the library sends it.
const std::uint8_t kRequest[60] = {0x01, 0x2B, 0x1A, 0x00, 0xB0, 0x7A};

class CableTest : public UsbfsTest {};

TEST_F(CableTest, ListsEveryDeviceWithItsDescriptors) {
    int meter = -1;
    attachScripted(&meter);
    const int other = cable->attach(nullptr, 0x1234, 0x5678);
    ASSERT_GE(other, 0);

    struct Expect {
        int device;
        unsigned vendor, product;
    } const cases[] = {{meter, wire::kVendorId, wire::kProductId}, {other, 0x1234, 0x5678}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        struct usb_device* d = rescanFor(cable->devnum(c.device));
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->descriptor.idVendor, c.vendor);
        EXPECT_EQ(d->descriptor.idProduct, c.product);
        EXPECT_EQ(d->devnum, cable->devnum(c.device));
        ASSERT_EQ(d->descriptor.bNumConfigurations, 1);
        ASSERT_NE(d->config, nullptr);
        EXPECT_EQ(d->config[0].bConfigurationValue, 1);
        ASSERT_EQ(d->config[0].bNumInterfaces, 1);
        const usb_interface_descriptor& alt = d->config[0].interface[0].altsetting[0];
        EXPECT_EQ(alt.bInterfaceNumber, 0);
        ASSERT_EQ(alt.bNumEndpoints, 2);
        EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
        EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
        for (int e = 0; e < 2; ++e) {
            EXPECT_EQ(alt.endpoint[e].bmAttributes, USB_ENDPOINT_TYPE_BULK);
            EXPECT_EQ(alt.endpoint[e].wMaxPacketSize, 64);
        }
    }
}

// One write and one read per case, the answer scripted.
TEST_F(CableTest, TransfersAsTheKernelReportsThem) {
    struct Case {
        const char* name;
        void (*script)(ScriptedPeer&);
        int written;
        int read;  // bytes, or -errno
    } const cases[] = {
        {"full frame", [](ScriptedPeer& p) { p.answerRaw("01 2B 1A 01 02 B2 B1", 60); }, 60, 60},
        {"short packet", [](ScriptedPeer& p) { p.answerRaw("01 2B 1A 01 02 B2 B1", 7); }, 60, 7},
        {"one byte", [](ScriptedPeer& p) { p.answerRaw("01", 1); }, 60, 1},
        {"silent meter", [](ScriptedPeer& p) { p.silence(); }, 60, -ETIMEDOUT},
        // libusb-0.1 reports a failed URB as 0 bytes moved, and a read
        // after a refused write finds nothing.
        {"refused write", [](ScriptedPeer& p) { p.refuseWrite(); }, 0, -ETIMEDOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int index = -1;
        auto peer = attachScripted(&index);
        c.script(*peer);
        Link link(cable->devnum(index));
        ASSERT_EQ(link.claimResult(), 0);
        cable->clearLog();

        EXPECT_EQ(link.write(kRequest), c.written);
        ASSERT_EQ(peer->requestCount(), 1);
        EXPECT_EQ(peer->request(0), hex(kRequest, 60));

        std::uint8_t in[60] = {};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(link.read(in), c.read);
        if (c.read > 0) {
            std::uint8_t expected[64] = {};
            parseHex("01 2B 1A 01 02 B2 B1", expected, 64);
            EXPECT_EQ(hex(in, c.read), hex(expected, c.read));
        } else {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kShortTimeoutMs));
        }
        // What the cable saw: the request as written, then the IN URB's fate
        // (a timed-out read is discarded: -ECONNRESET).
        const auto outs = eventsOf(UsbfsEvent::Out);
        ASSERT_EQ(outs.size(), 1U);
        EXPECT_EQ(hex(outs[0].data, outs[0].length), hex(kRequest, 60));
        const auto ins = eventsOf(UsbfsEvent::In);
        ASSERT_EQ(ins.size(), 1U);
        EXPECT_EQ(ins[0].result, c.read > 0 ? 0 : -ECONNRESET);
        EXPECT_EQ(ins[0].length, c.read > 0 ? c.read : 0);
    }
}

TEST_F(CableTest, LateAnswerWaitsForTheNextRead) {
    int index = -1;
    auto peer = attachScripted(&index);
    peer->answerRaw("01 2B 1A 01 02 B2 B1", 60, Delivery::Late);
    Link link(cable->devnum(index));
    ASSERT_EQ(link.claimResult(), 0);
    ASSERT_EQ(link.write(kRequest), 60);
    EXPECT_EQ(cable->pendingAnswers(index), 1);

    std::uint8_t in[60] = {};
    EXPECT_EQ(link.read(in), -ETIMEDOUT);
    EXPECT_EQ(link.read(in), 60);  // the stale answer, without a new request
    EXPECT_EQ(in[4], 0x02);
    EXPECT_EQ(peer->requestCount(), 1);
    EXPECT_EQ(link.read(in), -ETIMEDOUT);
    EXPECT_EQ(cable->pendingAnswers(index), 0);
}

TEST_F(CableTest, LateAnswerSurvivesClosingTheDevice) {
    int index = -1;
    auto peer = attachScripted(&index);
    peer->answerRaw("01 2B 1A 01 02 B2 B1", 60, Delivery::Late);
    {
        Link first(cable->devnum(index));
        ASSERT_EQ(first.write(kRequest), 60);
        std::uint8_t in[60];
        EXPECT_EQ(first.read(in), -ETIMEDOUT);
    }
    Link second(cable->devnum(index));
    ASSERT_EQ(second.claimResult(), 0);
    std::uint8_t in[60] = {};
    EXPECT_EQ(second.read(in), 60);
    EXPECT_EQ(in[4], 0x02);
}

TEST_F(CableTest, ClaimIsExclusiveAndEndsWithReleaseOrClose) {
    int index = -1;
    auto peer = attachScripted(&index);
    const int devnum = cable->devnum(index);

    peer->refuseClaim = true;
    {
        Link refused(devnum);
        EXPECT_EQ(refused.claimResult(), -EBUSY);
        // usbfs would claim implicitly on a transfer: refused just as well.
        EXPECT_EQ(refused.write(kRequest), -EBUSY);
        EXPECT_FALSE(cable->claimed(index));
    }
    peer->refuseClaim = false;

    Link holder(devnum);
    ASSERT_EQ(holder.claimResult(), 0);
    EXPECT_TRUE(cable->claimed(index));
    {
        Link second(devnum);
        EXPECT_EQ(second.claimResult(), -EBUSY);
    }
    ASSERT_EQ(usb_release_interface(holder.get(), 0), 0);
    EXPECT_FALSE(cable->claimed(index));
    EXPECT_EQ(usb_release_interface(holder.get(), 0), -EINVAL);  // not held any more
    ASSERT_EQ(usb_claim_interface(holder.get(), 0), 0);

    // Closing without a release frees the interface as well.
    holder.close();
    EXPECT_TRUE(eventually([&] { return !cable->claimed(index); }));
    Link third(devnum);
    EXPECT_EQ(third.claimResult(), 0);

    EXPECT_EQ(usb_set_configuration(third.get(), 2), -EINVAL);
    EXPECT_EQ(usb_set_configuration(third.get(), 1), 0);
    EXPECT_EQ(usb_claim_interface(third.get(), 1), -ENOENT);
    char buffer[60];
    EXPECT_EQ(usb_bulk_read(third.get(), 0x82, buffer, 60, kShortTimeoutMs), -ENOENT);
}

TEST_F(CableTest, UnplugFailsEverythingAndReplugComesBackUnderANewNumber) {
    int index = -1;
    auto peer = attachScripted(&index);
    const int before = cable->devnum(index);
    Link old(before);
    ASSERT_EQ(old.claimResult(), 0);
    ASSERT_EQ(old.write(kRequest), 60);  // its answer waits, and is lost with the power

    cable->unplug(index);
    EXPECT_FALSE(cable->plugged(index));
    EXPECT_EQ(cable->pendingAnswers(index), 0);
    std::uint8_t in[60];
    EXPECT_EQ(old.write(kRequest), -ENODEV);
    EXPECT_EQ(old.read(in), -ENODEV);
    EXPECT_EQ(usb_claim_interface(old.get(), 0), -ENODEV);
    EXPECT_EQ(rescanFor(before), nullptr);
    // The bus stays, with its root hub (libusb-0.1 would leak the devices of
    // a bus that vanished under it).
    struct usb_device* hub = rescanFor(1);
    ASSERT_NE(hub, nullptr);
    EXPECT_EQ(hub->descriptor.idVendor, 0x1d6b);
    EXPECT_EQ(hub->descriptor.bDeviceClass, USB_CLASS_HUB);

    cable->replug(index);
    ASSERT_TRUE(cable->plugged(index));
    const int after = cable->devnum(index);
    EXPECT_NE(after, before);
    EXPECT_EQ(rescanFor(before), nullptr);
    Link fresh(after);
    ASSERT_EQ(fresh.claimResult(), 0);
    peer->answerRaw("01 2B 1A 01 02 B2 B1");
    EXPECT_EQ(fresh.write(kRequest), 60);
    EXPECT_EQ(fresh.read(in), 60);
    EXPECT_EQ(old.write(kRequest), -ENODEV);  // the old descriptor stays dead
}

TEST_F(CableTest, UnplugEndsAReadInProgress) {
    int index = -1;
    auto peer = attachScripted(&index);
    peer->silence();
    Link link(cable->devnum(index));
    ASSERT_EQ(link.write(kRequest), 60);

    std::thread puller([&] {
        std::this_thread::sleep_for(100ms);
        cable->unplug(index);
    });
    std::uint8_t in[60];
    const auto start = std::chrono::steady_clock::now();
    // The URB comes back failed, which libusb-0.1 reports as 0 bytes.
    EXPECT_EQ(link.read(in, 5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4000ms);
    puller.join();
    const auto ins = eventsOf(UsbfsEvent::In);
    ASSERT_FALSE(ins.empty());
    EXPECT_EQ(ins.back().result, -ESHUTDOWN);
}

TEST_F(CableTest, ConnectionsAreCountedUntilClosed) {
    int index = -1;
    attachScripted(&index);
    {
        Link a(cable->devnum(index), false);
        Link b(cable->devnum(index), false);
        EXPECT_TRUE(eventually([&] { return cable->openConnections(index) == 2; }));
    }
    EXPECT_TRUE(eventually([&] { return cable->openConnections(index) == 0; }));
}

}  // namespace
}  // namespace korvel::test
