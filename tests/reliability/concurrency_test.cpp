// Several threads on one handle and on the handles of two meters, mixing
// meter commands and SCPI lines while other threads open and close: every
// answer belongs to its own request and its own meter, and a closed handle
// never succeeds again. Run under ThreadSanitizer by the tsan preset.
//
// Each meter's probe data block is filled with a pattern of its own
// (byte i of meter m is i ^ salt(m)), so an answer that went to the wrong
// request or the wrong meter shows as a wrong value.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_fixture.h"

namespace korvel {
namespace {

using test::SimulatedMeters;

constexpr int kProbeData = 0x100;

unsigned salt(int meter) { return static_cast<unsigned>(0x35 + 0x4A * meter) & 0xFFU; }
unsigned patternByte(int meter, int index) { return (static_cast<unsigned>(index) ^ salt(meter)) & 0xFFU; }

void fillPattern(int meter) {
    unsigned char block[256];
    for (int i = 0; i < 256; ++i) block[i] = static_cast<unsigned char>(patternByte(meter, i));
    ASSERT_EQ(korvelSimWriteEeprom(meter, kProbeData, block, 256), 0);
}

class Concurrency : public SimulatedMeters {
protected:
    void SetUp() override {
        SimulatedMeters::SetUp();
        korvelSimSetTimeScale(0.01);
        korvelSimSetLatency(0);  // exchanges answered at once
    }
    void meters(int count) {
        korvelSimReset(count);
        korvelSimSetTimeScale(0.01);
        korvelSimSetLatency(0);  // exchanges answered at once
        for (int m = 0; m < count; ++m) fillPattern(m);
    }
};

// What one worker saw.
struct Tally {
    std::atomic<int> calls{0};
    std::atomic<int> failures{0};
    std::atomic<int> wrong{0};
    std::mutex mutex;
    std::string firstWrong;

    void bad(const std::string& what) {
        ++wrong;
        std::lock_guard lock(mutex);
        if (firstWrong.empty()) firstWrong = what;
    }
};

// A mix of meter commands and SCPI lines on handle h of meter `meter`.
void work(MeterHandle h, int meter, int seed, int rounds, Tally& tally) {
    const std::string identity = [&] {
        unsigned char bytes[41] = {};
        korvelSimReadEeprom(meter, 0, bytes, 40);
        return std::string(reinterpret_cast<const char*>(bytes));
    }();
    for (int i = 0; i < rounds; ++i) {
        const int index = (seed * 97 + i * 31) & 0xFF;
        ++tally.calls;
        char text[128];
        switch (i % 4) {
        case 0: {
            unsigned value = 999;
            if (mtrGetProbeData(h, index, &value) != 0) {
                ++tally.failures;
            } else if (value != patternByte(meter, index)) {
                std::snprintf(text, sizeof text, "probe byte %d of meter %d read as %u", index, meter, value);
                tally.bad(text);
            }
            break;
        }
        case 1: {
            char line[64], reply[128] = {};
            std::snprintf(line, sizeof line, ":DIAG:DAT:PROB? %d;*IDN?", index);
            scpiCommand(h, line, reply, sizeof reply);
            char expected[128];
            std::snprintf(expected, sizeof expected, "%03u;%s", patternByte(meter, index), identity.c_str());
            if (std::strstr(reply, "USB Connection Problem") != nullptr)
                ++tally.failures;
            else if (expected != std::string(reply))
                tally.bad(std::string("line answered \"") + reply + "\", expected \"" + expected + "\"");
            break;
        }
        case 2: {
            // The operation-complete state belongs to each call: a line
            // without *OPC? never ends in "1;", whatever other threads send.
            char reply[128] = {};
            const bool withOpc = (i / 4) % 2 == 0;
            scpiCommand(h, withOpc ? "*OPC?;*STB?" : "*STB?", reply, sizeof reply);
            const std::string r = reply;
            const bool endsInOne = r.size() >= 2 && r.compare(r.size() - 2, 2, "1;") == 0;
            if (r.find("USB Connection Problem") != std::string::npos)
                ++tally.failures;
            else if (withOpc != endsInOne || r.size() != (withOpc ? 6U : 3U))
                tally.bad("operation complete mixed up: \"" + r + "\"");
            break;
        }
        default: {
            char info[41] = {};
            if (mtrGetMeterInfo(h, info) != 0)
                ++tally.failures;
            else if (identity != info)
                tally.bad(std::string("identification \"") + info + "\" on meter " + std::to_string(meter));
            break;
        }
        }
    }
}

TEST_F(Concurrency, ThreadsOnOneHandleAndOnTwoMetersWhileOthersOpenAndClose) {
    meters(3);
    const MeterHandle a = open();
    const MeterHandle b = open();
    ASSERT_EQ(identityOf(a), identity(0));
    ASSERT_EQ(identityOf(b), identity(1));

    constexpr int kRounds = 2000;
    Tally onA, onB, churn;
    std::atomic<bool> done{false};
    std::atomic<int> cycles{0};
    std::vector<std::thread> threads;
    // Each worker goes on past its rounds until the opener has been through
    // two cycles, so the opens and closes overlap the work however the
    // threads are scheduled on a loaded machine.
    const auto worker = [&](MeterHandle h, int meter, int seed, Tally& tally) {
        work(h, meter, seed, kRounds, tally);
        while (cycles.load() < 2 && churn.wrong.load() == 0) work(h, meter, seed, 16, tally);
    };
    threads.emplace_back(worker, a, 0, 1, std::ref(onA));
    threads.emplace_back(worker, a, 0, 2, std::ref(onA));
    threads.emplace_back(worker, b, 1, 3, std::ref(onB));
    threads.emplace_back(worker, b, 1, 4, std::ref(onB));
    // Opens and closes meanwhile: the only free meter is the third.
    std::thread opener([&] {
        while (!done.load()) {
            const MeterHandle h = openKorvel();
            if (h == 0) {
                churn.bad("an open failed while a meter was free");
                continue;
            }
            work(h, 2, 5, 8, churn);
            closeKorvel(h);
            ++cycles;
        }
    });
    for (std::thread& t : threads) t.join();
    done = true;
    opener.join();

    EXPECT_EQ(onA.failures.load() + onB.failures.load(), 0);
    EXPECT_EQ(onA.wrong.load(), 0) << onA.firstWrong;
    EXPECT_EQ(onB.wrong.load(), 0) << onB.firstWrong;
    EXPECT_EQ(churn.wrong.load(), 0) << churn.firstWrong;
    EXPECT_EQ(churn.failures.load(), 0);
    EXPECT_GE(cycles.load(), 2);
    EXPECT_GE(onA.calls.load(), 2 * kRounds);
}

// Workers keep using whatever handle is current while another thread closes it
// and opens the meter again, over and over (so every slot of the handle table
// is reused), and now and then try one of the handles closed before. A call
// on a handle that was closed before the call began must fail; a call that
// succeeds carries its own data.
TEST_F(Concurrency, AHandleClosedUnderRunningCallsNeverSucceedsAgain) {
    meters(1);
    std::atomic<MeterHandle> current{open()};
    std::mutex closedMutex;
    std::set<MeterHandle> closed;
    std::vector<MeterHandle> closedInOrder;
    std::atomic<bool> done{false};
    std::atomic<int> lateSuccesses{0}, wrong{0}, calls{0};

    auto worker = [&](int seed) {
        for (int i = 0; !done.load(); ++i) {
            MeterHandle h = current.load();
            bool wasClosed;
            {
                std::lock_guard lock(closedMutex);
                if (i % 8 == 7 && !closedInOrder.empty())
                    h = closedInOrder[static_cast<std::size_t>(i) % closedInOrder.size()];
                wasClosed = closed.count(h) != 0;
            }
            const int index = (seed * 13 + i) & 0xFF;
            unsigned value = 999;
            const int result = mtrGetProbeData(h, index, &value);
            ++calls;
            if (result == 0 && wasClosed) ++lateSuccesses;
            if (result == 0 && value != patternByte(0, index)) ++wrong;
            if (result != 0 && value != 999) ++wrong;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(worker, t);
    for (int cycle = 0; cycle < 100; ++cycle) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        const MeterHandle old = current.load();
        closeKorvel(old);
        {
            std::lock_guard lock(closedMutex);
            closed.insert(old);
            closedInOrder.push_back(old);
        }
        const MeterHandle fresh = openKorvel();
        if (fresh == 0 || closed.count(fresh) != 0) {  // the workers still run: no early return
            ADD_FAILURE() << "open gave " << fresh << " (0, or a handle issued before)";
            break;
        }
        opened.push_back(fresh);
        current = fresh;
    }
    done = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(lateSuccesses.load(), 0) << "a closed handle reached a later connection";
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(calls.load(), 100);
}

// A failed exchange on one handle (its meter silent) while other threads
// work on another meter: only the silent meter's handle dies.
TEST_F(Concurrency, AFailureOnOneMeterLeavesTheOtherMetersThreadsAlone) {
    meters(2);
    const MeterHandle a = open();
    const MeterHandle b = open();
    Tally onB;
    std::thread t1(work, b, 1, 7, 300, std::ref(onB));
    std::thread t2(work, b, 1, 8, 300, std::ref(onB));
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_SILENCE, 1);
    unsigned range = 0;
    EXPECT_EQ(mtrGetRange(a, &range), -1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(mtrGetRange(a, &range), -1);  // and stays dead
    t1.join();
    t2.join();
    EXPECT_EQ(onB.failures.load(), 0);
    EXPECT_EQ(onB.wrong.load(), 0) << onB.firstWrong;
    EXPECT_FALSE(bus.claimed(0));
    EXPECT_TRUE(bus.claimed(1));
}

}  // namespace
}  // namespace korvel
