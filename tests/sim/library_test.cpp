// The simulated meter as the library sees it: openKorvel and the mtr*
// functions over the virtual bus, steered through the korvelSim* functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"
#include "sim/bus/virtual_bus.h"

namespace korvel::test {
namespace {

class Library : public ::testing::Test {
protected:
    void SetUp() override { reset(1); }
    void TearDown() override { korvelSimReset(1); }

    static void reset(int meters) {
        ASSERT_EQ(korvelSimReset(meters), meters);
        korvelSimSetTimeScale(0.01);  // a 2000 ms read timeout lasts 20 ms
        korvelSimSetLatency(0);  // exchanges answered at once
    }
    static std::string identity(MeterHandle h) {
        char info[41] = {};
        EXPECT_EQ(mtrGetMeterInfo(h, info), 0);
        return info;
    }
    static std::vector<std::string> callNames(long long from) {
        std::vector<std::string> names;
        for (long long i = from; i < korvelSimCallCount(); ++i) {
            KorvelSimCall call;
            if (korvelSimGetCall(i, &call) == 0) names.push_back(call.name);
        }
        return names;
    }
    // The handle is dead: a command fails at once without touching USB.
    static void expectDead(MeterHandle h) {
        const long long before = korvelSimCallCount();
        unsigned int range = 99;
        EXPECT_EQ(mtrGetRange(h, &range), -1);
        EXPECT_EQ(range, 99u);
        EXPECT_EQ(korvelSimCallCount(), before) << "a dead handle must not reach the bus";
    }
    // An unplug fault pulls the cable just after the transfer; wait for it.
    static bool waitUnplugged(int device) {
        for (int i = 0; i < 2000; ++i) {
            if (!sim::VirtualBus::instance().plugged(device)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

// Every fault kind, seen from the library: the exchange fails, the interface
// is released and the device closed, the handle is dead, and a new open
// works with the meter's state intact.
TEST_F(Library, EveryFaultFailsTheExchangeAndClosesTheConnection) {
    const int faults[] = {
        KORVEL_SIM_FAULT_SILENCE,        KORVEL_SIM_FAULT_LATE,
        KORVEL_SIM_FAULT_WRITE_FAIL,     KORVEL_SIM_FAULT_BAD_CHECKSUM,
        KORVEL_SIM_FAULT_CHECKSUM_LOW_FIRST, KORVEL_SIM_FAULT_COUNT_OVER_59,
        KORVEL_SIM_FAULT_COUNT_55_TO_59, KORVEL_SIM_FAULT_SHORT_READ,
        KORVEL_SIM_FAULT_UNPLUG,
    };
    for (int fault : faults) {
        SCOPED_TRACE(testing::Message() << "fault " << fault);
        reset(1);
        korvelSimSetField(0, 0.01234);
        const MeterHandle h = openKorvel();
        ASSERT_NE(h, 0u);
        ASSERT_EQ(mtrSetUnits(h, 1, 0), 0);
        ASSERT_EQ(korvelSimInjectFault(0, fault, 1), 0);
        const long long mark = korvelSimCallCount();
        MeterReading r{};
        r.value = 77;
        EXPECT_EQ(mtrGetReading(h, &r), -1);
        EXPECT_EQ(r.value, 77) << "out-parameters stay untouched";
        const auto names = callNames(mark);
        ASSERT_GE(names.size(), 2u);
        EXPECT_EQ(names.back(), "usb_close");
        if (fault != KORVEL_SIM_FAULT_UNPLUG) {
            EXPECT_EQ(names[names.size() - 2], "usb_release_interface");
        }
        expectDead(h);

        if (fault == KORVEL_SIM_FAULT_UNPLUG) {
            // The cable is out: plug it back in before opening again.
            ASSERT_TRUE(waitUnplugged(0));
            ASSERT_EQ(korvelSimReplug(0), 0);
        }
        EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_FAULTS), 1);
        const MeterHandle again = openKorvel();
        ASSERT_NE(again, 0u);
        ASSERT_EQ(mtrGetReading(again, &r), 0);
        EXPECT_EQ(r.value, 1234) << "the next reading is the right one, not a stale answer";
        EXPECT_EQ(r.units, 1) << "the meter kept its settings";
        closeKorvel(again);
    }
}

// A valid frame with another command code passes the library's checks: the
// protocol pairs answers with requests by order only.
TEST_F(Library, AnswerWithAnotherCommandCodeIsTaken) {
    korvelSimSetField(0, 0.01);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_OTHER_COMMAND, 1);
    const long long mark = korvelSimCallCount();
    MeterReading r{};
    EXPECT_EQ(mtrGetReading(h, &r), 0);
    KorvelSimCall read{};
    ASSERT_EQ(korvelSimGetCall(mark + 1, &read), 0);
    EXPECT_STREQ(read.name, "usb_bulk_read");
    EXPECT_EQ(read.data[2], 0x11) << "the answer carried another code";
    EXPECT_EQ(r.value, 1000);
    closeKorvel(h);
}

TEST_F(Library, OneShotFaultsLastForTheirCount) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_BAD_CHECKSUM, 2);
    unsigned int range = 0;
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    // The second one strikes the verification of the next open, which then
    // tries again after 500 ms and succeeds.
    const MeterHandle again = openKorvel();
    ASSERT_NE(again, 0u);
    EXPECT_EQ(mtrGetRange(again, &range), 0);
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_SILENCE, 3);
    korvelSimInjectFault(0, KORVEL_SIM_FAULT_NONE, 0);  // cleared again
    EXPECT_EQ(mtrGetRange(again, &range), 0);
    closeKorvel(again);
}

TEST_F(Library, ClaimRefusedOrOpenFailingMeterIsPassedOver) {
    reset(2);
    for (auto refuse : {korvelSimSetClaimRefused, korvelSimSetOpenFails}) {
        ASSERT_EQ(refuse(0, 1), 0);
        const MeterHandle second = openKorvel();
        ASSERT_NE(second, 0u);
        EXPECT_EQ(identity(second), "KORVEL,KV-100,KV0002,1.02");
        ASSERT_EQ(refuse(0, 0), 0);
        const MeterHandle first = openKorvel();
        ASSERT_NE(first, 0u);
        EXPECT_EQ(identity(first), "KORVEL,KV-100,KV0001,1.02");
        closeKorvel(first);
        closeKorvel(second);
    }
}

TEST_F(Library, TwoMetersEachKeepTheirOwnState) {
    reset(2);
    EXPECT_EQ(korvelSimMeterCount(), 2);
    const MeterHandle a = openKorvel();
    const MeterHandle b = openKorvel();
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(identity(a), "KORVEL,KV-100,KV0001,1.02");
    EXPECT_EQ(identity(b), "KORVEL,KV-100,KV0002,1.02");
    korvelSimSetField(0, 0.001);
    korvelSimSetField(1, -0.002);
    mtrSetUnits(b, 2, 0);
    MeterReading ra{}, rb{};
    ASSERT_EQ(mtrGetReading(a, &ra), 0);
    ASSERT_EQ(mtrGetReading(b, &rb), 0);
    EXPECT_EQ(ra.value, 100);
    EXPECT_EQ(ra.units, 0);
    EXPECT_EQ(rb.value, -159);
    EXPECT_EQ(rb.units, 2);
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_UNITS), 0);
    EXPECT_EQ(korvelSimGetSetting(1, KORVEL_SIM_UNITS), 2);
    closeKorvel(a);
    closeKorvel(b);
}

// Without waiting time (scale 0) the read gives up before the cable is
// pulled; the meter is gone all the same, and a replug right away works.
TEST_F(Library, UnplugFaultIsInPlaceByTheTimeTheExchangeFails) {
    korvelSimSetTimeScale(0.0);
    korvelSimSetLatency(0);  // exchanges answered at once
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const MeterHandle h = openKorvel();
        ASSERT_NE(h, 0u);
        korvelSimInjectFault(0, KORVEL_SIM_FAULT_UNPLUG, 1);
        unsigned int range = 0;
        EXPECT_EQ(mtrGetRange(h, &range), -1);
        const int exchanges = korvelSimGetSetting(0, KORVEL_SIM_EXCHANGES);
        ASSERT_EQ(korvelSimReplug(0), 0);
        EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_EXCHANGES), exchanges);
    }
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_FAULTS), 20);
}

TEST_F(Library, UnplugAndReplugKeepTheMetersState) {
    MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(mtrSetRange(h, 2), 0);
    ASSERT_EQ(korvelSimUnplug(0), 0);
    unsigned int range = 0;
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    expectDead(h);
    ASSERT_EQ(korvelSimReplug(0), 0);
    h = openKorvel();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(mtrGetRange(h, &range), 0);
    EXPECT_EQ(range, 2u);
    closeKorvel(h);
}

TEST_F(Library, ForeignDevicesAreSkippedAndMeterNumbersStayMeters) {
    reset(0);
    ASSERT_EQ(korvelSimAddForeignDevice(0x1234, 0x5678), 0);
    EXPECT_EQ(korvelSimAddMeter(), 0);
    EXPECT_EQ(korvelSimMeterCount(), 1);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    EXPECT_EQ(identity(h), "KORVEL,KV-100,KV0001,1.02");
    ASSERT_EQ(korvelSimUnplug(0), 0);  // meter 0 is the second device
    EXPECT_TRUE(sim::VirtualBus::instance().plugged(0));
    EXPECT_FALSE(sim::VirtualBus::instance().plugged(1));
    unsigned int range = 0;
    EXPECT_EQ(mtrGetRange(h, &range), -1);
    expectDead(h);
}

// The meter behind a handle, whatever order the handles were opened in and
// with a foreign device in front shifting bus positions; no exchange spent.
TEST_F(Library, IndexOfNamesTheMeterBehindAnOpenHandleOnly) {
    reset(0);
    ASSERT_EQ(korvelSimAddForeignDevice(0x1234, 0x5678), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(korvelSimAddMeter(), i);
    ASSERT_EQ(korvelSimSetClaimRefused(0, 1), 0);
    const MeterHandle second = openKorvel();  // meter 0 refuses: KV0002
    ASSERT_EQ(korvelSimSetClaimRefused(0, 0), 0);
    const MeterHandle first = openKorvel();
    const MeterHandle third = openKorvel();
    ASSERT_NE(second, 0u);
    ASSERT_NE(first, 0u);
    ASSERT_NE(third, 0u);
    EXPECT_EQ(identity(second), "KORVEL,KV-100,KV0002,1.02");
    EXPECT_EQ(identity(first), "KORVEL,KV-100,KV0001,1.02");
    EXPECT_EQ(identity(third), "KORVEL,KV-100,KV0003,1.02");
    const int exchanges = korvelSimGetSetting(1, KORVEL_SIM_EXCHANGES);
    EXPECT_EQ(korvelSimIndexOf(second), 1);
    EXPECT_EQ(korvelSimIndexOf(first), 0);
    EXPECT_EQ(korvelSimIndexOf(third), 2);
    EXPECT_EQ(korvelSimGetSetting(1, KORVEL_SIM_EXCHANGES), exchanges);

    EXPECT_EQ(korvelSimIndexOf(0), -1);
    EXPECT_EQ(korvelSimIndexOf(0xFFFFFF3Fu), -1);  // never issued
    EXPECT_EQ(korvelSimIndexOf(first + 0x100u), -1);  // the slot's next generation
    closeKorvel(first);
    EXPECT_EQ(korvelSimIndexOf(first), -1);
    ASSERT_EQ(korvelSimUnplug(2), 0);  // the handle dies with its failed exchange
    unsigned int range = 0;
    EXPECT_EQ(mtrGetRange(third, &range), -1);
    EXPECT_EQ(korvelSimIndexOf(third), -1);
    EXPECT_EQ(korvelSimIndexOf(second), 1);  // the others stay
    reset(2);  // handles from before a reset are no meter's
    EXPECT_EQ(korvelSimIndexOf(second), -1);
    closeKorvel(second);
}

TEST_F(Library, SettingsMadeThroughTheLibraryShowInTheMeter) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    struct Case {
        const char* what;
        int result;
        int setting;
        int expected;
    };
    const Case cases[] = {
        {"units", mtrSetUnits(h, 1, 1), KORVEL_SIM_UNITS, 1},
        {"acdc", 0, KORVEL_SIM_ACDC, 1},
        {"range", mtrSetRange(h, 1), KORVEL_SIM_RANGE, 1},
        {"auto-range", mtrAutoRange(h, 0), KORVEL_SIM_AUTO_RANGE, 0},
        {"hold", mtrSetHold(h, 2), KORVEL_SIM_HOLD, 2},
        {"relative", mtrSetRelative(h, 1), KORVEL_SIM_RELATIVE, 1},
        {"analog out", mtrSetAnalogOut(h, 2), KORVEL_SIM_ANALOG_OUT, 2},
        {"limit", mtrSetLimit(h, 1), KORVEL_SIM_LIMIT, 1},
        {"power-off timer", mtrSetPwroffTimer(h, 0), KORVEL_SIM_POWER_OFF_TIMER, 0},
        {"keypad", mtrKeypadLockout(h, 1), KORVEL_SIM_KEYPAD_LOCKOUT, 1},
        {"diag mode", mtrSetDiagMode(h, 1), KORVEL_SIM_DIAG_MODE, 1},
        {"mux range", mtrDiagSetRange(h, 6), KORVEL_SIM_MUX_RANGE, 6},
        {"amp input", mtrDiagSetAmpin(h, 1), KORVEL_SIM_AMP_INPUT, 1},
        {"service-request enable", mtrSetStatusEnable(h, 0x24), KORVEL_SIM_SERVICE_REQUEST_ENABLE, 0x24},
        {"recal", mtrRecal(h), KORVEL_SIM_RECALIBRATIONS, 1},
        {"auto-zero", mtrAutoZero(h), KORVEL_SIM_AUTO_ZEROS, 1},
        {"key", mtrSendKey(h, 42), KORVEL_SIM_LAST_KEY, 42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(korvelSimGetSetting(0, c.setting), c.expected);
    }
    ASSERT_EQ(mtrSetDAC(h, 3, 0xFFFF), 0);
    EXPECT_EQ(korvelSimGetDac(0, 3), 0xFFFF);
    EXPECT_EQ(korvelSimGetDac(0, 0), 0x8000);
    EXPECT_GE(korvelSimGetSetting(0, KORVEL_SIM_EXCHANGES), 18);
    closeKorvel(h);
}

TEST_F(Library, RegistersAndErrorQueueSeenBothWays) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(mtrClearEventRegisters(h), 0);
    mtrPostError(h, -102);
    mtrPostError(h, -120);
    short codes[4] = {};
    EXPECT_EQ(korvelSimPeekErrors(0, codes, 4), 2);
    EXPECT_EQ(codes[0], -102);
    EXPECT_EQ(codes[1], -120);
    EXPECT_EQ(korvelSimPeekErrors(0, codes, 1), 2) << "peeking reports the count, copies what fits";
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_ERROR_COUNT), 2);
    short next = 0;
    ASSERT_EQ(mtrGetNextError(h, &next), 0);
    EXPECT_EQ(next, -102);

    mtrSetEnableRegister(h, 0, 0x20);
    EXPECT_EQ(korvelSimGetRegister(0, 0, 1), 0x20);
    EXPECT_EQ(korvelSimGetRegister(0, 0, 0), 0x20) << "command errors latch bit 5";
    unsigned int stb = 0;
    ASSERT_EQ(mtrGetStatusByte(h, &stb), 0);
    EXPECT_EQ(stb, 0x24u) << "event summary and error queue";
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_STATUS_BYTE), 0x24);
    mtrRaiseEvent(h, 2, 0x40);
    EXPECT_EQ(korvelSimGetRegister(0, 2, 0), 0x40);
    unsigned int events = 0;
    ASSERT_EQ(mtrGetEventRegister(h, 2, &events), 0);
    EXPECT_EQ(events, 0x40u);
    EXPECT_EQ(korvelSimGetRegister(0, 2, 0), 0);
    closeKorvel(h);
}

TEST_F(Library, FieldReachesTheReadingFrequencyAndMemory) {
    KorvelSimField f{};
    f.dc = -0.002;
    f.acAmplitude = 0.001;
    f.acFrequency = 400.0;
    ASSERT_EQ(korvelSimSetFieldSource(0, &f), 0);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    MeterReading r{};
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.value, -200);
    EXPECT_EQ(r.acdc, 0);
    unsigned int frequency = 0;
    ASSERT_EQ(mtrGetFrequency(h, &frequency), 0);
    EXPECT_EQ(frequency, 400u);

    EXPECT_EQ(korvelSimEepromSize(0), 4096);
    const unsigned char bytes[3] = {1, 2, 0xFE};
    ASSERT_EQ(korvelSimWriteEeprom(0, 0x300, bytes, 3), 0);
    unsigned int values[55] = {};
    ASSERT_EQ(mtrReadEEPROM(h, 0x300, 3, values), 0);
    EXPECT_EQ(values[2], 0xFEu);
    const int written[2] = {0x11, 0x122};
    ASSERT_EQ(mtrWriteEEPROM(h, 0x400, 2, written), 0);
    unsigned char back[2] = {};
    ASSERT_EQ(korvelSimReadEeprom(0, 0x400, back, 2), 0);
    EXPECT_EQ(back[0], 0x11);
    EXPECT_EQ(back[1], 0x22);
    closeKorvel(h);
}

TEST_F(Library, DataTransferThroughTheLibrary) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    TransferInfo info{};
    ASSERT_EQ(mtrStartDataTransfer(h, 2, 0x0000, 40, &info), 0);
    EXPECT_EQ(info.values[10], 1);
    EXPECT_EQ(info.values[0], 40);
    unsigned int count = 0;
    unsigned int values[28] = {};
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 1);
    EXPECT_EQ(count, 25u);
    EXPECT_EQ(values[0], static_cast<unsigned>('K'));
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 0);
    EXPECT_EQ(count, 15u);
    // A refusal keeps the connection open.
    info.values[10] = 5;
    EXPECT_EQ(mtrStartDataTransfer(h, 99, 0, 0, &info), -1);
    EXPECT_EQ(info.values[10], 0);
    EXPECT_EQ(mtrReadNextDataPacket(h, &count, values), 0);
    closeKorvel(h);
}

TEST_F(Library, CallLogNamesEveryUsbCall) {
    korvelSimClearCalls();
    EXPECT_EQ(korvelSimCallCount(), 0);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    const auto names = callNames(0);
    const std::vector<std::string> opening = {"usb_set_debug", "usb_init", "usb_find_busses",
                                              "usb_find_devices", "usb_get_busses", "usb_open",
                                              "usb_set_configuration", "usb_claim_interface"};
    ASSERT_GE(names.size(), opening.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 8), opening);

    korvelSimClearCalls();
    unsigned int range = 0;
    ASSERT_EQ(mtrGetRange(h, &range), 0);
    KorvelSimCall write{}, read{};
    ASSERT_EQ(korvelSimGetCall(0, &write), 0);
    ASSERT_EQ(korvelSimGetCall(1, &read), 0);
    EXPECT_STREQ(write.name, "usb_bulk_write");
    EXPECT_EQ(write.device, 0);
    EXPECT_EQ(write.argument, 0x01);
    EXPECT_EQ(write.timeout, 500);
    EXPECT_EQ(write.result, 60);
    ASSERT_EQ(write.dataLength, 60);
    const unsigned char request[6] = {0x01, 0x2B, 0x1A, 0x00, 0xB0, 0x7A};
    EXPECT_EQ(std::memcmp(write.data, request, 6), 0);
    EXPECT_STREQ(read.name, "usb_bulk_read");
    EXPECT_EQ(read.argument, 0x81);
    EXPECT_EQ(read.timeout, 2000);
    EXPECT_EQ(read.data[2], 0x1A);
    EXPECT_EQ(korvelSimGetCall(2, &read), -1);
    EXPECT_EQ(korvelSimGetCall(-1, &read), -1);
    EXPECT_EQ(korvelSimGetCall(0, nullptr), -1);
    closeKorvel(h);
    KorvelSimCall release{};
    ASSERT_EQ(korvelSimGetCall(2, &release), 0);
    EXPECT_STREQ(release.name, "usb_release_interface");
}

TEST_F(Library, PowerCycleThroughTheControlApi) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    mtrSetUnits(h, 2, 1);
    mtrPostError(h, -100);
    ASSERT_EQ(korvelSimPowerCycle(0), 0);
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_UNITS), 0);
    EXPECT_EQ(korvelSimGetSetting(0, KORVEL_SIM_ERROR_COUNT), 0);
    EXPECT_EQ(korvelSimGetRegister(0, 0, 0), 0x80) << "power-on event";
    closeKorvel(h);
}

TEST_F(Library, ControlFunctionsRefuseBadArguments) {
    KorvelSimField nanField{};
    nanField.dc = std::nan("");
    KorvelSimField negativeNoise{};
    negativeNoise.noise = -1.0;
    unsigned char byte = 0;
    short codes[2];
    KorvelSimCall call;
    const int results[] = {
        korvelSimReset(17),
        korvelSimReset(-1),
        korvelSimAddForeignDevice(0x10000, 1),
        korvelSimUnplug(1),
        korvelSimReplug(-1),
        korvelSimSetTimeScale(-0.5),
        korvelSimSetTimeScale(std::nan("")),
        korvelSimSetLatency(-0.001),
        korvelSimSetLatency(10.5),
        korvelSimSetLatency(std::nan("")),
        korvelSimPowerCycle(3),
        korvelSimSetField(1, 0.1),
        korvelSimSetField(0, INFINITY),
        korvelSimSetFieldSource(0, nullptr),
        korvelSimSetFieldSource(0, &nanField),
        korvelSimSetFieldSource(0, &negativeNoise),
        korvelSimSetScale(0, 256),
        korvelSimSetScale(0, -1),
        korvelSimSetScale(1, 5),
        korvelSimInjectFault(0, KORVEL_SIM_FAULT_STALL + 1, 1),
        korvelSimInjectFault(0, -1, 1),
        korvelSimInjectFault(0, KORVEL_SIM_FAULT_SILENCE, -1),
        korvelSimInjectFault(5, KORVEL_SIM_FAULT_SILENCE, 1),
        korvelSimSetRandomFaults(0, 1.5, 1),
        korvelSimSetRandomFaults(0, -0.1, 1),
        korvelSimSetClaimRefused(2, 1),
        korvelSimSetOpenFails(-3, 1),
        korvelSimGetSetting(0, 999),
        korvelSimGetSetting(1, KORVEL_SIM_UNITS),
        korvelSimGetDac(0, 4),
        korvelSimGetRegister(0, 4, 0),
        korvelSimGetRegister(0, 0, 3),
        korvelSimPeekErrors(0, nullptr, 2),
        korvelSimPeekErrors(0, codes, -1),
        korvelSimEepromSize(1),
        korvelSimReadEeprom(0, 4095, &byte, 2),
        korvelSimReadEeprom(0, -1, &byte, 1),
        korvelSimReadEeprom(0, 0x7FFFFFFF, &byte, 0x7FFFFFFF),
        korvelSimWriteEeprom(0, 4096, &byte, 1),
        korvelSimWriteEeprom(0, 0, nullptr, 1),
        korvelSimGetCall(1LL << 40, &call),
    };
    for (std::size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], -1) << "call " << i;
    EXPECT_EQ(korvelSimMeterCount(), 1) << "a refused reset changes nothing";
}

// Several host threads on different meters while the control functions run.
TEST_F(Library, ThreadsOnDifferentMetersAndTheControlApi) {
    reset(3);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> hosts;
    for (int m = 0; m < 3; ++m) korvelSimSetField(m, 0.001 * (m + 1));
    std::vector<MeterHandle> handles;
    for (int m = 0; m < 3; ++m) handles.push_back(openKorvel());
    for (int m = 0; m < 3; ++m) {
        hosts.emplace_back([&, m] {
            char info[41] = {};
            mtrGetMeterInfo(handles[static_cast<std::size_t>(m)], info);
            const int serial = info[19] - '0';  // KV000n
            for (int i = 0; i < 200; ++i) {
                MeterReading r{};
                if (mtrGetReading(handles[static_cast<std::size_t>(m)], &r) != 0 ||
                    r.value != 100 * serial)
                    ++wrong;
            }
        });
    }
    std::thread control([&] {
        short codes[16];
        while (!stop) {
            for (int m = 0; m < 3; ++m) {
                korvelSimGetSetting(m, KORVEL_SIM_EXCHANGES);
                korvelSimPeekErrors(m, codes, 16);
                korvelSimGetRegister(m, 1, 2);
                korvelSimSetField(m, 0.001 * (m + 1));
            }
            korvelSimCallCount();
        }
    });
    for (auto& t : hosts) t.join();
    stop = true;
    control.join();
    EXPECT_EQ(wrong.load(), 0);
    for (MeterHandle h : handles) closeKorvel(h);
}

// The scale code reaches the library with the reading, the counts follow its
// resolution, and it outlasts a power cycle. 1.5507 T is H = 1.5507 / (4 pi
// 1e-7) = 1234001 A/m: 1234 counts of 1 kA/m (scale code 5, range 2).
TEST_F(Library, ScaleCodeTravelsWithTheReading) {
    korvelSimSetField(0, 1.5507);
    ASSERT_EQ(korvelSimSetScale(0, 5), 0);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(mtrSetUnits(h, 2, 0), 0);
    ASSERT_EQ(mtrSetRange(h, 2), 0);
    MeterReading r{};
    ASSERT_EQ(mtrGetReading(h, &r), 0);
    EXPECT_EQ(r.scale, 5);
    EXPECT_EQ(r.value, 1234);
    EXPECT_EQ(r.aux & 1, 0) << "no overrange";

    ASSERT_EQ(korvelSimPowerCycle(0), 0);
    closeKorvel(h);
    const MeterHandle again = openKorvel();
    ASSERT_NE(again, 0u);
    ASSERT_EQ(mtrGetReading(again, &r), 0);
    EXPECT_EQ(r.scale, 5) << "a power cycle keeps the scale code";
    EXPECT_EQ(r.units, 0) << "but the settings are the power-on ones";
    closeKorvel(again);
}

// A stalled exchange hangs in the caller's call (as a USB call stuck in the
// kernel) and then goes on as if nothing happened.
TEST_F(Library, StallFaultHangsOneExchangeThenAnswers) {
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0u);
    ASSERT_EQ(korvelSimInjectFault(0, KORVEL_SIM_FAULT_STALL, 1), 0);
    unsigned int range = 9;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mtrGetRange(h, &range), 0);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, KORVEL_SIM_STALL_SECONDS);
    EXPECT_LT(took, KORVEL_SIM_STALL_SECONDS + 2.0);
    EXPECT_EQ(range, 0u);
    const auto next = std::chrono::steady_clock::now();  // the next one is not held up
    EXPECT_EQ(mtrGetRange(h, &range), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - next).count(), 1.0);
    closeKorvel(h);
}

}  // namespace
}  // namespace korvel::test
