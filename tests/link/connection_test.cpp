// Opening, closing and the exchange, replayed against scripted meters on the
// virtual bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "korvel.h"
#include "tests/support/bus_fixture.h"
#include "tests/support/cpu_time.h"

namespace korvel {
namespace {

using Kind = sim::CallRecord::Kind;
using test::ScriptedBus;

using test::cpuSeconds;

using Open = ScriptedBus;

TEST_F(Open, FirstMeterIsClaimedDrainedAndVerifiedWithARangeQuery) {
    bus.attach(nullptr, 0x046D, 0xC52B);  // not a meter: never opened
    test::ScriptedPeer& meter = attachMeter();
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0U);
    EXPECT_EQ(meter.requestCount(), 1);
    EXPECT_EQ(meter.request(0).substr(0, 17), "01 2B 1A 00 B0 7A");

    const auto log = calls();
    ASSERT_GE(log.size(), 9U);
    EXPECT_EQ(log[0].kind, Kind::SetDebug);
    EXPECT_EQ(log[0].argument, 0);
    EXPECT_EQ(log[1].kind, Kind::Init);
    EXPECT_EQ(log[2].kind, Kind::FindBusses);
    EXPECT_EQ(log[3].kind, Kind::FindDevices);
    EXPECT_EQ(log[4].kind, Kind::GetBusses);
    EXPECT_EQ(log[5].kind, Kind::Open);
    EXPECT_EQ(log[5].device, 1);
    EXPECT_EQ(log[6].kind, Kind::SetConfiguration);
    EXPECT_EQ(log[6].argument, 1);
    EXPECT_EQ(log[7].kind, Kind::ClaimInterface);
    EXPECT_EQ(log[8].kind, Kind::BulkRead);  // the drain of stale answers
    EXPECT_EQ(log[8].argument, 0x81);
    EXPECT_LT(log[8].timeout, 100);
    closeKorvel(h);
}

TEST_F(Open, NoMeterGivesZeroAfterThreeSleepingAttempts) {
    bus.attach(nullptr, 0x1234, 0x5678);
    const auto start = std::chrono::steady_clock::now();
    const double cpu = cpuSeconds();
    EXPECT_EQ(openKorvel(), 0U);
    const auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_GE(wall, std::chrono::milliseconds(1500));
    // The waits sleep: a failed open costs next to no processor time.
    EXPECT_LT(cpuSeconds() - cpu, 0.5);
}

TEST_F(Open, SilentMeterIsTriedOncePerAttemptAndClosedEachTime) {
    test::ScriptedPeer& meter = attachMeter();
    for (int i = 0; i < 3; ++i) meter.silence();
    EXPECT_EQ(openKorvel(), 0U);
    int opens = 0, claims = 0, releases = 0, closes = 0;
    for (const auto& c : calls()) {
        opens += c.kind == Kind::Open;
        claims += c.kind == Kind::ClaimInterface && c.result == 0;
        releases += c.kind == Kind::ReleaseInterface;
        closes += c.kind == Kind::Close;
    }
    EXPECT_EQ(opens, 3);
    EXPECT_EQ(claims, 3);
    EXPECT_EQ(releases, 3);
    EXPECT_EQ(closes, 3);
    EXPECT_EQ(bus.openHandles(), 0);
}

TEST_F(Open, SilentFirstMeterEndsTheAttemptSoALaterMeterIsNotReached) {
    test::ScriptedPeer& first = attachMeter();
    test::ScriptedPeer& second = attachMeter();
    for (int i = 0; i < 3; ++i) first.silence();
    EXPECT_EQ(openKorvel(), 0U);
    EXPECT_EQ(second.requestCount(), 0);
}

TEST_F(Open, RefusedClaimPassesToTheNextMeter) {
    test::ScriptedPeer& first = attachMeter();
    test::ScriptedPeer& second = attachMeter();
    first.refuseClaim = true;
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0U);
    EXPECT_EQ(first.requestCount(), 0);
    EXPECT_EQ(second.requestCount(), 1);
    closeKorvel(h);
}

TEST_F(Open, UnopenableDeviceIsSkipped) {
    test::ScriptedPeer& first = attachMeter();
    attachMeter();
    first.failOpen = true;
    const MeterHandle h = openKorvel();
    EXPECT_NE(h, 0U);
    closeKorvel(h);
}

TEST_F(Open, TwoMetersFirstWinsAndASecondOpenGetsTheOther) {
    test::ScriptedPeer& first = attachMeter();
    test::ScriptedPeer& second = attachMeter();
    const MeterHandle a = openKorvel();
    const MeterHandle b = openKorvel();
    ASSERT_NE(a, 0U);
    ASSERT_NE(b, 0U);
    EXPECT_NE(a, b);
    unsigned range = 0;
    first.answerData(0x1A, "01");
    second.answerData(0x1A, "02");
    ASSERT_EQ(mtrGetRange(b, &range), 0);
    EXPECT_EQ(range, 2U);
    ASSERT_EQ(mtrGetRange(a, &range), 0);
    EXPECT_EQ(range, 1U);
    EXPECT_EQ(openKorvel(), 0U);  // both claimed
    closeKorvel(a);
    closeKorvel(b);
}

TEST_F(Open, StaleAnswerOfATimedOutReadIsDrainedBeforeVerification) {
    test::ScriptedPeer& meter = attachMeter();
    MeterHandle h = openKorvel();
    // The meter answers only after the read gave up: the exchange fails and
    // the late answer waits on the endpoint.
    meter.answerData(0x10, "00 11 00 00 00 00 00");
    meter.answerRaw("01 2B 10 00 10 7C", 60, sim::Delivery::Late);
    MeterReading r{};
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, 0x11);
    EXPECT_EQ(mtrGetReading(h, &r), -1);
    EXPECT_EQ(bus.pendingAnswers(0), 1);

    h = openKorvel();
    ASSERT_NE(h, 0U);
    EXPECT_EQ(bus.pendingAnswers(0), 0);
    meter.answerData(0x10, "01 00 00 00 00 00 00");
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, 256);  // this request's answer, not the stale one
    closeKorvel(h);
}

using Exchange = ScriptedBus;

TEST_F(Exchange, FailureReleasesThenClosesAndKillsTheHandle) {
    struct Fault {
        const char* name;
        void (*arrange)(test::ScriptedPeer&);
    } faults[] = {
        {"silence", [](test::ScriptedPeer& m) { m.silence(); }},
        {"refused write", [](test::ScriptedPeer& m) { m.refuseWrite(); }},
        {"bad checksum", [](test::ScriptedPeer& m) { m.answerRaw("01 2B 1A 01 02 00 00"); }},
        {"count over 59", [](test::ScriptedPeer& m) { m.answerRaw("01 2B 1A 3C"); }},
        {"short read", [](test::ScriptedPeer& m) { m.answerRaw("01 2B 1A 00 B0 7A", 5); }},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        bus.reset();
        bus.setTimeScale(0.01);
        bus.setLatency(0);  // exchanges answered at once
        meters.clear();
        test::ScriptedPeer& meter = attachMeter();
        const MeterHandle h = openFirst();
        f.arrange(meter);
        unsigned range = 77;
        EXPECT_EQ(mtrGetRange(h, &range), -1);
        EXPECT_EQ(range, 77U);  // untouched
        const auto kinds = callKinds();
        ASSERT_GE(kinds.size(), 2U);
        EXPECT_EQ(kinds[kinds.size() - 2], Kind::ReleaseInterface);
        EXPECT_EQ(kinds.back(), Kind::Close);
        EXPECT_FALSE(bus.claimed(0));

        // A dead handle never reaches USB again.
        bus.clearLog();
        EXPECT_EQ(mtrGetRange(h, &range), -1);
        closeKorvel(h);
        EXPECT_EQ(bus.callCount(), 0);
    }
}

TEST_F(Exchange, HandlesThatWereNeverIssuedOrAreClosedDoNothing) {
    attachMeter();
    const MeterHandle h = openFirst();
    unsigned v = 0;
    for (MeterHandle bogus : {0U, 1U, 0xFFFFFFFFU, h + 1, h ^ 0x100U}) {
        EXPECT_EQ(mtrGetRange(bogus, &v), -1) << bogus;
        closeKorvel(bogus);
    }
    EXPECT_EQ(bus.callCount(), 0);
    closeKorvel(h);
    EXPECT_EQ(callKinds(), (std::vector<Kind>{Kind::ReleaseInterface, Kind::Close}));
    bus.clearLog();
    EXPECT_EQ(mtrGetRange(h, &v), -1);
    closeKorvel(h);
    vb_closeKorvel(h);
    EXPECT_EQ(bus.callCount(), 0);
}

TEST_F(Exchange, ADeadHandleNeverReachesTheNextConnectionInItsSlot) {
    attachMeter();
    const MeterHandle old = openFirst();
    closeKorvel(old);
    for (int i = 0; i < 200; ++i) {  // cycle through every slot more than once
        const MeterHandle h = openKorvel();
        ASSERT_NE(h, 0U);
        ASSERT_NE(h, old);
        unsigned v;
        EXPECT_EQ(mtrGetRange(old, &v), -1);
        EXPECT_EQ(mtrGetRange(h, &v), 0);
        closeKorvel(h);
    }
}

TEST_F(Exchange, RawTransactionSendsTheCallersBytesAsTheyStand) {
    test::ScriptedPeer& meter = attachMeter();
    const MeterHandle h = openFirst();
    MB_PDU request{}, response{};
    test::parseHex("01 2B 30 00 FF FF", request.frame, 64);  // wrong checksum, sent anyway
    request.length = 200;
    meter.answerData(0x30, "C4");
    ASSERT_EQ(mtrTransaction(h, &request, &response), 0);
    EXPECT_EQ(meter.lastRequest(7), "01 2B 30 00 FF FF 00");
    EXPECT_EQ(response.length, 7);
    EXPECT_EQ(response.frame[4], 0xC4);

    response.length = 99;
    meter.silence();
    EXPECT_EQ(mtrTransaction(h, &request, &response), -1);
    EXPECT_EQ(response.length, 99);  // no validation after a failed read
    EXPECT_EQ(mtrTransaction(h, nullptr, &response), -1);
}

TEST_F(Exchange, ThreadsSharingAHandleEachGetTheirOwnAnswer) {
    // Each request carries its own tag (the probe data index); the peer echoes
    // it back, so a mixed-up response shows as a wrong value.
    struct Echo : sim::Peer {
        std::atomic<int> seen{0};
        bool receive(const std::uint8_t* q, int, sim::Reply* r) override {
            ++seen;
            *r = sim::Reply{};
            const std::uint8_t header[] = {0x01, 0x2B, q[2], 0x01, q[4]};
            std::memcpy(r->bytes, header, 5);
            const std::uint16_t crc = mbChecksum(r->bytes, 5);
            r->bytes[5] = static_cast<std::uint8_t>(crc >> 8);
            r->bytes[6] = static_cast<std::uint8_t>(crc);
            r->length = 60;
            return true;
        }
    };
    auto echo = std::make_shared<Echo>();
    bus.attach(echo, wire::kVendorId, wire::kProductId);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0U);
    std::atomic<int> wrong{0};
    auto hammer = [&](int seed) {
        for (int i = 0; i < 2000; ++i) {
            const int tag = (seed * 31 + i) & 0xFF;
            unsigned value = 9999;
            if (mtrGetProbeData(h, tag, &value) != 0 || value != static_cast<unsigned>(tag)) ++wrong;
        }
    };
    std::thread a(hammer, 1), b(hammer, 2), c(hammer, 3);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(echo->seen.load(), 1 + 3 * 2000);
    closeKorvel(h);
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

TEST_F(Open, AMeterAttachedDuringTheAttemptsIsNotSeen) {
    // The bus lists are gathered once per open: a meter plugged in while the
    // open waits between attempts waits for the next open.
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        attachMeter();
    });
    EXPECT_EQ(openKorvel(), 0U);
    late.join();
    const MeterHandle h = openKorvel();
    EXPECT_NE(h, 0U);
    closeKorvel(h);
}

}  // namespace
}  // namespace korvel
