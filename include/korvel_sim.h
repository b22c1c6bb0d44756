/*
 * korvel_sim.h - control of the simulated meter, exported by
 * libkorvel-x64-sim.so only (the real library has none of these functions).
 *
 * The simulated library is the real library's code over a virtual USB bus on
 * which simulated meters hang. A fresh process sees one meter with power-on
 * defaults and a quiet field; these functions change that: how many meters,
 * the field each one measures, faults to inject, and a look inside.
 *
 * Meters are numbered 0, 1, ... in bus order (the order openKorvel tries
 * them). Results: 0 (or a count or index) on success, -1 for a bad argument
 * or an unknown meter. Every function is thread-safe.
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
 * Multiplies every USB timeout the bus waits out (1.0 = real time; 0.01
 * makes a 2000 ms read timeout last 20 ms). The library's own waits (500 ms
 * between open attempts, the self-test's second) are not affected.
 */
KORVEL_API int korvelSimSetTimeScale(double scale);
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

/** A steady DC field of `tesla`, no noise. */
KORVEL_API int korvelSimSetField(int meter, double tesla);
/** Full field description; field: caller's record, copied. */
KORVEL_API int korvelSimSetFieldSource(int meter, const KorvelSimField *field);

/* ------------------------------------------------------------------ faults */

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
    KORVEL_SIM_FAULT_UNPLUG = 10           /**< unplugged while the request is in flight */
} KorvelSimFault;

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
    KORVEL_SIM_RECALIBRATIONS, KORVEL_SIM_AUTO_ZEROS, KORVEL_SIM_LAST_KEY
} KorvelSimSetting;

/** A meter's setting or counter; -1 for an unknown meter or setting. */
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
