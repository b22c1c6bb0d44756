#include "sim/meter/memory_chip.h"

#include <cstdio>
#include <cstring>

#include "link/checksum.h"

namespace korvel::sim {

using namespace eeprom;

namespace {

void putText(std::uint8_t* at, int size, const char* text) {
    std::memset(at, 0, static_cast<std::size_t>(size));
    const std::size_t n = std::strlen(text);
    std::memcpy(at, text, n < static_cast<std::size_t>(size) ? n : static_cast<std::size_t>(size));
}

void put16(std::uint8_t* at, unsigned value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

void Eeprom::program(int serial) {
    std::memset(bytes_, 0xFF, sizeof bytes_);
    const int number = serial % 10000;
    char text[48];

    std::snprintf(text, sizeof text, "KORVEL,KV-100,KV%04d,1.02", number);
    putText(bytes_ + kMeterInfo, 40, text);
    std::snprintf(text, sizeof text, "HP-100 AXIAL,P-%05d", 10000 + number);
    putText(bytes_ + kProbeInfo, 24, text);

    // Meter calibration: gains near unity (0x8000 = 1.0) and small offsets
    // that differ a little from meter to meter, as trimmed in production.
    std::uint8_t* cal = bytes_ + kMeterCal;
    std::memset(cal, 0, kMeterCalSize);
    for (int range = 0; range < 3; ++range) {
        put16(cal + 4 * range, static_cast<unsigned>(0x8000 + 17 * number + 5 * range));
        put16(cal + 4 * range + 2, static_cast<unsigned>(3 + (number + range) % 7));
    }
    put16(cal + 12, 0x9C40);  // converter reference, 2.5 V in 62.5 uV steps
    cal[14] = 0x26;           // calibrated 2026-03-14 (BCD)
    cal[15] = 0x03;
    cal[16] = 0x14;
    seal(kMeterCal, kMeterCalSize);

    put16(bytes_ + kLimit, 30000);

    // Probe data: type, serial text, sensitivity (uV/mT, 16-bit), a
    // temperature coefficient table, sealed with a CRC.
    std::uint8_t* probe = bytes_ + kProbeData;
    std::memset(probe, 0, kProbeDataSize);
    probe[0] = 0x01;  // axial Hall probe
    probe[1] = 0x02;  // data layout version
    std::snprintf(text, sizeof text, "P-%05d", 10000 + number);
    putText(probe + 2, 14, text);
    put16(probe + 16, static_cast<unsigned>(5000 + number % 100));  // sensitivity
    put16(probe + 18, 25);                                           // reference temperature, C
    for (int i = 0; i < 32; ++i) probe[32 + i] = static_cast<std::uint8_t>((i * 37 + number) & 0xFF);
    seal(kProbeData, kProbeDataSize);
}

std::uint16_t Eeprom::word(int address) const {
    return static_cast<std::uint16_t>((bytes_[address] << 8) | bytes_[address + 1]);
}

int Eeprom::read(int address, std::uint8_t* out, int count) const {
    if (address < 0 || address >= kSize || count <= 0) return 0;
    const int n = count < kSize - address ? count : kSize - address;
    std::memcpy(out, bytes_ + address, static_cast<std::size_t>(n));
    return n;
}

int Eeprom::write(int address, const std::uint8_t* in, int count) {
    if (address < 0 || address >= kSize || count <= 0) return 0;
    const int n = count < kSize - address ? count : kSize - address;
    std::memcpy(bytes_ + address, in, static_cast<std::size_t>(n));
    return n;
}

bool Eeprom::blockValid(int address, int size) const {
    return mbChecksum(bytes_ + address, size - 2) == word(address + size - 2);
}

void Eeprom::seal(int address, int size) {
    put16(bytes_ + address + size - 2, mbChecksum(bytes_ + address, size - 2));
}

}  // namespace korvel::sim
