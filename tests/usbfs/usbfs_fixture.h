// Shared by the emulated-usbfs tests: a fresh testbed per test, scripted or
// simulated meters on it, and a look at what the host did on the cable.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "korvel.h"
#include "link/protocol.h"
#include "sim/meter/simulated_meter.h"
#include "sim/usbfs/usbfs_cable.h"
#include "sim/usbfs/usbfs_meter.h"
#include "tests/support/scripted_peer.h"

namespace korvel::test {

using namespace std::chrono_literals;

class UsbfsTest : public ::testing::Test {
protected:
    std::unique_ptr<sim::UsbfsCable> cable;
    std::vector<MeterHandle> handles;

    void SetUp() override {
        cable = std::make_unique<sim::UsbfsCable>();
        ASSERT_EQ(cable->error(), "");
    }
    void TearDown() override {
        for (MeterHandle h : handles) closeKorvel(h);  // a dead handle is ignored
        cable.reset();
    }

    // openKorvel(), the handle closed at the end of the test.
    MeterHandle open() {
        const MeterHandle h = openKorvel();
        if (h != 0) handles.push_back(h);
        return h;
    }

    // A simulated meter (serial 1 is KV0001); its index on the cable in *index.
    std::shared_ptr<sim::Meter> attachMeter(int serial = 1, int* index = nullptr) {
        auto meter = std::make_shared<sim::Meter>(serial);
        const int i = sim::attachMeter(*cable, meter);
        EXPECT_GE(i, 0) << cable->error();
        if (index != nullptr) *index = i;
        return meter;
    }

    // A scripted meter with the meter's ids; its index on the cable in *index.
    std::shared_ptr<ScriptedPeer> attachScripted(int* index = nullptr) {
        auto peer = std::make_shared<ScriptedPeer>();
        const int i = cable->attach(peer, wire::kVendorId, wire::kProductId);
        EXPECT_GE(i, 0) << cable->error();
        if (index != nullptr) *index = i;
        return peer;
    }

    // "01 2B 1A 00 B0 7A" as the 60 bytes that cross the wire, in hex.
    static std::string onWire(const char* frame) {
        std::uint8_t bytes[64] = {};
        parseHex(frame, bytes, 64);
        return hex(bytes, 60);
    }

    std::vector<sim::UsbfsEvent> events() const {
        std::vector<sim::UsbfsEvent> out;
        for (long long i = 0; i < cable->eventCount(); ++i) {
            sim::UsbfsEvent e;
            if (cable->event(i, &e)) out.push_back(e);
        }
        return out;
    }
    std::vector<sim::UsbfsEvent> eventsOf(sim::UsbfsEvent::Kind kind) const {
        std::vector<sim::UsbfsEvent> out;
        for (const auto& e : events())
            if (e.kind == kind) out.push_back(e);
        return out;
    }

    // Closing a descriptor reaches the cable asynchronously: wait for it.
    static bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
};

}  // namespace korvel::test
