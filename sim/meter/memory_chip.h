// The meter's non-volatile memory: a 4 KiB serial EEPROM holding the meter's
// and the probe's identification texts and calibration blocks. Unused cells
// read 0xFF, as erased EEPROM does.
//
// Map (addresses in hex):
//   0000-0027  meter identification, 40 bytes, zero-padded text
//              ("KORVEL,KV-100,KV0001,1.02")
//   0028-003F  probe identification, 24 bytes, zero-padded text
//              ("HP-100 AXIAL,P-10001")
//   0040-005F  meter calibration block: per range a 16-bit gain and a 16-bit
//              offset (12 bytes), converter reference (2), calibration date
//              YY MM DD (3), reserved; CRC-16/MODBUS of 0040-005D at 005E
//              (high byte first)
//   0060-0061  limit threshold in counts (16-bit, high byte first)
//   0100-01FF  probe data block, 256 bytes, read one byte at a time with the
//              probe-data command: type, serial text, sensitivity and
//              temperature coefficients; CRC-16/MODBUS of 0100-01FD at 01FE
//   0200-0FFF  free for the user
#pragma once

#include <cstdint>

namespace korvel::sim {

namespace eeprom {

inline constexpr int kSize = 4096;
inline constexpr int kMeterInfo = 0x0000;
inline constexpr int kProbeInfo = 0x0028;
inline constexpr int kMeterCal = 0x0040;
inline constexpr int kMeterCalSize = 0x20;  // CRC in the last two bytes
inline constexpr int kLimit = 0x0060;
inline constexpr int kProbeData = 0x0100;
inline constexpr int kProbeDataSize = 0x100;  // CRC in the last two bytes
inline constexpr int kUserArea = 0x0200;

}  // namespace eeprom

class Eeprom {
public:
    // Factory image of the meter with serial number `serial` (1 is KV0001).
    void program(int serial);

    int size() const { return eeprom::kSize; }
    std::uint8_t at(int address) const { return bytes_[address]; }
    std::uint16_t word(int address) const;
    const std::uint8_t* data() const { return bytes_; }

    // Copies bytes that lie within the memory; returns how many (0 when the
    // address is beyond the end).
    int read(int address, std::uint8_t* out, int count) const;
    int write(int address, const std::uint8_t* in, int count);

    // A block is valid when the CRC in its last two bytes matches.
    bool blockValid(int address, int size) const;

private:
    void seal(int address, int size);  // writes a block's CRC
    std::uint8_t bytes_[eeprom::kSize] = {};
};

}  // namespace korvel::sim
