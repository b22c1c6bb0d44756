// What the shipped library does when the meter or its cable misbehaves, with
// the failures as Debian's libusb-0.1 reports them: a spoilt answer, a write
// that fails, a timeout (-110), a late answer, a refused claim, two meters,
// a pulled cable (ENODEV). Every libusb timeout here lasts its full 2 s, so
// the slow cases are few.
#include <usb.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/usbfs/usbfs_fixture.h"

namespace korvel::test {
namespace {

using sim::Fault;
using sim::UsbfsEvent;
using Clock = std::chrono::steady_clock;

class Faults : public UsbfsTest {
protected:
    // After a failed exchange: released, closed, and the handle dead for good.
    void expectClosedAndDead(MeterHandle h, int index) {
        EXPECT_FALSE(cable->claimed(index));
        EXPECT_TRUE(eventually([&] { return cable->openConnections(index) == 0; }));
        const long long before = cable->eventCount();
        unsigned range = 99;
        EXPECT_EQ(mtrGetRange(h, &range), -1);
        EXPECT_EQ(range, 99U);
        EXPECT_EQ(cable->eventCount(), before);  // nothing reached the cable
    }

    std::string meterInfo(MeterHandle h) {
        char info[41] = {};
        if (mtrGetMeterInfo(h, info) != 0) return "(failed)";
        return info;
    }

    // The meters' order in libusb's own device list (the order openKorvel
    // walks), as cable indexes.
    std::vector<int> busOrder() {
        usb_init();
        usb_find_busses();
        usb_find_devices();
        std::vector<int> order;
        for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
            for (struct usb_device* d = bus->devices; d != nullptr; d = d->next)
                for (int i = 0; i < cable->deviceCount(); ++i)
                    if (cable->plugged(i) && d->devnum == cable->devnum(i)) order.push_back(i);
        return order;
    }
};

// Answers the library must refuse, each costing no timeout: the exchange
// fails, the out-parameter keeps its value, the connection is released and
// closed before -1 comes back.
TEST_F(Faults, SpoiltAnswersAndRefusedWritesCloseTheConnection) {
    const struct {
        const char* name;
        Fault fault;
    } cases[] = {
        {"checksum bit flipped", Fault::BadChecksum},
        {"checksum low byte first", Fault::ChecksumLowFirst},
        {"byte count above 59", Fault::CountOver59},
        {"byte count 55 to 59", Fault::Count55To59},
        {"short packet", Fault::ShortRead},
        {"write refused", Fault::WriteFail},
    };
    int index = -1;
    auto meter = attachMeter(1, &index);
    meter->setField({0.0123});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MeterHandle h = open();
        ASSERT_NE(h, 0U);
        meter->injectFault(c.fault, 1);
        cable->clearLog();
        MeterReading reading{};
        reading.value = 4242;
        const auto start = Clock::now();
        EXPECT_EQ(mtrGetReading(h, &reading), -1);
        EXPECT_LT(Clock::now() - start, 1500ms);  // well short of a timeout
        EXPECT_EQ(reading.value, 4242);
        const auto all = events();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.back().kind, UsbfsEvent::ReleaseInterface);
        if (c.fault == Fault::WriteFail) {
            EXPECT_EQ(eventsOf(UsbfsEvent::Out).at(0).result, -EPIPE);
            EXPECT_TRUE(eventsOf(UsbfsEvent::In).empty());  // no read after a failed write
        }
        if (c.fault == Fault::ShortRead) {
            EXPECT_LT(eventsOf(UsbfsEvent::In).at(0).length, 60);
        }
        expectClosedAndDead(h, index);
    }
    // None of it hurt the meter: a new connection reads the field.
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    MeterReading reading{};
    ASSERT_EQ(mtrGetReading(h, &reading), 0);
    EXPECT_EQ(reading.value, 1230);
}

TEST_F(Faults, SilentMeterTimesOutInsideLibusbAndClosesTheConnection) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    meter->injectFault(Fault::Silence, 1);
    cable->clearLog();
    unsigned status = 77;
    const auto start = Clock::now();
    EXPECT_EQ(mtrGetStatusByte(h, &status), -1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 2000ms);
    EXPECT_LT(took, 4000ms);
    EXPECT_EQ(status, 77U);
    // libusb gave up on the read: it discarded the URB, then the library
    // released the interface.
    const auto all = events();
    ASSERT_EQ(all.size(), 3U);
    EXPECT_EQ(all[0].kind, UsbfsEvent::Out);
    EXPECT_EQ(all[1].kind, UsbfsEvent::In);
    EXPECT_EQ(all[1].result, -ECONNRESET);
    EXPECT_EQ(all[2].kind, UsbfsEvent::ReleaseInterface);
    expectClosedAndDead(h, index);
}

TEST_F(Faults, LateAnswerIsDrainedByTheNextOpen) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    meter->setField({0.0123});
    MeterHandle h = open();
    ASSERT_NE(h, 0U);
    meter->injectFault(Fault::Late, 1);
    MeterReading reading{};
    EXPECT_EQ(mtrGetReading(h, &reading), -1);  // 2 s
    expectClosedAndDead(h, index);
    EXPECT_EQ(cable->pendingAnswers(index), 1);  // the reading arrived after all

    cable->clearLog();
    h = open();
    ASSERT_NE(h, 0U);
    // The open read the stale reading away before its own range query.
    const auto ins = eventsOf(UsbfsEvent::In);
    ASSERT_GE(ins.size(), 2U);
    EXPECT_EQ(ins[0].result, 0);
    EXPECT_EQ(ins[0].data[2], 0x10);
    EXPECT_EQ(cable->pendingAnswers(index), 0);

    // Each answer now belongs to its own request.
    ASSERT_EQ(mtrSetRange(h, 1), 0);
    unsigned range = 99;
    ASSERT_EQ(mtrGetRange(h, &range), 0);
    EXPECT_EQ(range, 1U);
    EXPECT_EQ(meterInfo(h), "KORVEL,KV-100,KV0001,1.02");
    ASSERT_EQ(mtrGetReading(h, &reading), 0);
    EXPECT_EQ(reading.value, 123);  // 123 G on range 1
    EXPECT_EQ(reading.range, 1);
}

TEST_F(Faults, TwoMetersTheFirstWinsASecondOpenGetsTheSecond) {
    auto meterA = attachMeter(1);
    auto meterB = attachMeter(2);
    meterA->setField({0.0123});
    meterB->setField({-0.0021});
    const std::vector<int> order = busOrder();
    ASSERT_EQ(order.size(), 2U);
    const int first = order[0];
    const int second = order[1];
    const char* serial[] = {"KV0001", "KV0002"};

    const MeterHandle h1 = open();
    ASSERT_NE(h1, 0U);
    EXPECT_TRUE(cable->claimed(first));
    EXPECT_FALSE(cable->claimed(second));
    const MeterHandle h2 = open();
    ASSERT_NE(h2, 0U);
    EXPECT_TRUE(cable->claimed(second));
    EXPECT_NE(meterInfo(h1).find(serial[first]), std::string::npos);
    EXPECT_NE(meterInfo(h2).find(serial[second]), std::string::npos);

    // Both connections work side by side, each with its own meter.
    const int counts[] = {1230, -210};  // 123 G and -21 G, 0.1 G a count
    MeterReading r1{}, r2{};
    ASSERT_EQ(mtrGetReading(h1, &r1), 0);
    ASSERT_EQ(mtrGetReading(h2, &r2), 0);
    EXPECT_EQ(r1.value, counts[first]);
    EXPECT_EQ(r2.value, counts[second]);

    closeKorvel(h1);
    const MeterHandle h3 = open();  // the first is free again
    ASSERT_NE(h3, 0U);
    EXPECT_NE(meterInfo(h3).find(serial[first]), std::string::npos);
}

TEST_F(Faults, RefusedClaimIsPassedOverAndAloneMeansNoMeter) {
    auto meterA = attachMeter(1);
    auto meterB = attachMeter(2);
    const std::vector<int> order = busOrder();
    ASSERT_EQ(order.size(), 2U);
    const int first = order[0];
    const int second = order[1];
    const char* serial[] = {"KV0001", "KV0002"};
    std::shared_ptr<sim::Meter> meters[] = {meterA, meterB};
    meters[first]->refuseClaim = true;  // another program holds it

    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    EXPECT_NE(meterInfo(h).find(serial[second]), std::string::npos);

    // Now every meter is taken: three attempts, 500 ms apart, then 0.
    cable->clearLog();
    const auto start = Clock::now();
    EXPECT_EQ(openKorvel(), 0U);
    EXPECT_GE(Clock::now() - start, 1500ms);
    int refused = 0;
    for (const auto& e : eventsOf(UsbfsEvent::ClaimInterface)) refused += e.result == -EBUSY;
    EXPECT_EQ(refused, 6);  // both meters, three times
    EXPECT_TRUE(eventsOf(UsbfsEvent::Out).empty());
    EXPECT_TRUE(eventually([&] { return cable->openConnections(first) == 0; }));
}

TEST_F(Faults, UnplugKillsTheHandleAndReplugServesANewOpen) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    MeterHandle h = open();
    ASSERT_NE(h, 0U);
    ASSERT_EQ(mtrSetRange(h, 1), 0);

    cable->unplug(index);
    unsigned range = 99;
    const auto start = Clock::now();
    EXPECT_EQ(mtrGetRange(h, &range), -1);  // ENODEV: no timeout
    EXPECT_LT(Clock::now() - start, 1500ms);  // well short of a timeout
    EXPECT_EQ(range, 99U);
    const long long before = cable->eventCount();
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    EXPECT_EQ(cable->eventCount(), before);

    cable->replug(index);
    h = open();
    ASSERT_NE(h, 0U);
    ASSERT_EQ(mtrGetRange(h, &range), 0);
    EXPECT_EQ(range, 1U);  // the meter kept its settings
}

TEST_F(Faults, MeterPullsItsCableMidRequest) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    const int devnum = cable->devnum(index);
    MeterHandle h = open();
    ASSERT_NE(h, 0U);
    meter->injectFault(Fault::Unplug, 1);
    cable->clearLog();
    MeterReading reading{};
    const auto start = Clock::now();
    EXPECT_EQ(mtrGetReading(h, &reading), -1);
    EXPECT_LT(Clock::now() - start, 1500ms);  // well short of a timeout
    EXPECT_FALSE(cable->plugged(index));
    EXPECT_EQ(eventsOf(UsbfsEvent::Out).size(), 1U);  // the request went out; no answer came
    EXPECT_TRUE(eventsOf(UsbfsEvent::In).empty());

    cable->replug(index);
    EXPECT_NE(cable->devnum(index), devnum);
    h = open();
    ASSERT_NE(h, 0U);
    EXPECT_EQ(mtrGetReading(h, &reading), 0);
}

}  // namespace
}  // namespace korvel::test
