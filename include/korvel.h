/*
 * korvel.h - host library for the Korvel USB magnetic-field meter.
 *
 * Plain C header, usable from C89/C99 and C++. Link with libkorvel-x64.so
 * (a real meter on USB through libusb-0.1) or libkorvel-x64-sim.so (the same
 * library over the built-in simulated meter; see korvel_sim.h).
 *
 * Conventions shared by every meter command (the mtr... functions):
 *  - The first argument is the MeterHandle returned by openKorvel().
 *  - Numeric arguments are 32-bit ints of which only the low 8 bits (or the
 *    low 16 bits, high byte first, where stated) travel to the meter; the
 *    library checks no ranges.
 *  - Result: 0 success; -1 the exchange failed. After a -1 the connection has
 *    been released and closed and the handle is dead: every later call on it
 *    returns -1 at once without touching USB. Open again with openKorvel().
 *    (Exceptions: mtrStartDataTransfer, mtrReadNextDataPacket, mtrWriteEEPROM.)
 *  - A handle of 0, a value openKorvel never returned, or a closed handle
 *    makes every command return -1 without touching USB.
 *  - Out-parameters are written only on success; on -1 they keep what they
 *    held. They must point to storage of the documented size (never NULL). The caller owns every out-parameter and buffer it passes in; the
 *    library keeps no pointer after it returns. A byte stored into an
 *    unsigned 32-bit out-parameter is zero-extended (0 to 255).
 *  - Each call is one blocking request/response exchange on the caller's
 *    thread: at most 500 ms to write and 2000 ms to read.
 *
 * Threads: exchanges on one handle are serialized by a per-handle lock, so
 * several threads may share a handle and each gets its own response. Calls on
 * different handles run in parallel. openKorvel() calls exclude each other and
 * hold up exchanges on other handles only while the USB bus lists are being
 * rebuilt (never during their waits or verification). scpiCommand() keeps all
 * its state per call and may run on several handles at once.
 */
#ifndef KORVEL_H
#define KORVEL_H

#if defined(_WIN32)
#define KORVEL_API __declspec(dllexport)
#else
#define KORVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Names one open meter connection; 0 means "no meter". */
typedef unsigned int MeterHandle;

/**
 * One frame as it crosses the USB cable: the 60 bytes frame[0..59] are
 * written or read; frame[60..63] never cross the wire.
 *   request:  01 2B code N payload[N] crcHi crcLo 00...  (N <= 54)
 *   response: addr func code N data[N] crcHi crcLo       (valid: N <= 54)
 * length: after a validated response, N + 6 (or 4 when N > 59).
 */
typedef struct MB_PDU {
    unsigned char length;
    unsigned char frame[64];
} MB_PDU;

/** A reading in counts with what is needed to turn it into a field. */
typedef struct MeterReading {
    short value; /**< counts, signed 16-bit */
    int units;   /**< 0 gauss, 1 tesla, 2 ampere per metre */
    int range;   /**< 0 (finest) to 2 */
    int aux;     /**< passed through, not interpreted */
    int acdc;    /**< 0 DC, 1 AC */
    int scale;   /**< resolution code; 2, 4 and 5 select other formats */
} MeterReading;

/** An image of the meter's display. */
typedef struct LcdSnapshot {
    char text[5];  /**< four characters and a terminating zero */
    int code;      /**< the meter's display code */
    int flags[13]; /**< the meter's annunciator flags, 0 to 255 each */
} LcdSnapshot;

/** What mtrStartDataTransfer reports; values[10] is 1 accepted, 0 refused. */
typedef struct TransferInfo {
    int values[11];
} TransferInfo;

/**
 * One group of mtrDspGetReadingDiag: values[0], [2], [4], [9] are 16-bit
 * readings, values[10] the group's first byte; [1], [3], [5]-[8] are set to 0.
 */
typedef struct DspDiagReading {
    int values[11];
} DspDiagReading;

/** The eight 16-bit results of mtrDspDiagOperation. */
typedef struct DspDiagResult {
    int values[8];
} DspDiagResult;

/* ---------------------------------------------------------------- connection */

/**
 * Finds the first meter on USB (vendor/product ids of the meter), opens it,
 * selects configuration 1, claims interface 0, discards any stale response
 * waiting on the meter, and verifies the meter with one range query.
 * Makes up to three attempts, 500 ms apart (a failing open takes >= 1.5 s).
 * A meter already claimed by another handle or process is skipped, so a
 * second openKorvel() reaches the next meter.
 * Returns: the new handle, or 0 when no meter could be opened and verified.
 */
KORVEL_API MeterHandle openKorvel(void);
/** Same as openKorvel(). */
KORVEL_API MeterHandle vb_openKorvel(void);
/**
 * Releases interface 0 and closes the meter. The handle is dead afterwards.
 * A handle that is 0, unknown or already dead is ignored.
 */
KORVEL_API void closeKorvel(MeterHandle handle);
/** Same function as closeKorvel(). */
KORVEL_API void vb_closeKorvel(MeterHandle handle);

/* ------------------------------------------------- measurement and settings */

/** Reads the field (command 0x10). reading: caller's record, filled on 0. */
KORVEL_API int mtrGetReading(MeterHandle handle, MeterReading *reading);
/** Reads the display image (0x17). snapshot: caller's record, filled on 0. */
KORVEL_API int mtrGetLCDSnapshot(MeterHandle handle, LcdSnapshot *snapshot);
/** Sets units (0 G, 1 T, 2 A/m) and acdc (0 DC, 1 AC) (0x12). */
KORVEL_API int mtrSetUnits(MeterHandle handle, int units, int acdc);
/** Selects range 0 to 2 (0x19). */
KORVEL_API int mtrSetRange(MeterHandle handle, int range);
/** Reads the range (0x1A) into *range (0 to 255). */
KORVEL_API int mtrGetRange(MeterHandle handle, unsigned int *range);
/** Sets the analog output mode 0 to 2 (0x1B). */
KORVEL_API int mtrSetAnalogOut(MeterHandle handle, int mode);
/** Starts a recalibration (0x1E). */
KORVEL_API int mtrRecal(MeterHandle handle);
/** Starts an auto-zero (0x1F). */
KORVEL_API int mtrAutoZero(MeterHandle handle);
/** Switches auto-range off (0) or on (1) (0x20). */
KORVEL_API int mtrAutoRange(MeterHandle handle, int state);
/** Sets relative mode 0 to 2 (0x21). */
KORVEL_API int mtrSetRelative(MeterHandle handle, int mode);
/** Reads relative mode (0x22) into *mode (0 to 255). */
KORVEL_API int mtrGetRelative(MeterHandle handle, unsigned int *mode);
/** Reads the frequency value (0x23) into *frequency (0 to 65535). */
KORVEL_API int mtrGetFrequency(MeterHandle handle, unsigned int *frequency);
/** Switches the limit setting off (0) or on (1) (0x24). */
KORVEL_API int mtrSetLimit(MeterHandle handle, int state);
/** Reads probe data byte index 0 to 255 (0x25) into *value (0 to 255). */
KORVEL_API int mtrGetProbeData(MeterHandle handle, int index, unsigned int *value);
/** Sets hold mode 0 to 3 (0x26). */
KORVEL_API int mtrSetHold(MeterHandle handle, int mode);
/** Reads hold mode (0x27) into *mode (0 to 255). */
KORVEL_API int mtrGetHold(MeterHandle handle, unsigned int *mode);
/** Releases the held value (0x28). */
KORVEL_API int mtrResetHold(MeterHandle handle);
/** Switches the power-off timer off (0) or on (1) (0x3B). */
KORVEL_API int mtrSetPwroffTimer(MeterHandle handle, int state);

/* ------------------------------------------- status registers, error queue */
/* selector: 0 standard event status, 1 measurement, 2 operation, 3 questionable */

/** Writes the enable mask (low 8 bits) of a register set (0x29). */
KORVEL_API int mtrSetEnableRegister(MeterHandle handle, int selector, int mask);
/** Reads the enable mask of a register set (0x2A) into *mask (0 to 255). */
KORVEL_API int mtrGetEnableRegister(MeterHandle handle, int selector, unsigned int *mask);
/** Reads (and so clears, in the meter) a set's event register (0x2B) into *events. */
KORVEL_API int mtrGetEventRegister(MeterHandle handle, int selector, unsigned int *events);
/** Reads a set's condition register (0x2C) into *condition (0 to 255). */
KORVEL_API int mtrGetConditionRegister(MeterHandle handle, int selector, unsigned int *condition);
/** Clears every event register (0x2D, *CLS). */
KORVEL_API int mtrClearEventRegisters(MeterHandle handle);
/** Writes the service-request enable mask (0x2E). */
KORVEL_API int mtrSetStatusEnable(MeterHandle handle, int mask);
/** Reads the service-request enable mask (0x2F) into *mask (0 to 255). */
KORVEL_API int mtrGetStatusEnable(MeterHandle handle, unsigned int *mask);
/** Reads the status byte (0x30) into *status (0 to 255). */
KORVEL_API int mtrGetStatusByte(MeterHandle handle, unsigned int *status);
/** Takes the oldest error number off the meter's queue (0x31); 0 = empty. */
KORVEL_API int mtrGetNextError(MeterHandle handle, short *error);
/** Empties the error queue (0x32). */
KORVEL_API int mtrClearErrorQueue(MeterHandle handle);
/** Posts an error number (low 16 bits, high byte first) to the queue (0x33). */
KORVEL_API int mtrPostError(MeterHandle handle, int error);
/** Clears every enable register (0x34). */
KORVEL_API int mtrClearEnableRegisters(MeterHandle handle);
/** Locks (1) or unlocks (0) the keypad (0x35). */
KORVEL_API int mtrKeypadLockout(MeterHandle handle, int state);
/** Sets event bits in a register set (0x37); *OPC uses selector 0, bits 1. */
KORVEL_API int mtrRaiseEvent(MeterHandle handle, int selector, int events);

/* ------------------------------------------ identity, memory, data transfer */

/**
 * Reads up to 50 bytes of non-volatile memory from address (low 16 bits), count
 * (low 16 bits) (0x14). values: caller's array of at least count elements.
 * Stores min(bytes the meter reports, count, bytes its frame carries) values
 * (0 to 255) and writes one line "eepromAddr = %04x, bytesRead = %04x\n" with
 * the meter's reported address and count to standard output.
 */
KORVEL_API int mtrReadEEPROM(MeterHandle handle, int address, int count, unsigned int *values);
/**
 * Writes count (0 to 50) bytes at address (0x15): the low 8 bits of
 * values[0..count-1] (caller's array, read only). A count outside 0 to 50
 * returns -1 without sending anything and leaves the connection open.
 */
KORVEL_API int mtrWriteEEPROM(MeterHandle handle, int address, int count, const int *values);
/** Presses key code (low 8 bits) remotely (0x16). */
KORVEL_API int mtrSendKey(MeterHandle handle, int key);
/** Copies the 40 identification bytes unchanged into info (caller's, >= 40 bytes, no terminator added) (0x18). */
KORVEL_API int mtrGetMeterInfo(MeterHandle handle, char *info);
/** Copies the 24 probe bytes unchanged into info (caller's, >= 24 bytes, no terminator added) (0x36). */
KORVEL_API int mtrGetProbeInfo(MeterHandle handle, char *info);
/** Reads the signal processor's version (0x60) into *version (0 to 65535). */
KORVEL_API int mtrDspGetVersion(MeterHandle handle, unsigned int *version);
/**
 * Starts a data transfer (0x62): selector (8 bits), first and second (16 bits).
 * Returns 0 accepted (info filled, values[10] = 1); -1 refused by the meter
 * (values[10] = 0, values[0..9] untouched, connection stays OPEN); -1 failed
 * exchange (info untouched, connection closed).
 */
KORVEL_API int mtrStartDataTransfer(MeterHandle handle, int selector, int first, int second,
                                    TransferInfo *info);
/**
 * Fetches the next data packet (0x63). values: caller's array of >= 28
 * elements; *count: the number of values stored (only values the frame holds).
 * Returns 1 (flag byte set), 0 (flag byte clear) or -1 (failed, closed).
 */
KORVEL_API int mtrReadNextDataPacket(MeterHandle handle, unsigned int *count, unsigned int *values);

/* ------------------------------------------------------------- diagnostics */

/** Switches diagnostic mode 0 or 1 (0x1C). */
KORVEL_API int mtrSetDiagMode(MeterHandle handle, int mode);
/** Loads DAC 0 to 3 with value 0 to 65535 (both 16 bits) (0x1D). */
KORVEL_API int mtrSetDAC(MeterHandle handle, int dac, int value);
/** Selects multiplexer range 0 to 6 (0x38). */
KORVEL_API int mtrDiagSetRange(MeterHandle handle, int range);
/** Selects amplifier input 0 or 1 (0x39). */
KORVEL_API int mtrDiagSetAmpin(MeterHandle handle, int ampin);
/** Reads the raw converter (0x3A) into *reading (0 to 65535). */
KORVEL_API int mtrDiagGetAdc(MeterHandle handle, unsigned int *reading);
/** Signal processor: sets its range (0x64). */
KORVEL_API int mtrDspSetRange(MeterHandle handle, int range);
/** Signal processor: sets its analog output (0x66). */
KORVEL_API int mtrDspSetAnalogOut(MeterHandle handle, int setting);
/** Signal processor: sets the converter filter bits, 16 bits (0x67). */
KORVEL_API int mtrDspSetDacFilterBits(MeterHandle handle, int bits);
/** Signal processor: fills four caller's records, one 9-byte group each (0x68). */
KORVEL_API int mtrDspGetReadingDiag(MeterHandle handle, DspDiagReading *first,
                                    DspDiagReading *second, DspDiagReading *third,
                                    DspDiagReading *fourth);
/** Signal processor: runs a diagnostic operation with three 16-bit parameters (0x6A). */
KORVEL_API int mtrDspDiagOperation(MeterHandle handle, int first, int second, int third,
                                   DspDiagResult *result);
/** Signal processor: sets its diagnostic mode (0x6B). */
KORVEL_API int mtrDspSetDiagMode(MeterHandle handle, int mode);
/** Signal processor: sets a converter, two 16-bit values (0x6C). */
KORVEL_API int mtrDspSetDAC(MeterHandle handle, int first, int second);

/* ------------------------------------------------------------------- SCPI */

/**
 * Runs one line of SCPI commands separated by ";" and writes the replies,
 * joined by ";", into reply.
 *   command: NUL-terminated text of at most 128 characters (caller's).
 *   reply:   caller's buffer of size bytes; size 1 to 128.
 * Nothing is ever written beyond size bytes (and nothing at all when size <= 0).
 * Early refusals, written cut to size - 1 characters and terminated:
 *   "Error: command too long"       (more than 128 characters)
 *   "Error: invalid len"            (size above 128 or negative)
 *   "Error: unrecognizable command" (empty or non-printable first character)
 * Otherwise each piece's reply text, "USB Connection Problem" for a piece
 * whose meter exchange failed, "Unknown Cmd: ..." for an unknown command.
 * Command errors are posted to the meter's error queue (read with :SYST:ERR?).
 * A reply that does not fit posts -363 and stops the line.
 * Returns 0 always.
 */
KORVEL_API int scpiCommand(MeterHandle handle, const char *command, char *reply, int size);
/** Same as scpiCommand(). */
KORVEL_API int vb_scpiCommand(MeterHandle handle, const char *command, char *reply, int size);

/**
 * Console self-test: prompts on standard output, waits for one byte on
 * standard input, opens the first meter, sends "*idn?", ":syst:out 0" and,
 * one second later, ":syst:out 1", printing each reply, then closes the meter.
 */
KORVEL_API void mbRunTest(void);

#ifdef __cplusplus
} /* extern "C" */

#include <cstddef>
/* The records' layout is part of the ABI: hosts in other languages mirror it. */
static_assert(sizeof(MeterHandle) == 4, "MeterHandle is 32 bits");
static_assert(sizeof(MB_PDU) == 65 && offsetof(MB_PDU, frame) == 1, "MB_PDU: length byte, 64 frame bytes");
static_assert(offsetof(MeterReading, value) == 0 && offsetof(MeterReading, units) == 4 &&
                  offsetof(MeterReading, range) == 8 && offsetof(MeterReading, aux) == 12 &&
                  offsetof(MeterReading, acdc) == 16 && offsetof(MeterReading, scale) == 20 &&
                  sizeof(MeterReading) == 24,
              "MeterReading: short value, then five 32-bit ints");
static_assert(offsetof(LcdSnapshot, text) == 0 && offsetof(LcdSnapshot, code) == 8 &&
                  offsetof(LcdSnapshot, flags) == 12 && sizeof(LcdSnapshot) == 64,
              "LcdSnapshot: 5 characters, code, 13 flags");
static_assert(sizeof(TransferInfo) == 44 && sizeof(DspDiagReading) == 44 && sizeof(DspDiagResult) == 32,
              "TransferInfo and DspDiagReading: 11 ints; DspDiagResult: 8 ints");

/**
 * Raw exchange (C++ linkage; exported as _Z14mtrTransactionjP6MB_PDUS0_).
 * Sends request->frame[0..59] exactly as given (checksum included; length is
 * ignored), reads 60 bytes into response->frame and validates them, setting
 * response->length. Both records are the caller's.
 * Returns 0 valid response; -1 write, read or validation failed (connection
 * closed; after a failed write or read response->length is unchanged).
 */
KORVEL_API int mtrTransaction(MeterHandle handle, MB_PDU *request, MB_PDU *response);
#endif

#endif /* KORVEL_H */
