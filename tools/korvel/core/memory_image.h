// Reading and writing the meter's non-volatile memory in the largest pieces
// one frame carries, and the checks an image must pass before it is used.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/library.h"

namespace korvel::cli {

// The most memory bytes one frame carries, reading or writing.
inline constexpr int kEepromChunk = 50;
// The memory of a real meter unless --size says otherwise.
inline constexpr int kDefaultEepromSize = 2048;
// Addresses travel as 16 bits.
inline constexpr int kEepromAddressLimit = 65536;

struct Chunk {
    int address;
    int count;
};
// [start, start + length) cut into pieces of at most `chunk` bytes.
std::vector<Chunk> planChunks(int start, int length, int chunk = kEepromChunk);

// Where an image of `imageSize` bytes goes, or why it cannot: without a start
// address the image must be the whole memory; with one it must lie inside it.
struct Placement {
    int start = 0;
    std::string refusal;  // empty when it fits
};
Placement placeImage(long long imageSize, std::optional<int> start, int memorySize);

// A byte count or address as typed: decimal, or hexadecimal after 0x.
// Empty for anything else (signs, garbage, more than 9 digits).
std::optional<long long> parseNumber(const std::string& text);

// The line mtrReadEEPROM prints, parsed: the address the meter echoed and the
// count it reported. Empty when the text holds no such line.
struct ReadEcho {
    unsigned address;
    unsigned count;
};
std::optional<ReadEcho> parseReadEcho(const std::string& printed);

// Called after every chunk with the bytes done so far and the total.
using Progress = std::function<void(int done, int total)>;

class EepromAccess {
public:
    EepromAccess(const Api& api, MeterHandle handle) : api_(api), handle_(handle) {}

    // Reads [start, start+length). Every byte is checked: the meter must echo
    // the address, report the whole count and deliver every byte. Throws
    // Failure (exit 1) naming the address where it went wrong.
    std::vector<std::uint8_t> read(int start, int length, const Progress& progress = {});
    // Writes the bytes at start. Throws Failure on a failed exchange.
    void write(int start, const std::vector<std::uint8_t>& bytes, const Progress& progress = {});

private:
    const Api& api_;
    MeterHandle handle_;
};

}  // namespace korvel::cli
