// scpiCommand allocates nothing: every operator new of this program is
// counted while lines of every command family run, failures included.
#include <gtest/gtest.h>

#include "korvel.h"
#include "tests/support/bus_fixture.h"
#include "tests/support/count_allocations.h"

using korvel::test::allocations;

namespace korvel {
namespace {

using NoAllocation = test::ScriptedBus;

TEST_F(NoAllocation, ScpiLinesAllocateNothing) {
    test::ScriptedPeer& meter = attachMeter();
    const MeterHandle h = openFirst();
    const char* lines[] = {
        "*IDN?;*OPT?;*STB?;*ESE 32;*ESE?;*ESR?;*SRE?;*CLS;*OPC?",
        ":SYST:ERR?;:SYST:AREL:STAT?;:SYST:OUT 5;:SYST:KLOC X;:STAT:QUES:ENAB 300",
        ":UNIT:FLUX?;:UNIT:FLUX:DC:TESL;:SENS:FLUX:RANG 2;:SENS:FLUX:RANG?;:MEAS:FLUX?",
        ":DIAG:DAT:DAC 1 2;:DIAG:DAT:PROB? 3;:DIAG:DAT:FREQ?;:DIAG:DAT:ADC?;:DIAG:MUX:RANG 9",
        ":DIAG:DAT:EEPR 16 7;FOO;:SYST;*STB?;*STB?;*STB?;*STB?;*STB?;*STB?;*STB?;*STB?",
    };
    char reply[128];
    testing::internal::CaptureStdout();  // taken before counting: it allocates
    const long before = allocations.load();
    for (int i = 0; i < 20; ++i) {
        for (const char* line : lines) ASSERT_EQ(scpiCommand(h, line, reply, 128), 0);
        ASSERT_EQ(scpiCommand(h, ":DIAG:DAT:EEPR? 16", reply, 128), 0);
    }
    meter.answerRaw("01 2B 10 00 00 00");  // a failed exchange and the dead handle after it
    ASSERT_EQ(scpiCommand(h, ":MEAS:FLUX?;*IDN?", reply, 128), 0);
    EXPECT_STREQ(reply, "USB Connection Problem;USB Connection Problem");
    const long counted = allocations.load() - before;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(counted, 0);
}

}  // namespace
}  // namespace korvel
