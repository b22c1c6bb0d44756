// The meter's answer to each command code. Set commands answer with no data;
// a value outside what the meter takes is refused with error -224 and the
// setting stays as it was.
#include "sim/meter/command_handlers.h"

#include <array>
#include <cmath>

#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/meter/display.h"

namespace korvel::sim {
namespace {

using wire::Command;
using namespace status;

// Firmware version of the signal processor: 5.00.
constexpr unsigned kDspVersion = 500;

// Auto-zero nulls at most this much field (the probe should sit in a zero
// chamber); more is refused.
constexpr double kZeroWindow = 1e-3;

// Full scale of the diagnostic multiplexer's ranges, tesla.
constexpr double kMuxFullScale[limits::kMuxRange + 1] = {0.03, 0.1, 0.3, 1.0, 3.0, 10.0, 30.0};

// Data transfer selectors.
constexpr int kCaptureWaveform = 1;  // first: samples (0: 256), second: interval in us (0: 1000)
constexpr int kMemoryBlock = 2;      // first: address, second: byte count

// Stores `value` into `setting` when it is at most `highest`; otherwise
// refuses it.
bool accept(Exchange& x, std::uint8_t& setting, int value, int highest) {
    if (value > highest) {
        x.meter.status.postError(errors::kIllegalParameter);
        return false;
    }
    setting = static_cast<std::uint8_t>(value);
    return true;
}

bool validSet(Exchange& x, int set) {
    if (set < kSetCount) return true;
    x.meter.status.postError(errors::kIllegalParameter);
    return false;
}

// ------------------------------------------------------------ measurement

void getReading(Exchange& x) {
    const Counts c = x.meter.measure();
    const Settings& s = x.meter.settings;
    x.put16(static_cast<std::uint16_t>(c.value));
    x.put8(s.units);
    x.put8(c.range);
    // aux: bit 0 overrange, bit 1 hold, bit 2 relative, bit 3 auto-range.
    x.put8((c.overrange ? 1U : 0U) | (s.hold ? 2U : 0U) | (s.relative ? 4U : 0U) |
           (s.autoRange ? 8U : 0U));
    x.put8(s.acdc);
    x.put8(x.meter.scale);  // the resolution the counts are in
}

void getLcdSnapshot(Exchange& x) {
    const Counts c = x.meter.measure();
    const LcdImage lcd = renderLcd(c, x.meter.settings, x.meter.scale);
    for (char ch : lcd.text) x.put8(static_cast<unsigned char>(ch));
    x.put8(lcd.decimals);
    for (std::uint8_t flag : lcd.flags) x.put8(flag);
}

void setUnits(Exchange& x) {
    Settings& s = x.meter.settings;
    if (x.u8(0) > limits::kUnits || x.u8(1) > limits::kAcDc) {
        x.meter.status.postError(errors::kIllegalParameter);
        return;
    }
    s.units = x.u8(0);
    s.acdc = x.u8(1);
}

void setRange(Exchange& x) {
    // Choosing a range by hand ends auto-ranging.
    if (accept(x, x.meter.settings.range, x.u8(0), limits::kRange)) x.meter.settings.autoRange = 0;
}

void getRange(Exchange& x) {
    // Under auto-range the range follows the field.
    if (x.meter.settings.autoRange != 0) x.meter.measure();
    x.put8(x.meter.settings.range);
}

void autoRange(Exchange& x) { accept(x, x.meter.settings.autoRange, x.u8(0), limits::kOnOff); }

void setAnalogOut(Exchange& x) { accept(x, x.meter.settings.analogOut, x.u8(0), limits::kAnalogOut); }

void recal(Exchange& x) {
    ++x.meter.counters.recalibrations;
    x.meter.checkCalibration();
    x.meter.status.raise(kOperation, kOperCalibrated);
}

void autoZero(Exchange& x) {
    MeterCore& m = x.meter;
    ++m.counters.autoZeros;
    const double present = m.field.source().dc + m.field.driftAt(m.now);
    if (std::fabs(present) > kZeroWindow) {
        m.status.postError(errors::kIllegalParameter);
        return;
    }
    m.zeroOffset = present;
    m.status.raise(kOperation, kOperZeroed);
}

void setRelative(Exchange& x) {
    MeterCore& m = x.meter;
    const int mode = x.u8(0);
    if (mode > limits::kRelative) {
        m.status.postError(errors::kIllegalParameter);
        return;
    }
    // 1 takes a fresh reference; 2 goes back to the stored one (taking one
    // if there is none yet).
    if (mode == 1 || (mode == 2 && !m.referenceTaken)) m.takeReference();
    m.settings.relative = static_cast<std::uint8_t>(mode);
}

void getRelative(Exchange& x) { x.put8(x.meter.settings.relative); }

void getFrequency(Exchange& x) { x.put16(x.meter.field.frequency()); }

void setLimit(Exchange& x) { accept(x, x.meter.settings.limit, x.u8(0), limits::kOnOff); }

void getProbeData(Exchange& x) { x.put8(x.meter.eeprom.at(eeprom::kProbeData + x.u8(0))); }

void setHold(Exchange& x) {
    MeterCore& m = x.meter;
    const int mode = x.u8(0);
    if (mode > limits::kHold) {
        m.status.postError(errors::kIllegalParameter);
        return;
    }
    // The display freezes at the moment hold is pressed.
    if (mode != 0 && m.settings.hold == 0) m.captureHold();
    m.settings.hold = static_cast<std::uint8_t>(mode);
}

void getHold(Exchange& x) { x.put8(x.meter.settings.hold); }

void resetHold(Exchange& x) {
    if (x.meter.settings.hold != 0) x.meter.captureHold();
}

void setPwroffTimer(Exchange& x) { accept(x, x.meter.settings.powerOffTimer, x.u8(0), limits::kOnOff); }

// ------------------------------------------------------- status registers

void setEnableRegister(Exchange& x) {
    if (validSet(x, x.u8(0))) x.meter.status.setEnable(x.u8(0), x.u8(1));
}

void getEnableRegister(Exchange& x) {
    x.put8(validSet(x, x.u8(0)) ? x.meter.status.set(x.u8(0)).enable : 0);
}

void getEventRegister(Exchange& x) {
    if (!validSet(x, x.u8(0))) {
        x.put8(0);
        return;
    }
    x.meter.measure();  // the meter measures all the time: events are current
    x.put8(x.meter.status.takeEvents(x.u8(0)));
}

void getConditionRegister(Exchange& x) {
    if (!validSet(x, x.u8(0))) {
        x.put8(0);
        return;
    }
    x.meter.measure();
    x.put8(x.meter.status.set(x.u8(0)).condition);
}

void clearEventRegisters(Exchange& x) { x.meter.status.clearEvents(); }

void setStatusEnable(Exchange& x) { x.meter.status.setServiceRequestEnable(x.u8(0)); }

void getStatusEnable(Exchange& x) { x.put8(x.meter.status.serviceRequestEnable()); }

void getStatusByte(Exchange& x) {
    x.meter.measure();
    x.put8(x.meter.status.statusByte());
}

void getNextError(Exchange& x) { x.put16(static_cast<std::uint16_t>(x.meter.status.nextError())); }

void clearErrorQueue(Exchange& x) { x.meter.status.clearErrors(); }

void postError(Exchange& x) {
    const auto code = static_cast<std::int16_t>(x.u16(0));
    if (code != 0) x.meter.status.postError(code);  // 0 is "no error"
}

void clearEnableRegisters(Exchange& x) { x.meter.status.clearEnables(); }

void keypadLockout(Exchange& x) { accept(x, x.meter.settings.keypadLockout, x.u8(0), limits::kOnOff); }

void raiseEvent(Exchange& x) {
    if (validSet(x, x.u8(0))) x.meter.status.raise(x.u8(0), x.u8(1));
}

// ------------------------------------------------------ identity, memory

void readEeprom(Exchange& x) {
    constexpr int kMaxRead = 50;  // what one answer carries within 60 bytes
    const int address = x.u16(0);
    const int wanted = x.u16(2);
    std::uint8_t bytes[kMaxRead];
    if (address >= x.meter.eeprom.size()) x.meter.status.postError(errors::kIllegalParameter);
    const int got = x.meter.eeprom.read(address, bytes, wanted < kMaxRead ? wanted : kMaxRead);
    x.put16(static_cast<unsigned>(address));
    x.put16(static_cast<unsigned>(got));
    x.putBytes(bytes, got);
}

void writeEeprom(Exchange& x) {
    const int address = x.u16(0);
    const int count = x.u16(2);
    const int carried = x.payloadLength - 4;
    const int n = count < carried ? count : carried;
    const int written = x.meter.eeprom.write(address, x.payload + 4, n);
    // A count that the request does not carry, or bytes beyond the end of
    // the memory, are refused (what fits is written).
    if (count != carried || written != n) x.meter.status.postError(errors::kIllegalParameter);
    x.put16(static_cast<unsigned>(address));
    x.put16(static_cast<unsigned>(written));
}

// Front-panel keys.
enum Key : std::uint8_t {
    kKeyUnits = 1, kKeyAcDc = 2, kKeyRange = 3, kKeyAuto = 4, kKeyHold = 5, kKeyRelative = 6,
    kKeyZero = 7,
};

void sendKey(Exchange& x) {
    MeterCore& m = x.meter;
    Settings& s = m.settings;
    const int key = x.u8(0);
    m.counters.lastKey = key;
    if (s.keypadLockout != 0) return;  // locked out: the press is ignored
    switch (key) {
    case kKeyUnits: s.units = static_cast<std::uint8_t>((s.units + 1) % kUnitCount); break;
    case kKeyAcDc: s.acdc ^= 1; break;
    case kKeyRange:
        s.range = static_cast<std::uint8_t>((s.range + 1) % kRangeCount);
        s.autoRange = 0;
        break;
    case kKeyAuto: s.autoRange ^= 1; break;
    case kKeyHold:
        if (s.hold == 0) m.captureHold();
        s.hold = s.hold == 0 ? 1 : 0;
        break;
    case kKeyRelative:
        if (s.relative == 0) m.takeReference();
        s.relative = s.relative == 0 ? 1 : 0;
        break;
    case kKeyZero: autoZero(x); break;
    default: break;  // keys without a function
    }
}

void getMeterInfo(Exchange& x) {
    x.putBytes(x.meter.eeprom.data() + eeprom::kMeterInfo, wire::kMeterInfoSize);
}

void getProbeInfo(Exchange& x) {
    x.putBytes(x.meter.eeprom.data() + eeprom::kProbeInfo, wire::kProbeInfoSize);
}

void dspGetVersion(Exchange& x) { x.put16(kDspVersion); }

// A refusal is the flag byte 0 alone; the transfer under way (if any) goes on.
void refuseTransfer(Exchange& x) {
    x.meter.status.postError(errors::kIllegalParameter);
    x.put8(0);
}

void startDataTransfer(Exchange& x) {
    MeterCore& m = x.meter;
    Transfer& t = m.transfer;
    const int selector = x.u8(0);
    const int first = x.u16(1);
    const int second = x.u16(3);
    int detail = 0;
    std::uint8_t units = 0;
    std::uint8_t range = 0;
    if (selector == kCaptureWaveform) {
        const int samples = first == 0 ? 256 : first;
        const int interval = second == 0 ? 1000 : second;
        if (samples > Transfer::kCapacity) return refuseTransfer(x);
        // Sample the instantaneous field; under auto-range the range is the
        // finest that holds the largest sample.
        double wave[Transfer::kCapacity];
        double peak = 0.0;
        for (int i = 0; i < samples; ++i) {
            wave[i] = m.field.instantaneous(m.now + i * interval * 1e-6) - m.zeroOffset;
            peak = std::fmax(peak, std::fabs(wave[i]));
        }
        const Settings& s = m.settings;
        range = s.autoRange != 0 ? toCounts(peak, s.units, 0, true, x.meter.scale).range : s.range;
        units = s.units;
        for (int i = 0; i < samples; ++i)
            t.values[i] = static_cast<std::uint16_t>(toCounts(wave[i], units, range, false, x.meter.scale).value);
        t.length = samples;
        detail = interval;
    } else if (selector == kMemoryBlock) {
        if (second == 0 || second > Transfer::kCapacity || first + second > m.eeprom.size())
            return refuseTransfer(x);
        for (int i = 0; i < second; ++i) t.values[i] = m.eeprom.at(first + i);
        t.length = second;
        detail = first;
    } else {
        return refuseTransfer(x);
    }
    t.sent = 0;
    t.active = true;

    // The block's CRC, over its values high byte first, lets the host check it.
    std::uint8_t block[2 * Transfer::kCapacity];
    for (int i = 0; i < t.length; ++i) {
        block[2 * i] = static_cast<std::uint8_t>(t.values[i] >> 8);
        block[2 * i + 1] = static_cast<std::uint8_t>(t.values[i] & 0xFF);
    }
    const unsigned crc = mbChecksum(block, 2 * t.length);
    const int packets = (t.length + Transfer::kPerPacket - 1) / Transfer::kPerPacket;

    x.put8(1);  // accepted
    x.put16(static_cast<unsigned>(t.length));
    x.put16(static_cast<unsigned>(packets));
    x.put16(Transfer::kPerPacket);
    x.put16(static_cast<unsigned>(first));
    x.put16(static_cast<unsigned>(second));
    x.put16(static_cast<unsigned>(detail));
    x.put8(units);
    x.put8(range);
    x.put16(static_cast<unsigned>(selector));
    x.put16(crc);
}

void readNextDataPacket(Exchange& x) {
    Transfer& t = x.meter.transfer;
    const int left = t.active ? t.length - t.sent : 0;
    const int n = left < Transfer::kPerPacket ? left : Transfer::kPerPacket;
    x.put16(static_cast<unsigned>(n));
    x.put8(left - n > 0 ? 1 : 0);  // more follows
    for (int i = 0; i < n; ++i) x.put16(t.values[t.sent + i]);
    t.sent += n;
    if (t.sent >= t.length) t.active = false;
}

// ----------------------------------------------------------- diagnostics

void setDiagMode(Exchange& x) { accept(x, x.meter.settings.diagMode, x.u8(0), limits::kOnOff); }

void setDac(Exchange& x) {
    const int dac = x.u16(0);
    if (dac > limits::kDac) {
        x.meter.status.postError(errors::kIllegalParameter);
        return;
    }
    x.meter.settings.dac[dac] = x.u16(2);
}

void diagSetRange(Exchange& x) { accept(x, x.meter.settings.muxRange, x.u8(0), limits::kMuxRange); }

void diagSetAmpin(Exchange& x) { accept(x, x.meter.settings.ampInput, x.u8(0), limits::kOnOff); }

// The raw converter: the Hall amplifier (input 0) scaled by the multiplexer
// range around mid-scale, trimmed by DAC 0; or the converter's reference
// (input 1).
unsigned rawAdc(MeterCore& m) {
    const Settings& s = m.settings;
    if (s.ampInput != 0) return m.eeprom.word(eeprom::kMeterCal + 12);
    const double full = kMuxFullScale[s.muxRange];
    double code = 32768.0 + m.field.dcSample(m.now) / full * 32767.0 + (s.dac[0] - 32768.0) / 64.0;
    code = std::round(code);
    return static_cast<unsigned>(code < 0 ? 0 : (code > 65535 ? 65535 : code));
}

void diagGetAdc(Exchange& x) { x.put16(rawAdc(x.meter)); }

void dspSetRange(Exchange& x) { x.meter.settings.dspRange = x.u8(0); }

void dspSetAnalogOut(Exchange& x) { x.meter.settings.dspAnalogOut = x.u8(0); }

void dspSetDacFilterBits(Exchange& x) { x.meter.settings.dspFilterBits = x.u16(0); }

void dspSetDiagMode(Exchange& x) { x.meter.settings.dspDiagMode = x.u8(0); }

void dspSetDac(Exchange& x) {
    const int which = x.u16(0);
    if (which > limits::kDac) {
        x.meter.status.postError(errors::kIllegalParameter);
        return;
    }
    x.meter.settings.dspDac[which] = x.u16(2);
}

// Four channel groups: channel number, raw converter value, calibration
// offset, calibration gain, filtered value.
void dspGetReadingDiag(Exchange& x) {
    MeterCore& m = x.meter;
    const unsigned hall = rawAdc(m);
    const unsigned reference = m.eeprom.word(eeprom::kMeterCal + 12);
    const unsigned temperature = 2982;  // 298.2 K
    const unsigned supply = 4950;       // mV
    const unsigned raw[4] = {hall, reference, temperature, supply};
    const int r = m.settings.range;
    for (unsigned channel = 0; channel < 4; ++channel) {
        x.put8(channel);
        x.put16(raw[channel]);
        x.put16(channel == 0 ? m.eeprom.word(eeprom::kMeterCal + 4 * r + 2) : 0);
        x.put16(channel == 0 ? m.eeprom.word(eeprom::kMeterCal + 4 * r) : 0x8000);
        x.put16(raw[channel]);
    }
}

// Echoes its three parameters and reports the signal processor's settings.
void dspDiagOperation(Exchange& x) {
    const Settings& s = x.meter.settings;
    x.put16(x.u16(0));
    x.put16(x.u16(2));
    x.put16(x.u16(4));
    x.put16(s.dspRange);
    x.put16(s.dspAnalogOut);
    x.put16(s.dspFilterBits);
    x.put16(s.dspDiagMode);
    x.put16(s.dspDac[x.u16(0) & 3]);
}

// ------------------------------------------------------------- the table

struct Entry {
    Command code;
    HandlerFn run;
    std::uint8_t payload;
    const char* name;
};

constexpr Entry kEntries[] = {
    {Command::GetReading, getReading, 0, "GetReading"},
    {Command::SetUnits, setUnits, 2, "SetUnits"},
    {Command::ReadEeprom, readEeprom, 4, "ReadEeprom"},
    {Command::WriteEeprom, writeEeprom, 4, "WriteEeprom"},
    {Command::SendKey, sendKey, 1, "SendKey"},
    {Command::GetLcdSnapshot, getLcdSnapshot, 0, "GetLcdSnapshot"},
    {Command::GetMeterInfo, getMeterInfo, 0, "GetMeterInfo"},
    {Command::SetRange, setRange, 1, "SetRange"},
    {Command::GetRange, getRange, 0, "GetRange"},
    {Command::SetAnalogOut, setAnalogOut, 1, "SetAnalogOut"},
    {Command::SetDiagMode, setDiagMode, 1, "SetDiagMode"},
    {Command::SetDac, setDac, 4, "SetDac"},
    {Command::Recal, recal, 0, "Recal"},
    {Command::AutoZero, autoZero, 0, "AutoZero"},
    {Command::AutoRange, autoRange, 1, "AutoRange"},
    {Command::SetRelative, setRelative, 1, "SetRelative"},
    {Command::GetRelative, getRelative, 0, "GetRelative"},
    {Command::GetFrequency, getFrequency, 0, "GetFrequency"},
    {Command::SetLimit, setLimit, 1, "SetLimit"},
    {Command::GetProbeData, getProbeData, 1, "GetProbeData"},
    {Command::SetHold, setHold, 1, "SetHold"},
    {Command::GetHold, getHold, 0, "GetHold"},
    {Command::ResetHold, resetHold, 0, "ResetHold"},
    {Command::SetEnableRegister, setEnableRegister, 2, "SetEnableRegister"},
    {Command::GetEnableRegister, getEnableRegister, 1, "GetEnableRegister"},
    {Command::GetEventRegister, getEventRegister, 1, "GetEventRegister"},
    {Command::GetConditionRegister, getConditionRegister, 1, "GetConditionRegister"},
    {Command::ClearEventRegisters, clearEventRegisters, 0, "ClearEventRegisters"},
    {Command::SetStatusEnable, setStatusEnable, 1, "SetStatusEnable"},
    {Command::GetStatusEnable, getStatusEnable, 0, "GetStatusEnable"},
    {Command::GetStatusByte, getStatusByte, 0, "GetStatusByte"},
    {Command::GetNextError, getNextError, 0, "GetNextError"},
    {Command::ClearErrorQueue, clearErrorQueue, 0, "ClearErrorQueue"},
    {Command::PostError, postError, 2, "PostError"},
    {Command::ClearEnableRegisters, clearEnableRegisters, 0, "ClearEnableRegisters"},
    {Command::KeypadLockout, keypadLockout, 1, "KeypadLockout"},
    {Command::GetProbeInfo, getProbeInfo, 0, "GetProbeInfo"},
    {Command::RaiseEvent, raiseEvent, 2, "RaiseEvent"},
    {Command::DiagSetRange, diagSetRange, 1, "DiagSetRange"},
    {Command::DiagSetAmpin, diagSetAmpin, 1, "DiagSetAmpin"},
    {Command::DiagGetAdc, diagGetAdc, 0, "DiagGetAdc"},
    {Command::SetPwroffTimer, setPwroffTimer, 1, "SetPwroffTimer"},
    {Command::DspGetVersion, dspGetVersion, 0, "DspGetVersion"},
    {Command::StartDataTransfer, startDataTransfer, 5, "StartDataTransfer"},
    {Command::ReadNextDataPacket, readNextDataPacket, 0, "ReadNextDataPacket"},
    {Command::DspSetRange, dspSetRange, 1, "DspSetRange"},
    {Command::DspSetAnalogOut, dspSetAnalogOut, 1, "DspSetAnalogOut"},
    {Command::DspSetDacFilterBits, dspSetDacFilterBits, 2, "DspSetDacFilterBits"},
    {Command::DspGetReadingDiag, dspGetReadingDiag, 0, "DspGetReadingDiag"},
    {Command::DspDiagOperation, dspDiagOperation, 6, "DspDiagOperation"},
    {Command::DspSetDiagMode, dspSetDiagMode, 1, "DspSetDiagMode"},
    {Command::DspSetDac, dspSetDac, 4, "DspSetDac"},
};

constexpr std::array<Handler, 256> makeTable() {
    std::array<Handler, 256> table{};
    for (const Entry& e : kEntries)
        table[static_cast<std::uint8_t>(e.code)] = Handler{e.run, e.payload, e.name};
    return table;
}

constinit const std::array<Handler, 256> kTable = makeTable();

}  // namespace

const Handler& handlerFor(std::uint8_t code) { return kTable[code]; }

}  // namespace korvel::sim
