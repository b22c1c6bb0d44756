// The exchange path allocates nothing: every operator new in this program is
// counted, and a burst of meter commands must not add to the count.
#include <gtest/gtest.h>

#include "korvel.h"
#include "tests/support/bus_fixture.h"
#include "tests/support/count_allocations.h"

using korvel::test::allocations;

namespace korvel {
namespace {

using NoAllocation = test::ScriptedBus;

TEST_F(NoAllocation, MeterCommandsAndFailuresAllocateNothing) {
    test::ScriptedPeer& meter = attachMeter();
    const MeterHandle h = openFirst();
    MeterReading r;
    unsigned u;
    char info[40];
    const long before = allocations.load();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(mtrGetReading(h, &r), 0);
        ASSERT_EQ(mtrSetRange(h, 1), 0);
        ASSERT_EQ(mtrGetMeterInfo(h, info), 0);
        ASSERT_EQ(mtrGetEventRegister(h, 1, &u), 0);
    }
    meter.answerRaw("01 2B 10 00 00 00");  // the failure path too
    EXPECT_EQ(mtrGetReading(h, &r), -1);
    EXPECT_EQ(mtrGetReading(h, &r), -1);  // and the dead-handle path
    EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
}  // namespace korvel
