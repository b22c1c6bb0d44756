// Shared by the hot-unplug and concurrency tests: simulated meters on the
// virtual bus, set up and torn down through the korvelSim* control functions,
// and a look at the bus itself.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "korvel.h"
#include "korvel_sim.h"
#include "sim/bus/virtual_bus.h"

namespace korvel::test {

class SimulatedMeters : public ::testing::Test {
protected:
    sim::VirtualBus& bus = sim::VirtualBus::instance();

    void SetUp() override {
        handlesBefore = bus.openHandles();
        korvelSimReset(1);
        korvelSimSetTimeScale(0.01);  // a 2000 ms read timeout lasts 20 ms
        korvelSimSetLatency(0);  // exchanges answered at once
    }
    void TearDown() override {
        for (MeterHandle h : opened) closeKorvel(h);
        EXPECT_EQ(bus.openHandles(), handlesBefore) << "device handles left open";
        korvelSimReset(1);
    }

    // Opens the next free meter; the handle is closed at the end of the test.
    MeterHandle open() {
        const MeterHandle h = openKorvel();
        EXPECT_NE(h, 0U);
        opened.push_back(h);
        return h;
    }

    static int exchanges(int meter) { return korvelSimGetSetting(meter, KORVEL_SIM_EXCHANGES); }

    // The meter's identification text as its memory holds it.
    static std::string identity(int meter) {
        unsigned char bytes[41] = {};
        korvelSimReadEeprom(meter, 0, bytes, 40);
        return reinterpret_cast<const char*>(bytes);
    }
    static std::string identityOf(MeterHandle h) {
        char info[41] = {};
        if (mtrGetMeterInfo(h, info) != 0) return "<failed>";
        return info;
    }

    // Which of the library's handles the bus still sees open.
    int openOnBus() const { return bus.openHandles() - handlesBefore; }

    static std::string scpi(MeterHandle h, const char* line) {
        char reply[128];
        std::memset(reply, 0, sizeof reply);
        EXPECT_EQ(scpiCommand(h, line, reply, sizeof reply), 0);
        return reply;
    }

    int handlesBefore = 0;
    std::vector<MeterHandle> opened;
};

}  // namespace korvel::test
