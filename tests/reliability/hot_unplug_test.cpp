// The meter unplugged between and during exchanges: -1 at once (never a
// hang to the end of a timeout), the device closed, no open while the meter
// is away, a fresh open once it is back, and old handles that never reach the
// new connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_fixture.h"

namespace korvel {
namespace {

using Clock = std::chrono::steady_clock;
using test::SimulatedMeters;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char kProblem[] = "USB Connection Problem";

// One call of each shape the library offers; 0 means it succeeded.
struct Call {
    const char* name;
    std::function<int(MeterHandle)> run;
};

std::vector<Call> everyShape() {
    return {
        {"mtrGetReading", [](MeterHandle h) { MeterReading r{}; return mtrGetReading(h, &r); }},
        {"mtrSetRange", [](MeterHandle h) { return mtrSetRange(h, 1); }},
        {"mtrGetMeterInfo", [](MeterHandle h) { char info[40]; return mtrGetMeterInfo(h, info); }},
        {"mtrReadEEPROM", [](MeterHandle h) { unsigned v[55]; return mtrReadEEPROM(h, 0x200, 4, v); }},
        {"mtrWriteEEPROM", [](MeterHandle h) { const int v[2] = {1, 2}; return mtrWriteEEPROM(h, 0x200, 2, v); }},
        {"mtrStartDataTransfer", [](MeterHandle h) { TransferInfo t{}; return mtrStartDataTransfer(h, 1, 0, 16, &t); }},
        {"mtrReadNextDataPacket",
         [](MeterHandle h) { unsigned n = 0, v[28]; return mtrReadNextDataPacket(h, &n, v) < 0 ? -1 : 0; }},
        {"mtrDspGetReadingDiag",
         [](MeterHandle h) { DspDiagReading a{}, b{}, c{}, d{}; return mtrDspGetReadingDiag(h, &a, &b, &c, &d); }},
        {"mtrTransaction",
         [](MeterHandle h) {
             MB_PDU q{}, r{};
             const unsigned char range[] = {0x01, 0x2B, 0x1A, 0x00, 0xB0, 0x7A};
             std::memcpy(q.frame, range, sizeof range);
             return mtrTransaction(h, &q, &r);
         }},
        {"scpiCommand",
         [](MeterHandle h) {
             char reply[128] = {};
             scpiCommand(h, ":MEAS:FLUX?", reply, sizeof reply);
             return std::strcmp(reply, kProblem) == 0 ? -1 : 0;
         }},
    };
}

using HotUnplug = SimulatedMeters;

TEST_F(HotUnplug, BetweenExchangesEveryCallFailsAtOnceAndClosesTheDevice) {
    korvelSimSetTimeScale(1.0);  // real timeouts: a wait for one would show
    korvelSimSetLatency(0);  // exchanges answered at once
    for (const Call& call : everyShape()) {
        SCOPED_TRACE(call.name);
        const MeterHandle h = open();
        ASSERT_EQ(call.run(h), 0) << "works while plugged";
        const int seen = exchanges(0);
        ASSERT_EQ(korvelSimUnplug(0), 0);

        const auto start = Clock::now();
        EXPECT_EQ(call.run(h), -1);
        EXPECT_LT(millisecondsSince(start), 400.0);
        EXPECT_EQ(exchanges(0), seen) << "an unplugged meter was reached";
        EXPECT_FALSE(bus.claimed(0));
        EXPECT_EQ(openOnBus(), 0) << "the device was not closed";

        ASSERT_EQ(korvelSimReplug(0), 0);
        EXPECT_EQ(call.run(h), -1) << "the handle came back to life";
        EXPECT_EQ(exchanges(0), seen);
        const MeterHandle fresh = open();
        EXPECT_NE(fresh, h);
        EXPECT_EQ(call.run(fresh), 0);
        closeKorvel(fresh);
    }
}

TEST_F(HotUnplug, NoOpenWhileTheMeterIsAwayAndAFreshOneOnceItIsBack) {
    const MeterHandle h = open();
    korvelSimUnplug(0);
    const auto start = Clock::now();
    EXPECT_EQ(openKorvel(), 0U);
    EXPECT_GE(millisecondsSince(start), 1500.0);  // three attempts, 500 ms apart
    unsigned range = 0;
    EXPECT_EQ(mtrGetRange(h, &range), -1);

    korvelSimReplug(0);
    const MeterHandle fresh = open();
    ASSERT_NE(fresh, 0U);
    EXPECT_NE(fresh, h);
    EXPECT_EQ(identityOf(fresh), identity(0));
    EXPECT_EQ(mtrGetRange(h, &range), -1);
}

TEST_F(HotUnplug, PlugCycleWithoutAnExchangeStillKillsTheOldConnection) {
    const MeterHandle h = open();
    korvelSimUnplug(0);
    korvelSimReplug(0);  // before the host noticed anything
    unsigned range = 0;
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    EXPECT_EQ(openOnBus(), 0);
    const MeterHandle fresh = open();
    EXPECT_EQ(mtrGetRange(fresh, &range), 0);
}

// The cable is pulled while the library waits: by the meter itself as the
// request arrives, or from another thread while the read (or the write) is
// waiting for its timeout. The call returns -1 as soon as the cable is gone.
TEST_F(HotUnplug, DuringAnExchangeTheCallReturnsAsSoonAsTheCableIsGone) {
    korvelSimSetTimeScale(1.0);  // 500 ms to write, 2000 ms to read
    korvelSimSetLatency(0);  // exchanges answered at once
    struct Case {
        const char* name;
        int fault;              // what the exchange meets
        int unplugAfterMs;      // -1: the meter pulls its own cable
    } cases[] = {
        {"meter pulls its cable in flight", KORVEL_SIM_FAULT_UNPLUG, -1},
        {"pulled while the read waits", KORVEL_SIM_FAULT_SILENCE, 100},
        {"pulled while the write waits", KORVEL_SIM_FAULT_WRITE_FAIL, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MeterHandle h = open();
        korvelSimInjectFault(0, c.fault, 1);
        std::thread puller;
        if (c.unplugAfterMs >= 0)
            puller = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.unplugAfterMs));
                korvelSimUnplug(0);
            });
        const auto start = Clock::now();
        MeterReading r{};
        r.value = 1234;
        EXPECT_EQ(mtrGetReading(h, &r), -1);
        const double took = millisecondsSince(start);
        if (puller.joinable()) puller.join();
        EXPECT_LT(took, 450.0) << "waited for the timeout instead of the cable";
        EXPECT_EQ(r.value, 1234);
        EXPECT_EQ(openOnBus(), 0);

        // The meter pulls its cable from another thread: wait until it is out.
        for (int i = 0; i < 200 && bus.plugged(0); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(bus.plugged(0));
        korvelSimReplug(0);
        const MeterHandle fresh = open();
        EXPECT_EQ(mtrGetReading(fresh, &r), 0);
        closeKorvel(fresh);
    }
}

TEST_F(HotUnplug, ALineInterruptedByTheUnplugShowsTheProblemForEveryPieceThatNeedsTheMeter) {
    korvelSimSetTimeScale(1.0);
    korvelSimSetLatency(0);  // exchanges answered at once
    const MeterHandle h = open();
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_SILENCE, 1);
    std::thread puller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        korvelSimUnplug(0);
    });
    const auto start = Clock::now();
    const std::string reply = scpi(h, "*IDN?;:DIAG:SWV:DRIV;*STB?;:MEAS:FLUX?");
    puller.join();
    EXPECT_LT(millisecondsSince(start), 450.0);
    EXPECT_EQ(reply, std::string(kProblem) + ";1.01;" + kProblem + ";" + kProblem);
    EXPECT_EQ(openOnBus(), 0);
}

TEST_F(HotUnplug, AnotherMeterCarriesOnAndTheReturningMeterIsFoundAgain) {
    korvelSimReset(2);
    const MeterHandle first = open();
    const MeterHandle second = open();
    ASSERT_EQ(identityOf(first), identity(0));
    ASSERT_EQ(identityOf(second), identity(1));

    korvelSimUnplug(0);
    EXPECT_EQ(identityOf(first), "<failed>");
    for (int i = 0; i < 20; ++i) ASSERT_EQ(identityOf(second), identity(1));
    korvelSimReplug(0);
    const MeterHandle back = open();
    EXPECT_EQ(identityOf(back), identity(0));  // the free meter, not the one in use
    EXPECT_EQ(identityOf(second), identity(1));
}

// Slots are reused round robin; after many unplug cycles every slot has held
// several connections. No earlier handle may act on a later connection:
// neither its exchanges nor its close.
TEST_F(HotUnplug, StaleHandlesNeverReachALaterConnection) {
    korvelSimSetTimeScale(0);
    korvelSimSetLatency(0);  // exchanges answered at once
    std::vector<MeterHandle> stale;
    MeterHandle current = open();
    for (int cycle = 0; cycle < 150; ++cycle) {
        korvelSimUnplug(0);
        unsigned range = 0;
        ASSERT_EQ(mtrGetRange(current, &range), -1);
        korvelSimReplug(0);
        stale.push_back(current);
        current = open();
        ASSERT_NE(current, 0U);

        const int seen = exchanges(0);
        for (MeterHandle old : stale) {
            ASSERT_NE(old, current);
            ASSERT_EQ(mtrGetRange(old, &range), -1);
            closeKorvel(old);
        }
        ASSERT_EQ(exchanges(0), seen) << "a stale handle reached the meter";
        ASSERT_TRUE(bus.claimed(0)) << "closing a stale handle closed the live connection";
        ASSERT_EQ(mtrGetRange(current, &range), 0);
    }
}

}  // namespace
}  // namespace korvel
