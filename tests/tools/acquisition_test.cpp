// The acquisition core's clock and pace, and the one signal policy: what
// every subcommand's run stands on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "core/acquisition.h"
#include "core/short_slice.h"
#include "core/stop_signals.h"

namespace korvel::cli {
namespace {

using std::chrono::milliseconds;

TEST(Pacer, ALateReadingIsTakenAtOnceAndTheNextOneIntervalAfterIt) {
    Pacer pacer(0.5);
    const auto t0 = SteadyClock::time_point(std::chrono::seconds(100));
    pacer.restart(t0);
    EXPECT_EQ(pacer.next(t0 + milliseconds(10)), t0 + milliseconds(500));
    // The meter was away for 3 s: the due reading is taken now, not the six missed ones.
    const auto back = t0 + milliseconds(3500);
    EXPECT_EQ(pacer.next(back), back);
    EXPECT_EQ(pacer.next(back + milliseconds(1)), back + milliseconds(500));
    EXPECT_FALSE(Pacer(0).paced());
}

// The slice request reaches the kernel as asked (the structure's layout is
// our own copy of the kernel's), and the thread gets its old slice back.
TEST(ShortSlice, TheThreadRunsWithATenthOfAMillisecondSliceAndGetsItsOwnBack) {
    std::thread([] {
        const std::uint64_t before = ShortSlice::current();
        {
            ShortSlice slice;
            if (!slice.taken()) GTEST_SKIP() << "this system does not take a slice request";
            const std::uint64_t during = ShortSlice::current();
            // Kernels before 6.12 take the request and do not report a slice.
            if (during == 0) GTEST_SKIP() << "this kernel keeps no slice per thread";
            EXPECT_EQ(during, 100'000u);
        }
        EXPECT_EQ(ShortSlice::current(), before);
    }).join();
}

TEST(RunClock, StampsFollowTheMonotonicClockFromTheFirstReading) {
    RunClock clock;
    EXPECT_FALSE(clock.started());
    const auto start = SteadyClock::now();
    clock.start(start);
    EXPECT_DOUBLE_EQ(clock.elapsed(start), 0.0);
    EXPECT_DOUBLE_EQ(clock.elapsed(start + milliseconds(1250)), 1.25);
    EXPECT_EQ(clock.wallTime(start + milliseconds(1250)) - clock.wallTime(start), milliseconds(1250));
    // The wall time of the start is now, give or take the call.
    EXPECT_LT(std::chrono::abs(clock.wallTime(start) - WallClock::now()), milliseconds(100));
}

TEST(StopSignals, ASignalWakesASleeperOnAnotherThreadAndAFurtherOneIsCounted) {
    StopSignals signals({FurtherSignal::Counted});
    const auto started = SteadyClock::now();
    std::thread sender([] {
        std::this_thread::sleep_for(milliseconds(50));
        kill(getpid(), SIGTERM);
    });
    EXPECT_FALSE(signals.sleepUntil(started + std::chrono::seconds(30)));
    sender.join();
    EXPECT_LT(SteadyClock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(signals.signal(), SIGTERM);
    kill(getpid(), SIGINT);  // counted, the first stays
    EXPECT_EQ(signals.count(), 2);
    EXPECT_EQ(signals.signal(), SIGTERM);
    EXPECT_FALSE(signals.sleepUntil(SteadyClock::now() + std::chrono::seconds(30)));  // stays stopped
}

// What a second Ctrl-C does, in a child process each.
int secondInterrupt(FurtherSignal further) {
    const pid_t child = fork();
    if (child == 0) {
        StopSignals signals({further});
        kill(getpid(), SIGINT);
        kill(getpid(), SIGINT);
        _exit(signals.stopping() ? 7 : 8);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(StopSignals, ASecondInterruptEndsAtOnceOnlyWhereThePolicySays) {
    EXPECT_EQ(secondInterrupt(FurtherSignal::EndsAtOnce), -SIGINT);
    EXPECT_EQ(secondInterrupt(FurtherSignal::Held), 7);
    EXPECT_EQ(secondInterrupt(FurtherSignal::Counted), 7);
}

}  // namespace
}  // namespace korvel::cli
