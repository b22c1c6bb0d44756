// SCPI lines and the console self-test through the shipped library, over
// Debian's libusb-0.1, against the simulated meter on emulated usbfs.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/usbfs/usbfs_fixture.h"

namespace korvel::test {
namespace {

using sim::UsbfsEvent;

class Scpi : public UsbfsTest {
protected:
    std::string run(MeterHandle h, const char* line) {
        char reply[128] = {};
        EXPECT_EQ(scpiCommand(h, line, reply, sizeof reply), 0);
        return reply;
    }
};

TEST_F(Scpi, RepresentativeLines) {
    auto meter = attachMeter(1);
    meter->setField({0.0123});
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    ASSERT_EQ(run(h, ":SYST:CLE;*CLS"), "");

    const struct {
        const char* line;
        const char* reply;
        int exchanges;
    } cases[] = {
        {"*IDN?", "KORVEL,KV-100,KV0001,1.02", 1},
        {"*opt?", "HP-100 AXIAL,P-10001", 1},
        {":MEAS:FLUX?", "123.0G", 1},
        {":UNIT:FLUX:DC:TESL;:MEAS:FLUX?", "0.01230T", 2},
        {":UNIT:FLUX?", "DC TESLA", 1},
        {":SENS:FLUX:RANG 1;:SENS:FLUX:RANG?", "1", 2},
        {":SENS:FLUX:RANG 3", "Error: [0-2]", 1},  // posts -120
        {"*ESE 36;*ESE?", "036", 2},
        {"FOO", "Unknown Cmd: FOO", 1},  // posts -100
        {":SYST:ERR?;:SYST:ERR?;:SYST:ERR?", "-120, NUMERIC DATA ERROR;-100, COMMAND ERROR;0, NO ERROR", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        cable->clearLog();
        EXPECT_EQ(run(h, c.line), c.reply);
        EXPECT_EQ(eventsOf(UsbfsEvent::Out).size(), static_cast<std::size_t>(c.exchanges));
    }
    const auto s = meter->snapshot().settings;
    EXPECT_EQ(s.units, 1);
    EXPECT_EQ(s.range, 1);
    EXPECT_EQ(meter->registers(0).enable, 36);
}

TEST_F(Scpi, AFailedExchangeEndsTheConnectionForTheRestOfTheLine) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    const MeterHandle h = open();
    ASSERT_NE(h, 0U);
    meter->injectFault(sim::Fault::BadChecksum, 1);
    cable->clearLog();
    EXPECT_EQ(run(h, ":MEAS:FLUX?;*IDN?"), "USB Connection Problem;USB Connection Problem");
    EXPECT_EQ(eventsOf(UsbfsEvent::Out).size(), 1U);  // the second piece met a dead handle
    EXPECT_FALSE(cable->claimed(index));
}

TEST_F(Scpi, SelfTestOpensAsksAndSwitchesTheOutput) {
    auto meter = attachMeter(1);
    // The operator's key press.
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(write(keys[1], "\n", 1), 1);
    close(keys[1]);
    const int savedStdin = dup(STDIN_FILENO);
    dup2(keys[0], STDIN_FILENO);
    close(keys[0]);

    testing::internal::CaptureStdout();
    mbRunTest();
    const std::string out = testing::internal::GetCapturedStdout();
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);

    const std::string opened = "hit <CR> to test unit 0 > unit 0 opened successfully with handle == 0x";
    ASSERT_EQ(out.compare(0, opened.size(), opened), 0) << out;
    const std::string handle = out.substr(opened.size(), 8);
    EXPECT_EQ(handle.find_first_not_of("0123456789abcdef"), std::string::npos) << handle;
    EXPECT_EQ(out.substr(opened.size() + 8),
              "\nresult: KORVEL,KV-100,KV0001,1.02\nresult: \nresult: \nclosing unit 0\n");
    EXPECT_EQ(meter->snapshot().settings.analogOut, 1);

    // Output 0, then a second later output 1.
    std::vector<UsbfsEvent> switches;
    for (const auto& e : eventsOf(UsbfsEvent::Out))
        if (e.data[2] == 0x1B) switches.push_back(e);
    ASSERT_EQ(switches.size(), 2U);
    EXPECT_EQ(switches[0].data[4], 0);
    EXPECT_EQ(switches[1].data[4], 1);
    EXPECT_GE(switches[1].timeNs - switches[0].timeNs, 1000000000LL);
    EXPECT_FALSE(cable->claimed(0));
}

}  // namespace
}  // namespace korvel::test
