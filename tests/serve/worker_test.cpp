// The meter's worker with the page's additions, against the simulated
// library as the program loads it: the sampler runs on its period only while
// asked, once more on request, between client lines that keep their answers;
// tasks see the meter (or null while it is away); exchanges and the failed
// ones are counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "core/session.h"
#include "serve/meter_worker.h"

namespace {

using namespace std::chrono_literals;
using korvel::cli::Meter;
using korvel::cli::MeterOptions;
using korvel::cli::Session;
using korvel::cli::serve::ExchangeMode;
using korvel::cli::serve::MeterWorker;

MeterOptions simulated() {
    MeterOptions options;
    options.simulate = true;
    options.library = KORVEL_TEST_SIM_LIBRARY;
    return options;
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return predicate();
}

TEST(MeterWorkerSampler, RunsOnItsPeriodOnlyWhileAskedAndOnceOnRequest) {
    Session session(simulated());
    std::atomic<int> samples{0};
    std::atomic<int> withMeter{0};
    MeterWorker worker(session, ExchangeMode{}, [] {});
    worker.setSampler(
        [&](Meter* meter) {
            ++samples;
            if (meter != nullptr) {
                MeterReading reading{};
                if (session.api().mtrGetReading(meter->handle(), &reading) == 0) ++withMeter;
            }
        },
        50ms);
    worker.openNow();
    worker.start();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(samples.load(), 0);  // nobody asked
    worker.requestSample();
    EXPECT_TRUE(eventually([&] { return samples.load() == 1; }));

    worker.setSampling(true);
    std::this_thread::sleep_for(520ms);
    worker.setSampling(false);
    const int taken = samples.load() - 1;
    EXPECT_GE(taken, 3);   // 10 periods of 50 ms, fewer on a busy machine
    EXPECT_LE(taken, 12);  // and never a burst
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(samples.load(), taken + 1);
    EXPECT_EQ(withMeter.load(), samples.load());
    EXPECT_EQ(worker.exchanges(), static_cast<std::uint64_t>(samples.load()));
    EXPECT_EQ(worker.failedExchanges(), 0u);
    worker.stop();
}

TEST(MeterWorkerSampler, ClientLinesKeepTheirAnswersBetweenSamplesAndTasks) {
    Session session(simulated());
    std::mutex mutex;
    std::vector<MeterWorker::Done> done;
    MeterWorker worker(session, ExchangeMode{}, [] {});
    worker.setSampler([&](Meter* meter) { ASSERT_NE(meter, nullptr); }, 1ms);
    worker.openNow();
    worker.start();
    worker.setSampling(true);
    for (int i = 0; i < 50; ++i) {
        worker.submit(1, i % 2 == 0 ? "*IDN?" : ":SENS:FLUX:RANG?");
        worker.post([](Meter* meter) { ASSERT_NE(meter, nullptr); });
    }
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        worker.takeDone(&done);
        return done.size() == 50;
    }));
    for (std::size_t i = 0; i < done.size(); ++i) {
        ASSERT_TRUE(done[i].answered);
        if (i % 2 == 0)
            EXPECT_EQ(done[i].response, "KORVEL,KV-100,KV0001,1.02");
        else
            EXPECT_EQ(done[i].response.size(), 1u);
    }
    worker.stop();
}

TEST(MeterWorkerSampler, ALostMeterIsCountedReopenedAndTasksSeeItAway) {
    Session session(simulated());
    MeterWorker worker(session, ExchangeMode{}, [] {});
    std::atomic<int> away{0};
    worker.setSampler(
        [&](Meter* meter) {
            if (meter == nullptr) {
                ++away;
                return;
            }
            MeterReading reading{};
            if (session.api().mtrGetReading(meter->handle(), &reading) != 0) meter->markLost();
        },
        20ms);
    worker.openNow();
    worker.start();
    worker.setSampling(true);
    EXPECT_TRUE(eventually([&] { return worker.exchanges() > 3; }));
    worker.requestCableToggle();  // the simulated cable pulled
    EXPECT_TRUE(eventually([&] { return !worker.connected(); }));
    EXPECT_EQ(worker.failedExchanges(), 1u);
    EXPECT_TRUE(eventually([&] { return away.load() > 2; }));
    auto seen = std::make_shared<std::promise<bool>>();
    worker.post([seen](Meter* meter) { seen->set_value(meter != nullptr); });
    EXPECT_FALSE(seen->get_future().get());
    worker.requestCableToggle();  // and plugged back in
    EXPECT_TRUE(eventually([&] { return worker.connected(); }, 10000ms));
    const auto before = worker.exchanges();
    EXPECT_TRUE(eventually([&] { return worker.exchanges() > before + 2; }));
    EXPECT_EQ(worker.failedExchanges(), 1u);
    worker.stop();
}

// The bench behind --simulate: the run's first open starts the cable timer
// for that meter only, and a seat pulls and replugs the meter it saw last.
TEST(SimBench, FirstOpenArmsItsMeterOnlyAndASeatTogglesItsOwnCable) {
    MeterOptions options = simulated();
    options.meters = 3;
    options.unplugAfter = 0;  // pulled at once
    Session session(options);
    ASSERT_NE(session.bench(), nullptr);
    korvel::cli::SimBench& bench = *session.bench();
    const auto answers = [&](const Meter& meter) {
        unsigned int range = 0;
        return session.api().mtrGetRange(meter.handle(), &range) == 0;
    };
    Meter second = session.openSerial("KV0002");
    EXPECT_EQ(bench.indexOf(second), 1);
    EXPECT_FALSE(answers(second));  // its cable went with the open
    Meter third = session.openSerial("KV0003");
    EXPECT_EQ(bench.indexOf(third), 2);
    EXPECT_TRUE(answers(third));  // armed once per run

    const auto seat = bench.seat();
    seat->opened(third);
    EXPECT_FALSE(seat->toggleCable().pluggedBack);
    EXPECT_FALSE(answers(third));
    EXPECT_TRUE(seat->toggleCable().pluggedBack);
    Meter again = session.openSerial("KV0003");  // a new connection after the replug
    EXPECT_TRUE(answers(again));
    EXPECT_EQ(bench.indexOf(second), -1);  // a dead handle is no meter's
}

}  // namespace
