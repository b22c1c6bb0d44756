/*
 * korvel_sim.h - control of the simulated meter, exported by
 * libkorvel-x64-sim.so only (the real library has none of these functions).
 *
 * The simulated library is the real library's code over a virtual USB bus on
 * which simulated meters hang. A fresh process sees one meter with power-on
 * defaults, in a field of 12.5 mT with noise (KORVEL_SIM_DEFAULT_FIELD),
 * answering each exchange after 1 ms (see korvelSimSetLatency); these functions change that: how many meters, the
 * field each one measures, faults to inject, and a look inside.
 *
 * Meters are numbered 0, 1, ... in bus order (the order openKorvel tries
 * them). Results: 0 (or a count or index) on success, -1 for a bad argument
 * or an unknown meter. Every function is thread-safe.
 *
 * The simulated meter
 * -------------------
 * Identification (*IDN?, 40 bytes, zero-padded): "KORVEL,KV-100,KV0001,1.02"
 * for meter 0, KV0002 for meter 1, ...; probe (*OPT?, 24 bytes):
 * "HP-100 AXIAL,P-10001", P-10002, ... Both texts live in the meter's memory
 * and change when it is rewritten there. Signal-processor version: 500.
 *
 * Power-on state: gauss, DC, auto-range on (range 0 in a quiet field), hold,
 * relative, analog output, limit, keypad lock-out, diagnostic mode,
 * multiplexer range and amplifier input 0; power-off timer 1; DACs 0x8000;
 * every register 0 but the power-on bit (128) of the standard event register
 * and the auto-range condition bit of the measurement set; empty error queue.
 *
 * Readings: counts of 0.1 G, 1e-5 T, 10 A/m (range 0), 1 G, 1e-4 T, 100 A/m
 * (range 1), 10 G, 1e-3 T, 1000 A/m (range 2) with scale code 0 (the
 * default; korvelSimSetScale chooses another); A/m is the field H = B / mu0. Auto-range takes the finest range that holds the field; beyond
 * the top range (or the chosen one) the counts pin at +/-32767 and the
 * questionable overrange condition is set. A manual range ends auto-range.
 * aux byte: bit 0 overrange, 1 hold, 2 relative, 3 auto-range. AC mode reads
 * the RMS of the AC component (noise added); DC mode reads the static field
 * with drift and noise (the AC component averages out). Hold 1 freezes the
 * reading when switched on (reset hold takes a new one), 2 keeps the largest
 * magnitude, 3 the smallest. Relative 1 takes the present field as
 * reference, 2 reuses the stored reference. Auto-zero nulls up to 1 mT.
 * The frequency query reports the AC component's frequency (0 without one).
 * A value the meter does not take (units 3, range 3, DAC 4, selector 4, ...)
 * is refused with error -224 and the setting stays. A garbled or unknown
 * request is answered without data and queues -100. Keys (mtrSendKey):
 * 1 units, 2 AC/DC, 3 range, 4 auto-range, 5 hold, 6 relative, 7 zero;
 * ignored while the keypad is locked out.
 *
 * Status byte: bit 0 measurement summary, 2 error queue not empty,
 * 3 questionable summary, 5 standard event summary, 6 master summary
 * (bits 0-5, 7 AND the service-request enable), 7 operation summary. A summary
 * bit is set when the set's event register AND its enable mask is nonzero.
 * Conditions latch their event bits on a rising edge; reading an event
 * register clears it. Measurement set: 1 hold, 2 relative, 4 limit exceeded,
 * 8 auto-range, 16 AC. Operation set: events 1 recalibrated, 2 zeroed,
 * 4 auto-range changed range; conditions 16 diagnostic mode, 32 keypad locked.
 * Questionable set: 1 overrange, 2 meter calibration data invalid, 4 probe
 * calibration data invalid (checked at power-on and recalibration; errors 3
 * and 43). Standard event: posted errors latch 32 (-1xx), 16 (-2xx),
 * 8 (-3xx, positive), 4 (-4xx). *CLS clears every event register and the
 * error queue; the status preset (0x34) clears the enable registers of sets
 * 1 to 3. Error queue: 16 entries, oldest first, 0 when empty; a full queue
 * turns its newest entry into -350.
 *
 * Memory (4096 bytes, erased cells 0xFF): 0x000 identification text (40),
 * 0x028 probe text (24), 0x040 calibration block (32, CRC-16/MODBUS in its
 * last two bytes, high first), 0x060 limit threshold in counts (16-bit, 30000),
 * 0x100 probe data block (256, read by mtrGetProbeData; CRC in its last two),
 * 0x200 on free. A read answers at most 50 bytes.
 *
 * Data transfers (mtrStartDataTransfer): selector 1 captures `first` samples
 * (0: 256, at most 1024) of the instantaneous field `second` microseconds
 * apart (0: 1000), as signed counts of the present units and range; selector
 * 2 hands out `second` memory bytes (1 to 1024) from address `first`. Any
 * other selector or size is refused. The ten values: 0 number of values,
 * 1 packets, 2 values per packet (25), 3 first, 4 second, 5 sample interval
 * (selector 1) or address (2), 6 units, 7 range, 8 selector, 9 CRC-16/MODBUS
 * of the values sent high byte first. Packets carry 25 values with flag 1
 * while more follow; after the last one, empty packets with flag 0.
 */
#ifndef KORVEL_SIM_H
#define KORVEL_SIM_H

#include "korvel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- the bus */

/**
 * Empties the bus and attaches `meters` simulated meters (0 to 16) with
 * power-on defaults, each with its own serial number (the first is
 * "KV0001" ... in the identification text). Handles opened before become
 * dead. Timeouts are real time again. Returns meters, or -1.
 */
KORVEL_API int korvelSimReset(int meters);
/** Attaches one more meter at the end of the bus; returns its number or -1. */
KORVEL_API int korvelSimAddMeter(void);
/** Attaches a device that is not a meter (other ids); returns 0 or -1. */
KORVEL_API int korvelSimAddForeignDevice(unsigned int vendor, unsigned int product);
/** Number of simulated meters on the bus (plugged or not). */
KORVEL_API int korvelSimMeterCount(void);
/** Unplugs a meter: transfers in progress and later fail (-ENODEV). */
KORVEL_API int korvelSimUnplug(int meter);
/** Plugs a meter back in (a new connection is needed; its state is kept). */
KORVEL_API int korvelSimReplug(int meter);
/**
 * The number of the meter behind a handle openKorvel returned; -1 for a
 * handle that is not open (0, never issued, closed, dead after a failed
 * exchange, or opened before the last korvelSimReset). Waits while another
 * thread is in an exchange on the handle; talks to no meter.
 */
KORVEL_API int korvelSimIndexOf(MeterHandle handle);
/**
 * Multiplies every USB timeout the bus waits out (1.0 = real time; 0.01
 * makes a 2000 ms read timeout last 20 ms). The library's own waits (500 ms
 * between open attempts, the self-test's second) are not affected.
 */
KORVEL_API int korvelSimSetTimeScale(double scale);
/**
 * How long an exchange takes on the simulated cable, in seconds (0 to 10;
 * default 0.001, a full-speed USB frame). Like USB frames the cable ticks once
 * per latency, and an exchange ends on the first tick at least half a latency
 * after it starts: one latency on average, and exactly one exchange per tick
 * for a program reading in a loop (at most 1000 readings/s by default, as
 * with a real meter). The wait is spent in the request's write, before the
 * meter acts. Kept across korvelSimReset; tests that need speed set 0.
 * Returns 0, or -1 for a value out of range.
 */
KORVEL_API int korvelSimSetLatency(double seconds);
/** Returns a meter to its power-on state (settings, registers, queue). */
KORVEL_API int korvelSimPowerCycle(int meter);

/* -------------------------------------------------------------- the field */

/** What a meter's probe sits in. All values in tesla and hertz. */
typedef struct KorvelSimField {
    double dc;          /**< static field */
    double acAmplitude; /**< peak of the AC component (0: none) */
    double acFrequency; /**< its frequency; also what the meter reports */
    double noise;       /**< standard deviation of Gaussian noise */
    double drift;       /**< peak of a slow wander around dc (period ~ minutes) */
    unsigned int seed;  /**< noise seed: equal seeds give equal readings */
} KorvelSimField;

/**
 * The field every meter finds itself in when attached (korvelSimReset,
 * korvelSimAddMeter, a fresh process): 12.5 mT DC, as near a small permanent
 * magnet, with Gaussian noise of 1.25e-5 T and a slow drift of at most
 * 3.25e-5 T, the noise seeded with the meter's number plus one.
 */
#define KORVEL_SIM_DEFAULT_FIELD 0.0125

/** A steady DC field of `tesla`, no noise. */
KORVEL_API int korvelSimSetField(int meter, double tesla);
/** Full field description; field: caller's record, copied. */
KORVEL_API int korvelSimSetFieldSource(int meter, const KorvelSimField *field);
/**
 * The scale code (0 to 255) the meter sends with every reading from now on,
 * and the resolution its counts then follow. Codes with their own resolution:
 * 2 (range 1: 0.001 G, 1e-7 T, 0.01 A/m), 4 (A/m in kA/m: 1, 10, 100 A/m per
 * count in ranges 0, 1, 2) and 5 (A/m in kA/m: 10, 100, 1000 A/m per count);
 * every other code counts as scale code 0. So with scale code 5, A/m and
 * range 2, a field of 1.5507 T sends about 1234 counts (1234 kA/m). Counts
 * still pin at +/-32767 beyond the range. Kept across power cycles; a meter
 * attached by korvelSimReset or korvelSimAddMeter starts with 0.
 * Returns 0, or -1 for a code out of range or an unknown meter.
 */
KORVEL_API int korvelSimSetScale(int meter, int scale);

/* ------------------------------------------------------------------ faults */

/*
 * Silence, write failure and unplug lose the request (the meter does not act
 * on it); with every other fault the meter acts on the request and only its
 * answer is spoiled. After an unplug fault nothing reaches the meter until
 * korvelSimReplug. An answer in the wrong checksum order whose two checksum
 * bytes happen to be equal gets a flipped bit instead, so that every fault but
 * KORVEL_SIM_FAULT_OTHER_COMMAND (which the protocol cannot detect) fails the
 * exchange it strikes. A late answer waits on the cable for the next read.
 */
typedef enum KorvelSimFault {
    KORVEL_SIM_FAULT_NONE = 0,
    KORVEL_SIM_FAULT_SILENCE = 1,          /**< no answer: the read times out */
    KORVEL_SIM_FAULT_LATE = 2,             /**< the answer comes after the read timed out */
    KORVEL_SIM_FAULT_WRITE_FAIL = 3,       /**< the request write is not accepted */
    KORVEL_SIM_FAULT_BAD_CHECKSUM = 4,     /**< one checksum bit flipped */
    KORVEL_SIM_FAULT_CHECKSUM_LOW_FIRST = 5, /**< checksum in Modbus RTU byte order */
    KORVEL_SIM_FAULT_COUNT_OVER_59 = 6,    /**< byte count 60 or more */
    KORVEL_SIM_FAULT_COUNT_55_TO_59 = 7,   /**< byte count 55..59, checksum beyond the frame */
    KORVEL_SIM_FAULT_OTHER_COMMAND = 8,    /**< valid frame carrying another command code */
    KORVEL_SIM_FAULT_SHORT_READ = 9,       /**< fewer bytes delivered than the frame needs */
    KORVEL_SIM_FAULT_UNPLUG = 10,          /**< unplugged while the request is in flight */
    KORVEL_SIM_FAULT_STALL = 11            /**< the exchange hangs for KORVEL_SIM_STALL_SECONDS, then goes on
                                                (as a USB call stuck in the kernel); never drawn at random */
} KorvelSimFault;

/** How long a KORVEL_SIM_FAULT_STALL exchange hangs, in seconds (real time). */
#define KORVEL_SIM_STALL_SECONDS 3

/** The next `count` exchanges of the meter suffer `fault` (count 0 clears). */
KORVEL_API int korvelSimInjectFault(int meter, int fault, int count);
/**
 * Each exchange suffers a fault with `probability` (0 to 1), the kind drawn
 * from the faults above (seeded, so runs repeat). 0 turns it off.
 */
KORVEL_API int korvelSimSetRandomFaults(int meter, double probability, unsigned int seed);
/** Claiming the meter's interface fails (as when another program holds it). */
KORVEL_API int korvelSimSetClaimRefused(int meter, int refused);
/** Opening the meter's device fails (as without permission). */
KORVEL_API int korvelSimSetOpenFails(int meter, int fails);

/* ---------------------------------------------------------- looking inside */

typedef enum KorvelSimSetting {
    KORVEL_SIM_UNITS, KORVEL_SIM_ACDC, KORVEL_SIM_RANGE, KORVEL_SIM_AUTO_RANGE,
    KORVEL_SIM_HOLD, KORVEL_SIM_RELATIVE, KORVEL_SIM_ANALOG_OUT, KORVEL_SIM_LIMIT,
    KORVEL_SIM_POWER_OFF_TIMER, KORVEL_SIM_KEYPAD_LOCKOUT, KORVEL_SIM_DIAG_MODE,
    KORVEL_SIM_MUX_RANGE, KORVEL_SIM_AMP_INPUT, KORVEL_SIM_STATUS_BYTE,
    KORVEL_SIM_SERVICE_REQUEST_ENABLE, KORVEL_SIM_ERROR_COUNT, KORVEL_SIM_EXCHANGES,
    KORVEL_SIM_RECALIBRATIONS, KORVEL_SIM_AUTO_ZEROS, KORVEL_SIM_LAST_KEY,
    KORVEL_SIM_FAULTS /**< faults that struck so far (one-shot and random) */
} KorvelSimSetting;

/**
 * A meter's setting or counter; -1 for an unknown meter or setting. RANGE is
 * the range of the last measurement under auto-range. EXCHANGES counts the
 * requests that reached the meter (faulty ones included), LAST_KEY the last
 * key code sent (0 before any).
 */
KORVEL_API int korvelSimGetSetting(int meter, int setting);
/** DAC `dac` (0 to 3) of a meter, 0 to 65535; -1 when unknown. */
KORVEL_API int korvelSimGetDac(int meter, int dac);
/** Register of a set (0 to 3): which 0 event, 1 enable, 2 condition. */
KORVEL_API int korvelSimGetRegister(int meter, int set, int which);
/**
 * Copies up to `max` queued error numbers (oldest first) into codes (caller's
 * array) without removing them; returns how many are queued.
 */
KORVEL_API int korvelSimPeekErrors(int meter, short *codes, int max);
/** Size of a meter's non-volatile memory in bytes. */
KORVEL_API int korvelSimEepromSize(int meter);
/** Copies `count` memory bytes from `address` into bytes (caller's); 0 or -1. */
KORVEL_API int korvelSimReadEeprom(int meter, int address, unsigned char *bytes, int count);
/** Overwrites memory bytes directly (no exchange); 0 or -1. */
KORVEL_API int korvelSimWriteEeprom(int meter, int address, const unsigned char *bytes, int count);

/** One usb_* call made by the library. */
typedef struct KorvelSimCall {
    char name[32];        /**< e.g. "usb_bulk_write" */
    int device;           /**< device index on the bus, -1 where none */
    int argument;         /**< configuration, interface, endpoint or debug level */
    int timeout;          /**< ms, bulk transfers */
    int result;           /**< what the call returned */
    unsigned char data[64]; /**< bytes written or read */
    int dataLength;
} KorvelSimCall;

/** Forgets the recorded calls. */
KORVEL_API int korvelSimClearCalls(void);
/** Calls recorded since the last clear (only the last 4096 are kept). */
KORVEL_API long long korvelSimCallCount(void);
/** The i-th recorded call into *call (caller's); 0, or -1 when not kept. */
KORVEL_API int korvelSimGetCall(long long i, KorvelSimCall *call);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_SIM_H */
