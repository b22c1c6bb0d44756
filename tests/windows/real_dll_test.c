/*
 * real_dll_test.c - korvel-x64.dll, linked through its import library, against
 * the fake libusb0.dll next to this program: opening, every command's request
 * frame, decoding, a failed exchange, an unplug, two meters, SCPI.
 * Expected frames are written out by hand (checksums from this file's own
 * bitwise CRC, itself checked against frames worked out on paper).
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "korvel.h"

#define VENDOR 0x1209
#define PRODUCT 0x0001

static int failures;
#define CHECK(cond, ...)                                     \
    do {                                                     \
        if (!(cond)) {                                       \
            ++failures;                                      \
            printf("FAILED line %d: %s: ", __LINE__, #cond); \
            printf(__VA_ARGS__);                             \
            printf("\n");                                    \
        }                                                    \
    } while (0)

/* The fake bus's controls, from the libusb0.dll the library loaded. */
static void (*fakeReset)(void);
static int (*fakeAttach)(int, int);
static void (*fakeUnplug)(int);
static void (*fakeReplug)(int);
static void (*fakeScript)(int, const unsigned char *, int);
static void (*fakeFailNextRead)(int);
static int (*fakeLastRequest)(int, unsigned char *);
static int (*fakeOpenHandles)(void);
static void (*fakeTakeLog)(char *, int);

static FARPROC need(HMODULE module, const char *name)
{
    FARPROC f = GetProcAddress(module, name);
    if (f == NULL) {
        printf("the fake libusb0.dll lacks %s\n", name);
        ExitProcess(2);
    }
    return f;
}
/* Through the generic function pointer type, which converts to any other. */
#define BIND(m, name) name = (__typeof__(name))(void (*)(void))need(m, #name)

static unsigned crc16(const unsigned char *bytes, int count)
{
    unsigned crc = 0xFFFF;
    int i, bit;
    for (i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

static char logText[4096];
static const char *takeLog(void)
{
    fakeTakeLog(logText, (int)sizeof logText);
    return logText;
}

/* ------------------------------------------------------ every command's frame */

static MeterHandle h;
static unsigned u;
static short s;

static int getReading(void) { MeterReading r; return mtrGetReading(h, &r); }
static int getLcd(void) { LcdSnapshot l; return mtrGetLCDSnapshot(h, &l); }
static int setUnits(void) { return mtrSetUnits(h, -1, 0); }
static int setRange(void) { return mtrSetRange(h, 258); }
static int getRange(void) { return mtrGetRange(h, &u); }
static int setAnalogOut(void) { return mtrSetAnalogOut(h, 1); }
static int recal(void) { return mtrRecal(h); }
static int autoZero(void) { return mtrAutoZero(h); }
static int autoRange(void) { return mtrAutoRange(h, 1); }
static int setRelative(void) { return mtrSetRelative(h, 2); }
static int getRelative(void) { return mtrGetRelative(h, &u); }
static int getFrequency(void) { return mtrGetFrequency(h, &u); }
static int setLimit(void) { return mtrSetLimit(h, 1); }
static int getProbeData(void) { return mtrGetProbeData(h, 5, &u); }
static int setHold(void) { return mtrSetHold(h, 3); }
static int getHold(void) { return mtrGetHold(h, &u); }
static int resetHold(void) { return mtrResetHold(h); }
static int setPwroff(void) { return mtrSetPwroffTimer(h, 0); }
static int setEnable(void) { return mtrSetEnableRegister(h, 0, 0x120); }
static int getEnable(void) { return mtrGetEnableRegister(h, 1, &u); }
static int getEvent(void) { return mtrGetEventRegister(h, 2, &u); }
static int getCondition(void) { return mtrGetConditionRegister(h, 3, &u); }
static int clearEvents(void) { return mtrClearEventRegisters(h); }
static int setStatusEnable(void) { return mtrSetStatusEnable(h, 0x40); }
static int getStatusEnable(void) { return mtrGetStatusEnable(h, &u); }
static int getStatusByte(void) { return mtrGetStatusByte(h, &u); }
static int getNextError(void) { return mtrGetNextError(h, &s); }
static int clearErrors(void) { return mtrClearErrorQueue(h); }
static int postError(void) { return mtrPostError(h, -102); }
static int clearEnables(void) { return mtrClearEnableRegisters(h); }
static int keypad(void) { return mtrKeypadLockout(h, 1); }
static int raiseEvent(void) { return mtrRaiseEvent(h, 0, 1); }
static int readEeprom(void) { unsigned v[55]; return mtrReadEEPROM(h, 0x0010, 1, v); }
static int writeEeprom(void) { const int v[1] = {0x15A}; return mtrWriteEEPROM(h, 0x0010, 1, v); }
static int sendKey(void) { return mtrSendKey(h, 3); }
static int meterInfo(void) { char i[40]; return mtrGetMeterInfo(h, i); }
static int probeInfo(void) { char i[24]; return mtrGetProbeInfo(h, i); }
static int dspVersion(void) { return mtrDspGetVersion(h, &u); }
static int startTransfer(void) { TransferInfo t; return mtrStartDataTransfer(h, 1, 2, 0x100, &t); }
static int nextPacket(void) { unsigned c, v[28]; return mtrReadNextDataPacket(h, &c, v); }
static int setDiagMode(void) { return mtrSetDiagMode(h, 1); }
static int setDac(void) { return mtrSetDAC(h, 2, 0x8000); }
static int diagRange(void) { return mtrDiagSetRange(h, 6); }
static int diagAmpin(void) { return mtrDiagSetAmpin(h, 1); }
static int diagAdc(void) { return mtrDiagGetAdc(h, &u); }
static int dspRange(void) { return mtrDspSetRange(h, 2); }
static int dspAnalogOut(void) { return mtrDspSetAnalogOut(h, 1); }
static int dspFilter(void) { return mtrDspSetDacFilterBits(h, 0x0103); }
static int dspReadingDiag(void) { DspDiagReading a, b, c, d; return mtrDspGetReadingDiag(h, &a, &b, &c, &d); }
static int dspOperation(void) { DspDiagResult r; return mtrDspDiagOperation(h, 1, 2, 3, &r); }
static int dspDiagMode(void) { return mtrDspSetDiagMode(h, 1); }
static int dspDac(void) { return mtrDspSetDAC(h, 1, 0x1234); }

typedef struct Case {
    const char *name;
    int (*call)(void);
    int result;               /* what the call returns on the fake's default answer */
    int length;               /* bytes before the checksum: 4 + payload */
    unsigned char bytes[12];  /* address, function, code, count, payload */
} Case;

static const Case cases[] = {
    {"mtrGetReading", getReading, 0, 4, {1, 0x2B, 0x10, 0}},
    {"mtrGetLCDSnapshot", getLcd, 0, 4, {1, 0x2B, 0x17, 0}},
    {"mtrSetUnits", setUnits, 0, 6, {1, 0x2B, 0x12, 2, 0xFF, 0x00}},
    {"mtrSetRange", setRange, 0, 5, {1, 0x2B, 0x19, 1, 0x02}},
    {"mtrGetRange", getRange, 0, 4, {1, 0x2B, 0x1A, 0}},
    {"mtrSetAnalogOut", setAnalogOut, 0, 5, {1, 0x2B, 0x1B, 1, 1}},
    {"mtrRecal", recal, 0, 4, {1, 0x2B, 0x1E, 0}},
    {"mtrAutoZero", autoZero, 0, 4, {1, 0x2B, 0x1F, 0}},
    {"mtrAutoRange", autoRange, 0, 5, {1, 0x2B, 0x20, 1, 1}},
    {"mtrSetRelative", setRelative, 0, 5, {1, 0x2B, 0x21, 1, 2}},
    {"mtrGetRelative", getRelative, 0, 4, {1, 0x2B, 0x22, 0}},
    {"mtrGetFrequency", getFrequency, 0, 4, {1, 0x2B, 0x23, 0}},
    {"mtrSetLimit", setLimit, 0, 5, {1, 0x2B, 0x24, 1, 1}},
    {"mtrGetProbeData", getProbeData, 0, 5, {1, 0x2B, 0x25, 1, 5}},
    {"mtrSetHold", setHold, 0, 5, {1, 0x2B, 0x26, 1, 3}},
    {"mtrGetHold", getHold, 0, 4, {1, 0x2B, 0x27, 0}},
    {"mtrResetHold", resetHold, 0, 4, {1, 0x2B, 0x28, 0}},
    {"mtrSetPwroffTimer", setPwroff, 0, 5, {1, 0x2B, 0x3B, 1, 0}},
    {"mtrSetEnableRegister", setEnable, 0, 6, {1, 0x2B, 0x29, 2, 0x00, 0x20}},
    {"mtrGetEnableRegister", getEnable, 0, 5, {1, 0x2B, 0x2A, 1, 1}},
    {"mtrGetEventRegister", getEvent, 0, 5, {1, 0x2B, 0x2B, 1, 2}},
    {"mtrGetConditionRegister", getCondition, 0, 5, {1, 0x2B, 0x2C, 1, 3}},
    {"mtrClearEventRegisters", clearEvents, 0, 4, {1, 0x2B, 0x2D, 0}},
    {"mtrSetStatusEnable", setStatusEnable, 0, 5, {1, 0x2B, 0x2E, 1, 0x40}},
    {"mtrGetStatusEnable", getStatusEnable, 0, 4, {1, 0x2B, 0x2F, 0}},
    {"mtrGetStatusByte", getStatusByte, 0, 4, {1, 0x2B, 0x30, 0}},
    {"mtrGetNextError", getNextError, 0, 4, {1, 0x2B, 0x31, 0}},
    {"mtrClearErrorQueue", clearErrors, 0, 4, {1, 0x2B, 0x32, 0}},
    {"mtrPostError", postError, 0, 6, {1, 0x2B, 0x33, 2, 0xFF, 0x9A}},
    {"mtrClearEnableRegisters", clearEnables, 0, 4, {1, 0x2B, 0x34, 0}},
    {"mtrKeypadLockout", keypad, 0, 5, {1, 0x2B, 0x35, 1, 1}},
    {"mtrRaiseEvent", raiseEvent, 0, 6, {1, 0x2B, 0x37, 2, 0, 1}},
    {"mtrReadEEPROM", readEeprom, 0, 8, {1, 0x2B, 0x14, 4, 0x00, 0x10, 0x00, 0x01}},
    {"mtrWriteEEPROM", writeEeprom, 0, 9, {1, 0x2B, 0x15, 5, 0x00, 0x10, 0x00, 0x01, 0x5A}},
    {"mtrSendKey", sendKey, 0, 5, {1, 0x2B, 0x16, 1, 3}},
    {"mtrGetMeterInfo", meterInfo, 0, 4, {1, 0x2B, 0x18, 0}},
    {"mtrGetProbeInfo", probeInfo, 0, 4, {1, 0x2B, 0x36, 0}},
    {"mtrDspGetVersion", dspVersion, 0, 4, {1, 0x2B, 0x60, 0}},
    /* An answer with d[0] = 0 is a refusal: -1 with the connection left open
       (the commands after it go through on the same handle). */
    {"mtrStartDataTransfer", startTransfer, -1, 9, {1, 0x2B, 0x62, 5, 1, 0x00, 0x02, 0x01, 0x00}},
    {"mtrReadNextDataPacket", nextPacket, 0, 4, {1, 0x2B, 0x63, 0}},
    {"mtrSetDiagMode", setDiagMode, 0, 5, {1, 0x2B, 0x1C, 1, 1}},
    {"mtrSetDAC", setDac, 0, 8, {1, 0x2B, 0x1D, 4, 0x00, 0x02, 0x80, 0x00}},
    {"mtrDiagSetRange", diagRange, 0, 5, {1, 0x2B, 0x38, 1, 6}},
    {"mtrDiagSetAmpin", diagAmpin, 0, 5, {1, 0x2B, 0x39, 1, 1}},
    {"mtrDiagGetAdc", diagAdc, 0, 4, {1, 0x2B, 0x3A, 0}},
    {"mtrDspSetRange", dspRange, 0, 5, {1, 0x2B, 0x64, 1, 2}},
    {"mtrDspSetAnalogOut", dspAnalogOut, 0, 5, {1, 0x2B, 0x66, 1, 1}},
    {"mtrDspSetDacFilterBits", dspFilter, 0, 6, {1, 0x2B, 0x67, 2, 0x01, 0x03}},
    {"mtrDspGetReadingDiag", dspReadingDiag, 0, 4, {1, 0x2B, 0x68, 0}},
    {"mtrDspDiagOperation", dspOperation, 0, 10, {1, 0x2B, 0x6A, 6, 0, 1, 0, 2, 0, 3}},
    {"mtrDspSetDiagMode", dspDiagMode, 0, 5, {1, 0x2B, 0x6B, 1, 1}},
    {"mtrDspSetDAC", dspDac, 0, 8, {1, 0x2B, 0x6C, 4, 0x00, 0x01, 0x12, 0x34}},
    {NULL, NULL, 0, 0, {0}},
};

static void checkCrcAgainstPaper(void)
{
    static const unsigned char reading[] = {1, 0x2B, 0x10, 0};
    static const unsigned char operation[] = {1, 0x2B, 0x6A, 6, 0, 1, 0, 2, 0, 3};
    CHECK(crc16(reading, 4) == 0x107C, "%04x", crc16(reading, 4));
    CHECK(crc16(operation, 10) == 0x65F7, "%04x", crc16(operation, 10));
    CHECK(crc16((const unsigned char *)"123456789", 9) == 0x4B37, "check value");
}

static void everyCommandSendsItsFrame(void)
{
    const Case *c;
    int count = 0;
    for (c = cases; c->name != NULL; ++c, ++count) {
        unsigned char expected[60] = {0}, got[60];
        const int before = fakeLastRequest(0, got);
        const int result = c->call();
        const unsigned crc = crc16(c->bytes, c->length);
        memcpy(expected, c->bytes, (size_t)c->length);
        expected[c->length] = (unsigned char)(crc >> 8);
        expected[c->length + 1] = (unsigned char)(crc & 0xFF);
        CHECK(result == c->result, "%s returned %d", c->name, result);
        CHECK(fakeLastRequest(0, got) == before + 1, "%s: not exactly one request", c->name);
        CHECK(memcmp(got, expected, 60) == 0, "%s: request %02X %02X %02X %02X %02X %02X ...", c->name, got[0],
              got[1], got[2], got[3], got[4], got[5]);
    }
    CHECK(count == 52, "%d commands", count);
    printf("frames: %d commands sent their request frames\n", count);
}

static void answersAreDecoded(void)
{
    static const unsigned char frequency[] = {0x12, 0x34};
    static const unsigned char version[] = {0x01, 0xF4};
    static const unsigned char error[] = {0xFF, 0x9A};
    static const unsigned char packet[] = {0x00, 0x02, 0x01, 0x12, 0x34, 0xAB, 0xCD};
    MeterReading r;
    unsigned count = 0, values[28] = {0};
    CHECK(mtrGetReading(h, &r) == 0 && r.value == -200 && r.units == 1 && r.range == 2 && r.aux == 0 &&
              r.acdc == 1 && r.scale == 4,
          "reading %d %d %d %d %d %d", r.value, r.units, r.range, r.aux, r.acdc, r.scale);
    fakeScript(0, frequency, 2);
    CHECK(mtrGetFrequency(h, &u) == 0 && u == 4660, "frequency %u", u);
    fakeScript(0, version, 2);
    CHECK(mtrDspGetVersion(h, &u) == 0 && u == 500, "version %u", u);
    fakeScript(0, error, 2);
    CHECK(mtrGetNextError(h, &s) == 0 && s == -102, "error %d", s);
    fakeScript(0, packet, 7);
    CHECK(mtrReadNextDataPacket(h, &count, values) == 1 && count == 2 && values[0] == 4660 && values[1] == 43981,
          "packet %u: %u %u", count, values[0], values[1]);
}

static int startWith(int foreign, int count)
{
    int i;
    fakeReset();
    if (foreign) fakeAttach(0x1234, 0x5678);
    for (i = 0; i < count; ++i) fakeAttach(VENDOR, PRODUCT);
    return foreign ? 1 : 0;
}

static void openingAndClosing(void)
{
    unsigned char got[60];
    static const unsigned char range[6] = {1, 0x2B, 0x1A, 0, 0xB0, 0x7A};
    startWith(1, 0);
    CHECK(openKorvel() == 0, "a foreign device taken for a meter");
    CHECK(strstr(takeLog(), "open:") == NULL, "a foreign device was opened: %s", logText);

    startWith(1, 1);
    h = openKorvel();
    CHECK(h != 0, "no handle for the meter");
    /* Configuration 1, interface 0, the stale-answer drain, a range query. */
    CHECK(strstr(takeLog(), "open:1 configure1:1 claim0:1 read:1 write:1 read:1") != NULL, "open: %s", logText);
    fakeLastRequest(1, got);
    CHECK(memcmp(got, range, 6) == 0, "the verification is not a range query");
    closeKorvel(h);
    CHECK(strcmp(takeLog(), "release0:1 close:1 ") == 0, "close: %s", logText);
    CHECK(fakeOpenHandles() == 0, "%d handles left open", fakeOpenHandles());
    CHECK(mtrGetRange(h, &u) == -1 && takeLog()[0] == '\0', "a closed handle reached USB: %s", logText);
}

static void commandsAndScpi(void)
{
    char reply[128] = "";
    startWith(0, 1);
    h = openKorvel();
    CHECK(h != 0, "no handle");
    everyCommandSendsItsFrame();
    answersAreDecoded();
    CHECK(scpiCommand(h, "*IDN?", reply, (int)sizeof reply) == 0 && strcmp(reply, "FAKE,FM-1,FM0001,0.1") == 0,
          "*IDN? gave '%s'", reply);
    closeKorvel(h);
}

static void failedExchangeClosesTheHandle(void)
{
    startWith(0, 1);
    h = openKorvel();
    (void)takeLog();
    fakeFailNextRead(0);
    u = 77;
    CHECK(mtrGetRange(h, &u) == -1 && u == 77, "a failed read: %u", u);
    CHECK(strcmp(takeLog(), "write:0 read:0 release0:0 close:0 ") == 0, "failed exchange: %s", logText);
    CHECK(mtrGetRange(h, &u) == -1 && takeLog()[0] == '\0', "the dead handle reached USB: %s", logText);
    CHECK(fakeOpenHandles() == 0, "%d handles left open", fakeOpenHandles());
}

static void unplugAndReplug(void)
{
    MeterReading r;
    MeterHandle again;
    startWith(0, 1);
    h = openKorvel();
    fakeUnplug(0);
    CHECK(mtrGetReading(h, &r) == -1, "a reading from an unplugged meter");
    CHECK(fakeOpenHandles() == 0, "the unplugged meter's handle stayed open");
    CHECK(openKorvel() == 0, "an unplugged meter was opened");
    fakeReplug(0);
    again = openKorvel();
    CHECK(again != 0 && again != h, "replugged: %u (was %u)", again, h);
    CHECK(mtrGetReading(again, &r) == 0 && r.value == -200, "no reading after the replug");
    CHECK(mtrGetReading(h, &r) == -1, "the handle from before the unplug came back to life");
    closeKorvel(again);
}

static void twoMeters(void)
{
    char first[41] = "", second[41] = "";
    MeterHandle a, b;
    startWith(1, 2);
    a = openKorvel();
    b = openKorvel(); /* the first is claimed, so the second meter is taken */
    CHECK(a != 0 && b != 0 && a != b, "handles %u %u", a, b);
    CHECK(mtrGetMeterInfo(a, first) == 0 && strcmp(first, "FAKE,FM-1,FM0002,0.1") == 0, "first: %s", first);
    CHECK(mtrGetMeterInfo(b, second) == 0 && strcmp(second, "FAKE,FM-1,FM0003,0.1") == 0, "second: %s", second);
    CHECK(openKorvel() == 0, "a third meter out of two");
    closeKorvel(a);
    closeKorvel(b);
    CHECK(fakeOpenHandles() == 0, "%d handles left open", fakeOpenHandles());
}

int main(void)
{
    HMODULE fake = LoadLibraryW(L"libusb0.dll");
    if (fake == NULL) {
        printf("the fake libusb0.dll is not next to this program\n");
        return 2;
    }
    BIND(fake, fakeReset);
    BIND(fake, fakeAttach);
    BIND(fake, fakeUnplug);
    BIND(fake, fakeReplug);
    BIND(fake, fakeScript);
    BIND(fake, fakeFailNextRead);
    BIND(fake, fakeLastRequest);
    BIND(fake, fakeOpenHandles);
    BIND(fake, fakeTakeLog);
    checkCrcAgainstPaper();
    openingAndClosing();
    commandsAndScpi();
    failedExchangeClosesTheHandle();
    unplugAndReplug();
    twoMeters();
    printf("real_dll_test: %s (%d failures)\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
