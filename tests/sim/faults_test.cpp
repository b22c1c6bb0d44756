// What each fault does to the meter's answer, seen at the frame level.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tests/sim/meter_harness.h"

namespace korvel::test {
namespace {

using sim::Fault;

class Faults : public MeterHarness {
protected:
    // A fresh GetRange answer and the same request under a fault.
    Answer clean() { return send(0x1A); }
    Answer faulty(Fault f) {
        meter.injectFault(f, 1);
        return send(0x1A);
    }
};

// The validator's rule: the byte count is at most 59, the whole frame lies
// within the bytes delivered, and the checksum, high byte first, matches.
bool validates(const Answer& a) {
    const int n = a.reply.bytes[3];
    if (n > 59 || n + 6 > a.reply.length || a.reply.length > 60) return false;
    const unsigned crc = bitwiseCrc(a.reply.bytes, 4 + n);
    return a.reply.bytes[4 + n] == (crc >> 8) && a.reply.bytes[5 + n] == (crc & 0xFF);
}

TEST_F(Faults, EachFaultSpoilsTheAnswerItsOwnWay) {
    const Answer good = clean();
    ASSERT_TRUE(validates(good));
    struct Case {
        Fault fault;
        bool accepted;
        sim::Delivery delivery;
        bool valid;
    };
    const Case cases[] = {
        {Fault::Silence, true, sim::Delivery::Never, false},
        {Fault::Late, true, sim::Delivery::Late, true},
        {Fault::WriteFail, false, sim::Delivery::Now, false},
        {Fault::BadChecksum, true, sim::Delivery::Now, false},
        {Fault::ChecksumLowFirst, true, sim::Delivery::Now, false},
        {Fault::CountOver59, true, sim::Delivery::Now, false},
        {Fault::Count55To59, true, sim::Delivery::Now, false},
        {Fault::OtherCommand, true, sim::Delivery::Now, true},
        {Fault::ShortRead, true, sim::Delivery::Now, false},
        {Fault::Unplug, true, sim::Delivery::Never, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        const Answer a = faulty(c.fault);
        EXPECT_EQ(a.accepted, c.accepted);
        if (!a.accepted) continue;
        EXPECT_EQ(a.reply.delivery, c.delivery);
        if (c.delivery == sim::Delivery::Never) continue;
        EXPECT_EQ(validates(a), c.valid) << a.hex(8);
        EXPECT_TRUE(validates(clean())) << "one exchange only";
    }
    EXPECT_EQ(meter.snapshot().counters.faults, 10);
}

TEST_F(Faults, DetailsOfTheSpoiledFrames) {
    const Answer good = clean();  // 01 2B 1A 01 00 73 30
    const Answer low = faulty(Fault::ChecksumLowFirst);
    EXPECT_EQ(low.d(1), good.d(2));
    EXPECT_EQ(low.d(2), good.d(1));
    for (int i = 0; i < 20; ++i) {
        const Answer over = faulty(Fault::CountOver59);
        EXPECT_GE(over.count(), 60);
        const Answer within = faulty(Fault::Count55To59);
        EXPECT_GE(within.count(), 55);
        EXPECT_LE(within.count(), 59);
        const Answer cut = faulty(Fault::ShortRead);
        EXPECT_GE(cut.reply.length, 4);
        EXPECT_LT(cut.reply.length, 7);
        const Answer flipped = faulty(Fault::BadChecksum);
        EXPECT_EQ(__builtin_popcount((flipped.d(1) ^ good.d(1)) | ((flipped.d(2) ^ good.d(2)) << 8)), 1);
    }
    const Answer other = faulty(Fault::OtherCommand);
    EXPECT_NE(other.code(), 0x1A);
    EXPECT_TRUE(other.wellFormed());
    EXPECT_EQ(other.d(0), good.d(0)) << "same data, another code";
}

// Equal checksum bytes read the same either way round; the fault still
// delivers a frame the validator refuses.
TEST_F(Faults, LowFirstWithEqualChecksumBytesStillFails) {
    // GetNextError with -100 queued answers FF 9C ...; search a frame whose
    // two checksum bytes are equal among memory reads of one byte.
    for (int value = 0; value < 256; ++value) {
        const std::uint8_t b = static_cast<std::uint8_t>(value);
        meter.writeEeprom(0x300, &b, 1);
        const Answer a = send(0x14, {0x03, 0x00, 0x00, 0x01});
        if (a.d(5) != a.d(6)) continue;
        meter.injectFault(Fault::ChecksumLowFirst, 1);
        const Answer spoiled = send(0x14, {0x03, 0x00, 0x00, 0x01});
        EXPECT_FALSE(validates(spoiled));
        return;
    }
    GTEST_SKIP() << "no frame with equal checksum bytes among these";
}

TEST_F(Faults, SilenceAndWriteFailureLoseTheRequest) {
    meter.injectFault(Fault::WriteFail, 1);
    send(0x19, {2});
    meter.injectFault(Fault::Silence, 1);
    send(0x19, {2});
    meter.injectFault(Fault::Unplug, 1);
    send(0x19, {2});
    EXPECT_EQ(settings().range, 0);
    meter.injectFault(Fault::Late, 1);
    send(0x19, {2});
    EXPECT_EQ(settings().range, 2) << "a late answer was still acted on";
}

TEST_F(Faults, OneShotCountAndClearing) {
    meter.injectFault(Fault::BadChecksum, 3);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(validates(clean()));
    EXPECT_TRUE(validates(clean()));
    meter.injectFault(Fault::BadChecksum, 3);
    meter.injectFault(Fault::None, 5);
    EXPECT_TRUE(validates(clean()));
    meter.injectFault(Fault::BadChecksum, 0);
    EXPECT_TRUE(validates(clean()));
}

TEST_F(Faults, UnplugFaultCallsTheCablesHandler) {
    std::atomic<int> calls{0};
    meter.setUnplugHandler([&calls] { ++calls; });
    faulty(Fault::Unplug);
    clean();
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(Faults, RandomFaultsAreSeededAndNearTheirProbability) {
    auto pattern = [](std::uint32_t seed) {
        sim::Meter m(1);
        m.setRandomFaults(0.25, seed);
        std::vector<int> kinds;
        const std::uint8_t request[60] = {0x01, 0x2B, 0x1A, 0x00, 0xB0, 0x7A};
        for (int i = 0; i < 2000; ++i) {
            sim::Reply r;
            const long long before = m.snapshot().counters.faults;
            const bool accepted = m.receive(request, 60, &r);
            kinds.push_back(m.snapshot().counters.faults != before ? (accepted ? 1 : 2) : 0);
        }
        return kinds;
    };
    const auto a = pattern(11);
    EXPECT_EQ(pattern(11), a);
    EXPECT_NE(pattern(12), a);
    int faulted = 0, writeFails = 0;
    for (int k : a) {
        faulted += k != 0;
        writeFails += k == 2;
    }
    EXPECT_NEAR(faulted, 500, 70);
    EXPECT_GT(writeFails, 20) << "every kind is drawn, write failures among them";
    // Probability 0 turns it off.
    meter.setRandomFaults(0.0, 1);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(validates(clean()));
}

}  // namespace
}  // namespace korvel::test
