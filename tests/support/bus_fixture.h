// A virtual bus with scripted meters attached, for tests that replay
// conversations through the library's exported functions.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "korvel.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "tests/support/scripted_peer.h"

namespace korvel::test {

class ScriptedBus : public ::testing::Test {
protected:
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    std::vector<std::shared_ptr<ScriptedPeer>> meters;

    void SetUp() override {
        bus.reset();
        bus.setTimeScale(0.01);  // a 2000 ms read timeout lasts 20 ms
        bus.setLatency(0);  // exchanges answered at once
    }
    void TearDown() override { bus.reset(); }

    ScriptedPeer& attachMeter() {
        meters.push_back(std::make_shared<ScriptedPeer>());
        bus.attach(meters.back(), wire::kVendorId, wire::kProductId);
        return *meters.back();
    }
    // Opens the first meter and forgets the calls the open made.
    MeterHandle openFirst() {
        const MeterHandle h = openKorvel();
        EXPECT_NE(h, 0U);
        bus.clearLog();
        return h;
    }
    // Names of the usb_* calls recorded since the last clear.
    std::vector<sim::CallRecord> calls() const {
        std::vector<sim::CallRecord> out;
        for (long long i = 0; i < bus.callCount(); ++i) {
            sim::CallRecord r;
            if (bus.call(i, &r)) out.push_back(r);
        }
        return out;
    }
    std::vector<sim::CallRecord::Kind> callKinds() const {
        std::vector<sim::CallRecord::Kind> kinds;
        for (const auto& c : calls()) kinds.push_back(c.kind);
        return kinds;
    }
};

}  // namespace korvel::test
