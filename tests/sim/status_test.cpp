// Status registers, the status byte and the error queue.
#include <gtest/gtest.h>

#include "sim/meter/status_registers.h"
#include "tests/sim/meter_harness.h"

namespace korvel::test {
namespace {

using Status = MeterHarness;

TEST(ErrorQueue, FifoEmptyAndOverflow) {
    sim::ErrorQueue q;
    EXPECT_EQ(q.pop(), 0);
    for (int i = 1; i <= sim::ErrorQueue::kCapacity + 3; ++i) q.push(static_cast<std::int16_t>(-100 - i));
    EXPECT_EQ(q.size(), sim::ErrorQueue::kCapacity);
    for (int i = 1; i < sim::ErrorQueue::kCapacity; ++i) EXPECT_EQ(q.pop(), -100 - i);
    EXPECT_EQ(q.pop(), -350) << "the newest entry of a full queue becomes -350";
    EXPECT_EQ(q.pop(), 0);
    // Wrapping around the ring keeps the order.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 10; ++i) q.push(static_cast<std::int16_t>(i + 1));
        for (int i = 0; i < 10; ++i) EXPECT_EQ(q.pop(), i + 1);
    }
}

TEST_F(Status, ErrorQueueThroughFrames) {
    settle();
    auto post = [this](int code) {
        send(0x33, {static_cast<std::uint8_t>((code >> 8) & 0xFF), static_cast<std::uint8_t>(code & 0xFF)});
    };
    auto next = [this] { return static_cast<std::int16_t>(send(0x31).d16(0)); };
    post(-102);
    post(-363);
    post(3);
    EXPECT_EQ(next(), -102);
    EXPECT_EQ(next(), -363);
    EXPECT_EQ(next(), 3);
    EXPECT_EQ(next(), 0);
    post(0);  // "no error" is not queued
    EXPECT_EQ(next(), 0);
    for (int i = 0; i < 20; ++i) post(-100);
    const auto queued = errors();
    ASSERT_EQ(queued.size(), 16u);
    EXPECT_EQ(queued.back(), -350);
    send(0x32);
    EXPECT_EQ(next(), 0);
}

// Posting an error latches its class in the standard event register.
TEST_F(Status, ErrorsLatchTheirEventBits) {
    struct Case {
        int code;
        std::uint8_t bit;
    };
    const Case cases[] = {{-100, 0x20}, {-120, 0x20}, {-224, 0x10}, {-201, 0x10},
                          {-363, 0x08}, {3, 0x08},    {-410, 0x04}, {99, 0x08}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        settle();
        send(0x33, {static_cast<std::uint8_t>((c.code >> 8) & 0xFF), static_cast<std::uint8_t>(c.code & 0xFF)});
        EXPECT_EQ(send(0x2B, {0}).d(0), c.bit);
    }
}

TEST_F(Status, PowerOnLeavesThePowerOnEventAndNothingElse) {
    EXPECT_EQ(send(0x2B, {0}).d(0), 0x80);
    EXPECT_EQ(send(0x2B, {0}).d(0), 0x00) << "reading an event register clears it";
    for (std::uint8_t set : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}}) EXPECT_EQ(send(0x2B, {set}).d(0), 0);
    EXPECT_EQ(send(0x30).d(0), 0);
    EXPECT_EQ(send(0x2C, {1}).d(0), 0x08) << "auto-range on";
}

// Each summary bit of the status byte, and the master summary through the
// service-request enable.
TEST_F(Status, StatusByteSummaries) {
    struct Case {
        const char* what;
        void (*cause)(Status&);
        std::uint8_t bit;
    };
    const Case cases[] = {
        {"event summary", [](Status& t) { t.send(0x29, {0, 0x01}); t.send(0x37, {0, 0x01}); }, 0x20},
        {"error queue", [](Status& t) { t.send(0x33, {0xFF, 0x9C}); }, 0x04},
        {"measurement summary", [](Status& t) { t.send(0x29, {1, 0x01}); t.send(0x26, {1}); }, 0x01},
        {"operation summary", [](Status& t) { t.send(0x29, {2, 0x01}); t.send(0x1E); }, 0x80},
        {"questionable summary",
         [](Status& t) { t.send(0x29, {3, 0x01}); t.field(50.0); t.send(0x10); }, 0x08},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        meter.powerCycle();
        settle();
        field(0.0);
        c.cause(*this);
        EXPECT_EQ(send(0x30).d(0), c.bit);
        send(0x2E, {c.bit});
        EXPECT_EQ(send(0x30).d(0), c.bit | 0x40);
        EXPECT_EQ(meter.snapshot().statusByte, c.bit | 0x40);
        send(0x2E, {static_cast<std::uint8_t>(~c.bit & ~0x40)});
        EXPECT_EQ(send(0x30).d(0), c.bit) << "other enable bits do not summarise it";
    }
}

TEST_F(Status, EnableMasksGateTheSummary) {
    settle();
    send(0x37, {0, 0x01});  // operation complete
    EXPECT_EQ(send(0x30).d(0), 0);
    send(0x29, {0, 0x20});
    EXPECT_EQ(send(0x30).d(0), 0) << "a mask without the event's bit";
    send(0x29, {0, 0x21});
    EXPECT_EQ(send(0x30).d(0), 0x20);
    EXPECT_EQ(send(0x2A, {0}).d(0), 0x21);
    EXPECT_EQ(send(0x2B, {0}).d(0), 0x01);
    EXPECT_EQ(send(0x30).d(0), 0) << "reading the event register ends the summary";
}

TEST_F(Status, ClearCommands) {
    for (std::uint8_t set = 0; set < 4; ++set) send(0x29, {set, static_cast<std::uint8_t>(0x10 + set)});
    send(0x2E, {0xFF});
    send(0x37, {2, 0x40});
    send(0x33, {0xFF, 0x9A});
    // *CLS: event registers and the error queue, not the enables.
    send(0x2D);
    EXPECT_TRUE(errors().empty());
    for (int set = 0; set < 4; ++set) EXPECT_EQ(meter.registers(set).event, 0);
    EXPECT_EQ(meter.registers(1).enable, 0x11);
    // Status preset: the enables of sets 1 to 3; the standard event enable and
    // the service-request enable stay.
    send(0x34);
    EXPECT_EQ(meter.registers(0).enable, 0x10);
    for (int set = 1; set < 4; ++set) EXPECT_EQ(meter.registers(set).enable, 0);
    EXPECT_EQ(send(0x2F).d(0), 0xFF);
}

TEST_F(Status, ConditionsLatchOnTheRisingEdgeOnly) {
    settle();
    send(0x21, {1});  // relative on
    EXPECT_EQ(send(0x2C, {1}).d(0) & 0x02, 0x02);
    EXPECT_EQ(send(0x2B, {1}).d(0) & 0x02, 0x02);
    send(0x21, {1});  // still on: no new event
    EXPECT_EQ(send(0x2B, {1}).d(0) & 0x02, 0x00);
    send(0x21, {0});
    EXPECT_EQ(send(0x2C, {1}).d(0) & 0x02, 0x00);
    EXPECT_EQ(send(0x2B, {1}).d(0) & 0x02, 0x00) << "a falling edge is no event";
    send(0x1C, {1});
    EXPECT_EQ(send(0x2C, {2}).d(0) & 0x10, 0x10);  // diagnostic mode
}

TEST_F(Status, SelectorsBeyondTheFourSetsAreRefused) {
    settle();
    EXPECT_EQ(send(0x2A, {4}).d(0), 0);
    EXPECT_EQ(send(0x2B, {9}).d(0), 0);
    EXPECT_EQ(send(0x2C, {255}).d(0), 0);
    send(0x29, {4, 0xFF});
    send(0x37, {7, 0xFF});
    EXPECT_EQ(errors(), (std::vector<std::int16_t>(5, -224)));
}

TEST_F(Status, PowerCycleRestoresDefaultsButKeepsTheMemory) {
    send(0x12, {2, 1});
    send(0x19, {2});
    send(0x26, {1});
    send(0x35, {1});
    send(0x29, {1, 0xFF});
    send(0x33, {0xFF, 0x9A});
    send(0x15, {0x02, 0x00, 0x00, 0x01, 0x77});
    field(0.02);
    meter.powerCycle();
    const sim::Settings s = settings();
    EXPECT_EQ(s.units, 0);
    EXPECT_EQ(s.acdc, 0);
    EXPECT_EQ(s.autoRange, 1);
    EXPECT_EQ(s.hold, 0);
    EXPECT_EQ(s.keypadLockout, 0);
    EXPECT_EQ(meter.registers(1).enable, 0);
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(send(0x14, {0x02, 0x00, 0x00, 0x01}).d(4), 0x77);
    EXPECT_EQ(reading().first, 2000) << "the field stays: it is the world's";
}

}  // namespace
}  // namespace korvel::test
