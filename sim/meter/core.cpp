#include "sim/meter/core.h"

#include <cmath>

namespace korvel::sim {

using namespace status;

void MeterCore::powerOn() {
    settings = Settings{};
    status.powerOn();
    transfer = Transfer{};
    zeroOffset = 0.0;
    reference = 0.0;
    referenceTaken = false;
    held = 0.0;
    checkCalibration();
    updateConditions();
    // Conditions that hold from power-on are the starting state, not news.
    status.takeEvents(kMeasurement);
    status.takeEvents(kOperation);
}

void MeterCore::checkCalibration() {
    const bool meterOk = eeprom.blockValid(eeprom::kMeterCal, eeprom::kMeterCalSize);
    const bool probeOk = eeprom.blockValid(eeprom::kProbeData, eeprom::kProbeDataSize);
    if (!meterOk) status.postError(errors::kMeterCalData);
    if (!probeOk) status.postError(errors::kProbeCalData);
    status.setCondition(kQuestionable, kQuesMeterCal, !meterOk);
    status.setCondition(kQuestionable, kQuesProbeCal, !probeOk);
}

double MeterCore::sense() {
    if (settings.acdc != 0) return field.acSample();
    return field.dcSample(now) - zeroOffset;
}

double MeterCore::relativeTo(double tesla) const {
    return settings.relative != 0 ? tesla - reference : tesla;
}

void MeterCore::takeReference() {
    reference = sense();
    referenceTaken = true;
}

void MeterCore::captureHold() { held = relativeTo(sense()); }

Counts MeterCore::measure() {
    double b = relativeTo(sense());
    switch (settings.hold) {
    case 0: break;
    case 2: if (std::fabs(b) > std::fabs(held)) held = b; b = held; break;
    case 3: if (std::fabs(b) < std::fabs(held)) held = b; b = held; break;
    default: b = held; break;
    }
    const Counts c = toCounts(b, settings.units, settings.range, settings.autoRange != 0, scale);
    if (settings.autoRange != 0 && c.range != settings.range) {
        settings.range = c.range;
        status.raise(kOperation, kOperRangeChanged);
    }
    status.setCondition(kQuestionable, kQuesOverrange, c.overrange);
    const int threshold = eeprom.word(eeprom::kLimit);
    status.setCondition(kMeasurement, kMeasLimit,
                        settings.limit != 0 && (c.overrange || std::abs(c.value) > threshold));
    return c;
}

void MeterCore::updateConditions() {
    status.setCondition(kMeasurement, kMeasHold, settings.hold != 0);
    status.setCondition(kMeasurement, kMeasRelative, settings.relative != 0);
    status.setCondition(kMeasurement, kMeasAutoRange, settings.autoRange != 0);
    status.setCondition(kMeasurement, kMeasAcMode, settings.acdc != 0);
    status.setCondition(kOperation, kOperDiagnostic, settings.diagMode != 0);
    status.setCondition(kOperation, kOperKeypadLocked, settings.keypadLockout != 0);
}

}  // namespace korvel::sim
