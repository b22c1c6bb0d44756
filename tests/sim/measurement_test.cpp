// The field source and how the meter turns it into counts.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/meter/field.h"
#include "tests/sim/meter_harness.h"

namespace korvel::test {
namespace {

using Measurement = MeterHarness;

// Counts for every units and range, worked out from the resolutions
// (range 0: 0.1 G, 1e-5 T, 10 A/m; range 1: 1 G, 1e-4 T, 100 A/m; range 2:
// 10 G, 1e-3 T, 1000 A/m; mu0 = 1.25663706212e-6).
TEST_F(Measurement, CountsForEveryUnitsAndRange) {
    struct Case {
        double tesla;
        std::uint8_t units, range;
        int counts;
    };
    const Case cases[] = {
        {0.01234, 0, 0, 1234},  {0.01234, 0, 1, 123},   {0.01234, 0, 2, 12},
        {0.01234, 1, 0, 1234},  {0.01234, 1, 1, 123},   {0.01234, 1, 2, 12},
        {0.01234, 2, 0, 982},   {0.01234, 2, 1, 98},    {0.01234, 2, 2, 10},
        {-0.2, 0, 0, -20000},   {-0.2, 1, 1, -2000},    {-0.2, 2, 2, -159},
        {2.5, 0, 2, 2500},      {2.5, 1, 2, 2500},      {0.0314159, 2, 1, 250},
        {0.000015, 0, 0, 2},    {-0.000015, 1, 0, -2},  {0.0, 2, 0, 0},
        // The last count of each range, and one past it (saturated).
        {0.32767, 0, 0, 32767}, {0.32768, 0, 0, 32767}, {3.2767, 1, 1, 32767},
        {-40.0, 1, 2, -32767},  {0.4118, 2, 0, 32767},  {-0.412, 2, 0, -32767},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tesla << " T, units " << int{c.units} << ", range "
                                        << int{c.range});
        field(c.tesla);
        send(0x12, {c.units, 0});
        send(0x19, {c.range});
        const auto [counts, range] = reading();
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(range, c.range);
    }
    EXPECT_TRUE(errors().empty());
}

// Auto-range picks the finest range that does not overflow.
TEST_F(Measurement, AutoRangePicksTheFinestRangeThatHolds) {
    struct Case {
        double tesla;
        std::uint8_t units;
        int counts, range;
    };
    const Case cases[] = {
        {0.0, 0, 0, 0},          {0.32767, 0, 32767, 0},   {0.3277, 0, 3277, 1},
        {-0.5, 1, -5000, 1},     {3.2767, 1, 32767, 1},    {3.28, 1, 3280, 2},
        {32.767, 0, 32767, 2},   {40.0, 0, 32767, 2},      {-50.0, 2, -32767, 2},   {-40.0, 2, -31831, 2},
        {0.41, 2, 32627, 0},     {0.42, 2, 3342, 1},       {4.2, 2, 3342, 2},
    };
    send(0x20, {1});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tesla << " T, units " << int{c.units});
        field(c.tesla);
        send(0x12, {c.units, 0});
        const auto [counts, range] = reading();
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(range, c.range);
        EXPECT_EQ(send(0x1A).d(0), c.range) << "the range query follows auto-range";
    }
}

TEST_F(Measurement, RangeChangeUnderAutoRangeIsAnOperationEvent) {
    settle();
    send(0x2B, {2});
    field(1.0);
    reading();
    EXPECT_EQ(send(0x2B, {2}).d(0) & 0x04, 0x04);
    reading();
    EXPECT_EQ(send(0x2B, {2}).d(0) & 0x04, 0x00);  // same range: no news
}

TEST_F(Measurement, HoldFreezesTheReading) {
    field(0.01);
    send(0x26, {1});
    field(0.02);
    EXPECT_EQ(reading().first, 1000);
    send(0x28);  // reset hold: holds the present value
    field(0.03);
    EXPECT_EQ(reading().first, 2000);
    send(0x26, {0});
    EXPECT_EQ(reading().first, 3000);
    // Held values follow a change of units (the display re-renders).
    send(0x26, {1});
    send(0x12, {1, 0});
    field(0.0);
    EXPECT_EQ(reading().first, 3000);
}

TEST_F(Measurement, PeakAndValleyHold) {
    send(0x20, {0});
    field(0.010);
    send(0x26, {2});  // largest magnitude
    for (double t : {0.012, -0.015, 0.011}) {
        field(t);
        reading();
    }
    EXPECT_EQ(reading().first, -1500);
    send(0x26, {0});
    field(0.010);
    send(0x26, {3});  // smallest magnitude
    for (double t : {0.012, -0.004, 0.011}) {
        field(t);
        reading();
    }
    EXPECT_EQ(reading().first, -400);
}

TEST_F(Measurement, RelativeSubtractsTheReferenceTakenWhenSwitchedOn) {
    field(0.010);
    send(0x21, {1});
    EXPECT_EQ(reading().first, 0);
    field(0.0115);
    EXPECT_EQ(reading().first, 150);
    field(0.005);
    EXPECT_EQ(reading().first, -500);
    send(0x21, {0});
    EXPECT_EQ(reading().first, 500);
    // Mode 2 goes back to the stored reference, mode 1 takes a new one.
    send(0x21, {2});
    EXPECT_EQ(reading().first, -500);
    send(0x21, {1});
    EXPECT_EQ(reading().first, 0);
    // Relative and hold: the held value is the relative one.
    field(0.006);
    send(0x26, {1});
    field(0.1);
    EXPECT_EQ(reading().first, 100);
}

TEST_F(Measurement, AcModeReportsTheRmsOfTheAcComponent) {
    sim::FieldSource s;
    s.dc = 0.05;
    s.acAmplitude = 0.01 * std::sqrt(2.0);
    s.acFrequency = 60.0;
    meter.setField(s);
    send(0x12, {0, 1});
    EXPECT_EQ(reading().first, 1000);  // 100 G RMS; the DC part is not seen
    send(0x12, {0, 0});
    EXPECT_EQ(reading(), (std::pair<int, int>{5000, 0}));  // the AC part averages out
    EXPECT_EQ(send(0x23).d16(0), 60u);
    s.acAmplitude = 0.0;
    meter.setField(s);
    EXPECT_EQ(send(0x23).d16(0), 0u) << "no AC component, no frequency";
}

TEST_F(Measurement, NoiseIsSeededAndOfTheRequestedSize) {
    auto series = [this](std::uint32_t seed) {
        sim::FieldSource s;
        s.dc = 0.01;
        s.noise = 0.0001;  // 1 G: 10 counts in range 0
        s.seed = seed;
        meter.setField(s);
        std::vector<int> out;
        for (int i = 0; i < 400; ++i) out.push_back(reading().first);
        return out;
    };
    const auto a = series(7);
    EXPECT_EQ(series(7), a);
    EXPECT_NE(series(8), a);
    double sum = 0, squares = 0;
    for (int v : a) {
        sum += v;
        squares += double(v) * v;
    }
    const double n = static_cast<double>(a.size());
    const double mean = sum / n;
    const double sd = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(mean, 1000, 2.0);
    EXPECT_NEAR(sd, 10, 1.5);
}

TEST_F(Measurement, DriftWandersSlowlyWithinItsPeak) {
    sim::FieldSource s;
    s.dc = 0.01;
    s.drift = 0.001;
    meter.setField(s);
    int lowest = 1 << 20, highest = -(1 << 20);
    int previous = 0;
    for (int second = 0; second <= 1200; second += 5) {
        meter.setClock(second);
        const int counts = reading().first;
        EXPECT_GE(counts, 900);
        EXPECT_LE(counts, 1100);
        if (second > 0) {
            EXPECT_LE(std::abs(counts - previous), 20) << "a slow wander, not a jump";
        }
        previous = counts;
        lowest = std::min(lowest, counts);
        highest = std::max(highest, counts);
    }
    EXPECT_GT(highest - lowest, 100) << "it does wander";
}

TEST_F(Measurement, AutoZeroNullsASmallFieldOnly) {
    field(0.0004);
    send(0x20, {0});
    send(0x1F);
    EXPECT_EQ(reading().first, 0);
    field(0.0104);
    EXPECT_EQ(reading().first, 1000);
    EXPECT_EQ(meter.snapshot().counters.autoZeros, 1);
    settle();
    send(0x1F);  // 10 mT is no zero chamber: refused, offset kept
    EXPECT_EQ(errors(), std::vector<std::int16_t>{-224});
    EXPECT_EQ(reading().first, 1000);
}

TEST_F(Measurement, LimitConditionWhenOnAndExceeded) {
    settle();
    send(0x19, {0});
    field(0.31);  // 31000 counts, above the stored limit of 30000
    reading();
    EXPECT_EQ(meter.registers(1).condition & 0x04, 0);
    send(0x24, {1});
    reading();
    EXPECT_EQ(meter.registers(1).condition & 0x04, 0x04);
    field(0.29);
    reading();
    EXPECT_EQ(meter.registers(1).condition & 0x04, 0);
}

// The conversion on its own, including inputs no field source should give.
// The scale codes with a resolution of their own; the expected counts come
// from H = B / mu0 (mu0 = 4 pi 1e-7) and the count sizes the display implies
// (scale 5 range 2 A/m: 1 kA/m; scale 4: 0.1 kA/m; scale 2 range 1: 1 mG,
// 1e-7 T, 0.01 A/m). Codes without a row of their own count as code 0.
TEST_F(Measurement, ScaleCodesChooseTheirResolution) {
    struct Case {
        std::uint8_t scale, units, range;
        double tesla;
        int counts;
    };
    const double mu0 = 4e-7 * M_PI;
    const Case cases[] = {
        {5, 2, 2, 1.5507, static_cast<int>(std::lround(1.5507 / mu0 / 1000))},  // 1234
        {0, 2, 2, 1.5507, 1234},
        {4, 2, 2, 1.5507, static_cast<int>(std::lround(1.5507 / mu0 / 100))},   // 12340
        {4, 2, 1, 0.1, static_cast<int>(std::lround(0.1 / mu0 / 10))},          // 7958
        {5, 2, 1, 0.1, static_cast<int>(std::lround(0.1 / mu0 / 100))},         // 796
        {4, 2, 0, 0.01234, static_cast<int>(std::lround(0.01234 / mu0))},       // 9820
        {5, 2, 0, 0.01234, static_cast<int>(std::lround(0.01234 / mu0 / 10))},  // 982
        {2, 2, 1, 1e-4, static_cast<int>(std::lround(1e-4 / mu0 / 0.01))},      // 7958
        {2, 0, 1, 0.0001234, 1234},  // 1.234 G in thousandths
        {2, 1, 1, 0.0001234, 1234},  // 0.0001234 T in 1e-7 T
        {2, 0, 0, 0.01234, 1234},    // range 0 gauss has no scale-2 row
        {7, 2, 2, 1.5507, 1234},     // an unknown code: the plain resolution
        {5, 2, 2, 50.0, 32767},      // 39789 kA/m pins
        {5, 2, 2, -50.0, -32767},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tesla << " T, units " << int{c.units} << ", range "
                                        << int{c.range} << ", scale " << int{c.scale});
        meter.setScale(c.scale);
        field(c.tesla);
        send(0x12, {c.units, 0});
        send(0x19, {c.range});
        const Answer a = send(0x10);
        ASSERT_TRUE(a.wellFormed());
        EXPECT_EQ(static_cast<std::int16_t>(a.d16(0)), c.counts);
        EXPECT_EQ(a.d(6), c.scale) << "the scale code is sent as set";
        EXPECT_EQ(a.d(4) & 1, std::abs(c.counts) == 32767 ? 1 : 0) << "overrange bit";
    }
    // Auto-range looks for the finest range at the scale's resolution:
    // 12340 counts of 0.1 kA/m only fit range 2.
    meter.setScale(4);
    field(1.5507);
    send(0x12, {2, 0});
    send(0x20, {1});
    const auto [counts, range] = reading();
    EXPECT_EQ(range, 2);
    EXPECT_EQ(counts, 12340);
    EXPECT_TRUE(errors().empty());
}

TEST(FieldConversion, OddInputsSaturate) {
    EXPECT_TRUE(sim::toCounts(std::nan(""), 0, 0, true).overrange);
    EXPECT_EQ(sim::toCounts(INFINITY, 1, 0, false).value, 32767);
    EXPECT_EQ(sim::toCounts(-INFINITY, 1, 0, true).value, -32767);
    EXPECT_EQ(sim::toCounts(1.0, 7, 0, true).value, 0) << "unknown units give nothing";
}

}  // namespace
}  // namespace korvel::test
