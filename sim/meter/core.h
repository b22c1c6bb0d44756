// Everything the simulated meter keeps, and the measurement it performs.
// Internal to the model: the command handlers work on this, the Meter class
// wraps it in a lock and a frame interface.
#pragma once

#include <cstdint>

#include "sim/meter/memory_chip.h"
#include "sim/meter/field.h"
#include "sim/meter/status_registers.h"

namespace korvel::sim {

// Settings the commands change; all lost at power-off.
struct Settings {
    std::uint8_t units = kGauss;
    std::uint8_t acdc = 0;  // 0 DC, 1 AC
    std::uint8_t range = 0;
    std::uint8_t autoRange = 1;  // the meter powers up auto-ranging
    std::uint8_t hold = 0;       // 0 off, 1 hold, 2 peak (largest), 3 valley (smallest)
    std::uint8_t relative = 0;   // 0 off, 1 new reference, 2 stored reference
    std::uint8_t analogOut = 0;
    std::uint8_t limit = 0;
    std::uint8_t powerOffTimer = 1;  // the hand-held switches itself off by default
    std::uint8_t keypadLockout = 0;
    std::uint8_t diagMode = 0;
    std::uint8_t muxRange = 0;
    std::uint8_t ampInput = 0;
    std::uint16_t dac[4] = {0x8000, 0x8000, 0x8000, 0x8000};
    // Signal processor.
    std::uint8_t dspRange = 0;
    std::uint8_t dspAnalogOut = 0;
    std::uint8_t dspDiagMode = 0;
    std::uint16_t dspFilterBits = 0;
    std::uint16_t dspDac[4] = {};
};

// Highest accepted value of each setting (above it the meter posts -224 and
// keeps the old value).
namespace limits {
inline constexpr int kUnits = 2;
inline constexpr int kAcDc = 1;
inline constexpr int kRange = 2;
inline constexpr int kHold = 3;
inline constexpr int kRelative = 2;
inline constexpr int kAnalogOut = 2;
inline constexpr int kOnOff = 1;
inline constexpr int kMuxRange = 6;
inline constexpr int kDac = 3;
}  // namespace limits

// Error numbers the meter posts itself.
namespace errors {
inline constexpr std::int16_t kCommand = -100;          // unknown or malformed request
inline constexpr std::int16_t kIllegalParameter = -224;  // a value the meter does not take
inline constexpr std::int16_t kMeterCalData = 3;         // meter calibration block invalid
inline constexpr std::int16_t kProbeCalData = 43;        // probe data block invalid
}  // namespace errors

// A block recorded for a data transfer, handed out packet by packet.
struct Transfer {
    static constexpr int kCapacity = 1024;  // values
    static constexpr int kPerPacket = 25;   // what fits a 60-byte answer
    std::uint16_t values[kCapacity] = {};
    int length = 0;
    int sent = 0;
    bool active = false;
};

struct Counters {
    long long exchanges = 0;
    int recalibrations = 0;
    int autoZeros = 0;
    int lastKey = 0;
    long long faults = 0;
};

struct MeterCore {
    Settings settings;
    StatusSystem status;
    Eeprom eeprom;
    FieldSampler field;
    Transfer transfer;
    Counters counters;
    double now = 0.0;  // seconds since power-on, for this exchange
    // The scale code sent with every reading (set from outside, like the
    // field; kept across power cycles). Its counts follow its resolution.
    std::uint8_t scale = 0;

    // Measurement pipeline state.
    double zeroOffset = 0.0;  // tesla, set by auto-zero
    double reference = 0.0;   // relative-mode reference
    bool referenceTaken = false;
    double held = 0.0;  // the held value (tesla, after relative)

    // Clears everything volatile; checks the calibration blocks.
    void powerOn();
    // Checks the calibration blocks: posts their errors and sets the
    // questionable condition bits.
    void checkCalibration();

    // What the probe gives now, after the zero offset (before relative/hold).
    double sense();
    // Relative mode applied to a sensed value.
    double relativeTo(double tesla) const;
    void takeReference();
    void captureHold();
    // One reading: sense, relative, hold, convert; updates range under
    // auto-range and the overrange and limit conditions.
    Counts measure();
    // Lasting conditions that follow the settings (hold, relative, ...).
    void updateConditions();
};

}  // namespace korvel::sim
