// The table of open connections at its limits: full, and cycled through many
// times. A full table refuses an open at once and leaves nothing claimed;
// cycling leaks no device handle and never issues a handle twice.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <vector>

#include "korvel.h"
#include "link/handle_table.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "tests/support/scripted_peer.h"

namespace korvel {
namespace {

class HandleTable : public ::testing::Test {
protected:
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    std::vector<std::shared_ptr<test::ScriptedPeer>> peers;
    std::vector<MeterHandle> handles;
    int handlesBefore = 0;

    void SetUp() override {
        handlesBefore = bus.openHandles();
        bus.reset();
        bus.setTimeScale(0);
        bus.setLatency(0);  // exchanges answered at once
    }
    void TearDown() override {
        for (MeterHandle h : handles) closeKorvel(h);
        EXPECT_EQ(bus.openHandles(), handlesBefore);
        bus.reset();
    }
    void attach(int meters) {
        for (int i = 0; i < meters; ++i) {
            peers.push_back(std::make_shared<test::ScriptedPeer>());
            bus.attach(peers.back(), wire::kVendorId, wire::kProductId);
        }
    }
};

TEST_F(HandleTable, AFullTableRefusesTheNextOpenAtOnceAndClaimsNothing) {
    attach(link::kSlots + 1);
    std::set<MeterHandle> distinct;
    for (int i = 0; i < link::kSlots; ++i) {
        const MeterHandle h = openKorvel();
        ASSERT_NE(h, 0U) << "open " << i;
        handles.push_back(h);
        distinct.insert(h);
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(link::kSlots));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(openKorvel(), 0U);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450))
        << "a full table cannot get better by waiting";
    EXPECT_FALSE(bus.claimed(link::kSlots)) << "the refused meter was left claimed";
    EXPECT_EQ(bus.openHandles() - handlesBefore, link::kSlots);

    // Every handle still reaches its own meter.
    for (int i = 0; i < link::kSlots; ++i) {
        peers[static_cast<std::size_t>(i)]->answerData(0x1A, "07");
        unsigned range = 0;
        ASSERT_EQ(mtrGetRange(handles[static_cast<std::size_t>(i)], &range), 0);
        ASSERT_EQ(range, 7U);
    }

    // A freed slot is usable again, and the freed meter is the one found.
    closeKorvel(handles[10]);
    const MeterHandle again = openKorvel();
    ASSERT_NE(again, 0U);
    handles.push_back(again);
    EXPECT_TRUE(bus.claimed(10));
    EXPECT_EQ(distinct.count(again), 0U) << "a handle was issued twice";
}

TEST_F(HandleTable, ThousandsOfOpensAndFailuresLeakNothingAndNeverRepeatAHandle) {
    attach(1);
    std::set<MeterHandle> seen;
    for (int i = 0; i < 3000; ++i) {
        const MeterHandle h = openKorvel();
        ASSERT_NE(h, 0U) << "open " << i;
        ASSERT_TRUE(seen.insert(h).second) << "handle " << h << " issued twice";
        if (i % 2 == 0) {
            closeKorvel(h);
        } else {
            peers[0]->silence();  // the exchange fails and closes by itself
            unsigned range = 0;
            ASSERT_EQ(mtrGetRange(h, &range), -1);
        }
        ASSERT_EQ(bus.openHandles(), handlesBefore);
        ASSERT_FALSE(bus.claimed(0));
    }
}

}  // namespace
}  // namespace korvel
