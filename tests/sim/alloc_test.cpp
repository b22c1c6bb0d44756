// The simulated meter allocates nothing per exchange: every operator new in
// this program is counted while requests of every kind, faults included, go
// through the model and through the library over the virtual bus.
#include <gtest/gtest.h>

#include "korvel.h"
#include "korvel_sim.h"
#include "tests/sim/meter_harness.h"
#include "tests/support/count_allocations.h"

using korvel::test::allocations;

namespace korvel::test {
namespace {

using NoAllocation = MeterHarness;

TEST_F(NoAllocation, EveryCommandAndFaultInTheModel) {
    sim::FieldSource s;
    s.dc = 0.01;
    s.acAmplitude = 0.002;
    s.acFrequency = 50;
    s.noise = 1e-5;
    s.drift = 1e-4;
    meter.setField(s);
    meter.setUnplugHandler([] {});
    const long before = allocations.load();
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        send(c, {1, 0, 0x20, 0, 50, 0});
        send(c, {2, 0, 0, 0x03, 0xE8, 0});
    }
    for (int f = 1; f < sim::kFaultKinds; ++f) {
        meter.injectFault(static_cast<sim::Fault>(f), 1);
        send(0x10);
    }
    meter.setRandomFaults(0.5, 3);
    for (int i = 0; i < 200; ++i) send(0x10);
    EXPECT_EQ(allocations.load() - before, 0);
}

TEST(NoAllocationLibrary, ExchangesWithTheSimulatedMeter) {
    ASSERT_EQ(korvelSimReset(1), 1);
    korvelSimSetTimeScale(0.01);
    korvelSimSetLatency(0);  // exchanges answered at once
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    KorvelSimField field{};
    field.dc = 0.02;
    field.noise = 1e-5;
    korvelSimSetFieldSource(0, &field);
    MeterReading r;
    LcdSnapshot lcd;
    TransferInfo info;
    unsigned int count = 0, values[28];
    const long before = allocations.load();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(mtrGetReading(h, &r), 0);
        ASSERT_EQ(mtrGetLCDSnapshot(h, &lcd), 0);
        ASSERT_EQ(mtrStartDataTransfer(h, 1, 100, 10, &info), 0);
        ASSERT_EQ(mtrReadNextDataPacket(h, &count, values), 1);
    }
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_BAD_CHECKSUM, 1);
    EXPECT_EQ(mtrGetReading(h, &r), -1);
    EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
}  // namespace korvel::test
