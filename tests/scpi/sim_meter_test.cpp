// SCPI lines against the simulated meter: the settings, registers, memory
// and error queue they leave in the meter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"
#include "scpi/reading_format.h"

namespace korvel {
namespace {

class SimulatedMeter : public ::testing::Test {
protected:
    MeterHandle h = 0;
    void SetUp() override {
        ASSERT_EQ(korvelSimReset(1), 1);
        korvelSimSetTimeScale(0.01);
        korvelSimSetLatency(0);  // exchanges answered at once
        h = openKorvel();
        ASSERT_NE(h, 0U);
        ASSERT_EQ(run(":SYST:CLE"), "");
    }
    void TearDown() override {
        closeKorvel(h);
        korvelSimReset(1);
    }
    std::string run(const char* line, int size = 128) {
        char reply[128] = {};
        scpiCommand(h, line, reply, size);
        return reply;
    }
    std::vector<int> queued() {
        short codes[32];
        const int n = korvelSimPeekErrors(0, codes, 32);
        return std::vector<int>(codes, codes + (n < 32 ? n : 32));
    }
    int setting(int which) { return korvelSimGetSetting(0, which); }
};

TEST_F(SimulatedMeter, SettingsReachTheMeterAndRefusalsLeaveItAlone) {
    const struct {
        const char* line;
        int setting;
        int value;
    } cases[] = {
        {":SENS:FLUX:RANG 1", KORVEL_SIM_RANGE, 1},
        {":SENS:FLUX:RANG 3", KORVEL_SIM_RANGE, 1},
        {":SENS:FLUX:RANG:AUT 0", KORVEL_SIM_AUTO_RANGE, 0},
        {":SENS:HOLD:STAT 2", KORVEL_SIM_HOLD, 2},
        {":SENS:HOLD:STAT 4", KORVEL_SIM_HOLD, 2},
        {":UNIT:FLUX:AC:TESL", KORVEL_SIM_UNITS, 1},
        {":UNIT:FLUX:AC:TESL", KORVEL_SIM_ACDC, 1},
        {":SYST:AREL:STAT 2", KORVEL_SIM_RELATIVE, 2},
        {":SYST:OUT 2", KORVEL_SIM_ANALOG_OUT, 2},
        {":SYST:KLOC 1", KORVEL_SIM_KEYPAD_LOCKOUT, 1},
        {":SYST:KLOC 2", KORVEL_SIM_KEYPAD_LOCKOUT, 1},
        {":DIAG:MOD 1", KORVEL_SIM_DIAG_MODE, 1},
        {":DIAG:MUX:RANG 6", KORVEL_SIM_MUX_RANGE, 6},
        {":DIAG:MUX:RANG 7", KORVEL_SIM_MUX_RANGE, 6},
        {":DIAG:MUX:AMP 1", KORVEL_SIM_AMP_INPUT, 1},
        {":DIAG:DAT:LIM 1", KORVEL_SIM_LIMIT, 1},
        {":DIAG:PWR 0", KORVEL_SIM_POWER_OFF_TIMER, 0},
        {"*SRE 48", KORVEL_SIM_SERVICE_REQUEST_ENABLE, 48},
    };
    for (const auto& c : cases) {
        run(c.line);
        EXPECT_EQ(setting(c.setting), c.value) << c.line;
    }
    EXPECT_EQ(run(":SENS:FLUX:RANG?;:SENS:HOLD:STAT?;:SYST:AREL:STAT?;:UNIT:FLUX?;*SRE?"),
              "1;2;2;AC TESLA;048");
    EXPECT_EQ(queued(), (std::vector<int>{-120, -120, -120}));  // range, hold, lock-out
}

TEST_F(SimulatedMeter, CommandErrorsQueueInOrderAndReadBackWithTheirTexts) {
    EXPECT_EQ(run("FOO;*ESE 300;:SYST:OUT?;*ESE 32;*ESE?"), "Unknown Cmd: FOO;Error: [0-255];ERR: Syntax;032");
    EXPECT_EQ(run("*STB?", 4), "");
    EXPECT_EQ(queued(), (std::vector<int>{-100, -120, -102, -363}));
    EXPECT_EQ(run(":SYST:ERR?;:SYST:ERR?;:SYST:ERR?"), "-100, COMMAND ERROR;-120, NUMERIC DATA ERROR;-102, SYNTAX ERROR");
    EXPECT_EQ(run(":SYST:ERR?;:SYST:ERR?"), "-363, INPUT BUFFER OVERRUN;0, NO ERROR");
}

TEST_F(SimulatedMeter, RegistersDacsAndMemory) {
    run(":STAT:MEAS:ENAB 7;:STAT:QUES:ENAB 9;*OPC");
    EXPECT_EQ(korvelSimGetRegister(0, 1, 1), 7);
    EXPECT_EQ(korvelSimGetRegister(0, 3, 1), 9);
    EXPECT_EQ(korvelSimGetRegister(0, 0, 0) & 1, 1);  // the operation-complete event
    EXPECT_EQ(run(":STAT:MEAS:ENAB?"), "007");
    EXPECT_EQ(std::stoi(run("*ESR?")) & 1, 1);
    run(":STAT:PRES");
    EXPECT_EQ(korvelSimGetRegister(0, 1, 1), 0);

    run(":DIAG:DAT:DAC 3 65535;:DIAG:DAT:DAC 1 65536");
    EXPECT_EQ(korvelSimGetDac(0, 3), 65535);
    EXPECT_EQ(korvelSimGetDac(0, 1), 0x8000);

    testing::internal::CaptureStdout();
    const int address = korvelSimEepromSize(0) - 1;
    const std::string write = ":DIAG:DAT:EEPR " + std::to_string(address) + " 7";
    const std::string read = ":DIAG:DAT:EEPR? " + std::to_string(address);
    EXPECT_EQ(run(write.c_str()), "007");
    EXPECT_EQ(run((write + "00").c_str()), "Error: [0-255]");  // 700: nothing stored
    unsigned char byte = 0;
    ASSERT_EQ(korvelSimReadEeprom(0, address, &byte, 1), 0);
    EXPECT_EQ(byte, 7);
    EXPECT_EQ(run(read.c_str()), "007");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("bytesRead = 0001"), std::string::npos) << printed;
}

TEST_F(SimulatedMeter, TheReadingTextMatchesTheFormatterOnTheSameRecord) {
    const struct {
        double tesla;
        const char* setup;
    } cases[] = {
        {0.01234, ":UNIT:FLUX:DC:GAUS;:SENS:FLUX:RANG 0"},
        {0.5, ":UNIT:FLUX:DC:TESL;:SENS:FLUX:RANG 2"},
        {-0.0021, ":UNIT:FLUX:DC:AM;:SENS:FLUX:RANG 1"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(korvelSimSetField(0, c.tesla), 0);
        run(":SENS:FLUX:RANG:AUT 0");
        run(c.setup);
        MeterReading reading{};
        ASSERT_EQ(mtrGetReading(h, &reading), 0);
        char expected[80];
        scpi::formatReading(reading, expected, sizeof expected);
        EXPECT_EQ(run(":MEAS:FLUX?"), expected) << c.setup;
    }
    EXPECT_NE(run("*IDN?").find("KV0001"), std::string::npos);
}

TEST_F(SimulatedMeter, ASilentMeterKillsTheLineButNotTheCaller) {
    ASSERT_EQ(korvelSimInjectFault(0, KORVEL_SIM_FAULT_SILENCE, 1), 0);
    EXPECT_EQ(run(":MEAS:FLUX?;*IDN?;:DIAG:SWV:DRIV"), "USB Connection Problem;USB Connection Problem;1.01");
    closeKorvel(h);
    h = openKorvel();  // a fresh connection works again
    ASSERT_NE(h, 0U);
    EXPECT_EQ(run(":SYST:KLOC 0;*STB?").size(), 3U);
}

}  // namespace
}  // namespace korvel
