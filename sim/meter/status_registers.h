// The meter's status reporting, IEEE 488.2 / SCPI style: four register sets
// (event, enable, condition), the status byte with its service-request
// enable mask, and a bounded error queue.
//
// Status byte:
//   bit 0  measurement summary   (measurement event AND enable != 0)
//   bit 2  error queue not empty
//   bit 3  questionable summary  (questionable event AND enable != 0)
//   bit 5  event summary         (standard event register AND its enable != 0)
//   bit 6  master summary        (bits 0-5 and 7 AND service-request enable != 0)
//   bit 7  operation summary     (operation event AND enable != 0)
// Bits 1 and 4 are always 0 (the meter has no output queue).
#pragma once

#include <cstdint>

namespace korvel::sim {

namespace status {

// Register sets (the selector byte of the status commands).
inline constexpr int kStandardEvent = 0;
inline constexpr int kMeasurement = 1;
inline constexpr int kOperation = 2;
inline constexpr int kQuestionable = 3;
inline constexpr int kSetCount = 4;

// Status byte.
inline constexpr std::uint8_t kSummaryMeasurement = 0x01;
inline constexpr std::uint8_t kErrorQueueNotEmpty = 0x04;
inline constexpr std::uint8_t kSummaryQuestionable = 0x08;
inline constexpr std::uint8_t kSummaryEvent = 0x20;
inline constexpr std::uint8_t kMasterSummary = 0x40;
inline constexpr std::uint8_t kSummaryOperation = 0x80;

// Standard event status register.
inline constexpr std::uint8_t kOperationComplete = 0x01;
inline constexpr std::uint8_t kQueryError = 0x04;
inline constexpr std::uint8_t kDeviceError = 0x08;
inline constexpr std::uint8_t kExecutionError = 0x10;
inline constexpr std::uint8_t kCommandError = 0x20;
inline constexpr std::uint8_t kPowerOn = 0x80;

// Measurement set (condition bits).
inline constexpr std::uint8_t kMeasHold = 0x01;       // hold active
inline constexpr std::uint8_t kMeasRelative = 0x02;   // relative mode active
inline constexpr std::uint8_t kMeasLimit = 0x04;      // limit on and exceeded
inline constexpr std::uint8_t kMeasAutoRange = 0x08;  // auto-range on
inline constexpr std::uint8_t kMeasAcMode = 0x10;     // AC measurement selected

// Operation set.
inline constexpr std::uint8_t kOperCalibrated = 0x01;    // event: a recalibration ran
inline constexpr std::uint8_t kOperZeroed = 0x02;        // event: an auto-zero ran
inline constexpr std::uint8_t kOperRangeChanged = 0x04;  // event: auto-range switched range
inline constexpr std::uint8_t kOperDiagnostic = 0x10;    // condition: diagnostic mode
inline constexpr std::uint8_t kOperKeypadLocked = 0x20;  // condition: keypad locked out

// Questionable set (condition bits).
inline constexpr std::uint8_t kQuesOverrange = 0x01;  // last reading saturated
inline constexpr std::uint8_t kQuesMeterCal = 0x02;   // meter calibration data invalid
inline constexpr std::uint8_t kQuesProbeCal = 0x04;   // probe calibration data invalid

}  // namespace status

// A FIFO of signed 16-bit error numbers. Reading an empty queue gives 0.
// When the queue is full, a new error is dropped and the newest entry becomes
// -350 (queue overflow), as SCPI requires.
class ErrorQueue {
public:
    static constexpr int kCapacity = 16;
    static constexpr std::int16_t kOverflow = -350;

    void push(std::int16_t code);
    std::int16_t pop();
    void clear() { count_ = 0; }
    int size() const { return count_; }
    // Copies up to max entries, oldest first, without removing them.
    int peek(std::int16_t* out, int max) const;

private:
    std::int16_t items_[kCapacity] = {};
    int head_ = 0;
    int count_ = 0;
};

struct RegisterSet {
    std::uint8_t event = 0;
    std::uint8_t enable = 0;
    std::uint8_t condition = 0;
};

class StatusSystem {
public:
    // Power-on: everything clear but the power-on event bit.
    void powerOn();

    // Sets or clears condition bits; a bit going from 0 to 1 latches the
    // same bit in the event register (positive transition filter).
    void setCondition(int set, std::uint8_t mask, bool on);
    // Latches event bits directly (for happenings without a lasting condition).
    void raise(int set, std::uint8_t bits);
    // Reads and clears an event register.
    std::uint8_t takeEvents(int set);

    void setEnable(int set, std::uint8_t mask) { sets_[set].enable = mask; }
    const RegisterSet& set(int s) const { return sets_[s]; }

    void setServiceRequestEnable(std::uint8_t mask) { sre_ = mask; }
    std::uint8_t serviceRequestEnable() const { return sre_; }
    std::uint8_t statusByte() const;

    // Queues an error and latches its class in the standard event register
    // (-1xx command, -2xx execution, -3xx and positive device, -4xx query).
    void postError(std::int16_t code);
    std::int16_t nextError() { return errors_.pop(); }
    void clearErrors() { errors_.clear(); }
    const ErrorQueue& errors() const { return errors_; }

    // *CLS: every event register and the error queue.
    void clearEvents();
    // Status preset: the enable registers of the measurement, operation and
    // questionable sets (the standard event enable and the service-request
    // enable belong to IEEE 488.2 and are kept).
    void clearEnables();

private:
    RegisterSet sets_[status::kSetCount];
    std::uint8_t sre_ = 0;
    ErrorQueue errors_;
};

}  // namespace korvel::sim
