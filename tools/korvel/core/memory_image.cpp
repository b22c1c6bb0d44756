#include "core/memory_image.h"

#include <cstdio>

#include "core/capture.h"
#include "core/failure.h"

namespace korvel::cli {
namespace {

// Outside 0..255, so a value the library never stored stands out.
constexpr unsigned kNotStored = 0xFFFFFFFFu;

std::string hex(int address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
    return text;
}

}  // namespace

std::vector<Chunk> planChunks(int start, int length, int chunk) {
    std::vector<Chunk> chunks;
    if (chunk <= 0) return chunks;
    for (int done = 0; done < length; done += chunk) {
        chunks.push_back({start + done, length - done < chunk ? length - done : chunk});
    }
    return chunks;
}

Placement placeImage(long long imageSize, std::optional<int> start, int memorySize) {
    Placement placement;
    if (imageSize <= 0) {
        placement.refusal = "the image is empty";
        return placement;
    }
    if (!start) {
        if (imageSize != memorySize) {
            placement.refusal = "the image holds " + std::to_string(imageSize) + " bytes but the meter's memory " +
                                "holds " + std::to_string(memorySize) +
                                ": a whole-memory image must match it exactly (for part of the memory, "
                                "give --start ADDRESS)";
        }
        return placement;
    }
    placement.start = *start;
    if (*start < 0 || *start >= memorySize || imageSize > memorySize - *start) {
        placement.refusal = "the image's " + std::to_string(imageSize) + " bytes at " + hex(*start) +
                            " do not fit the meter's memory of " + std::to_string(memorySize) +
                            " bytes (addresses 0x0000 to " + hex(memorySize - 1) + ")";
    }
    return placement;
}

std::optional<long long> parseNumber(const std::string& text) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    long long value = 0;
    for (const char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::optional<ReadEcho> parseReadEcho(const std::string& printed) {
    // The last line is the one for this read.
    std::optional<ReadEcho> echo;
    size_t at = 0;
    while ((at = printed.find("eepromAddr = ", at)) != std::string::npos) {
        unsigned address = 0, count = 0;
        if (std::sscanf(printed.c_str() + at, "eepromAddr = %x, bytesRead = %x", &address, &count) == 2)
            echo = ReadEcho{address, count};
        ++at;
    }
    return echo;
}

std::vector<std::uint8_t> EepromAccess::read(int start, int length, const Progress& progress) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(length > 0 ? length : 0));
    for (const Chunk& chunk : planChunks(start, length)) {
        unsigned values[kEepromChunk];
        for (auto& v : values) v = kNotStored;
        int status;
        std::string printed;
        {
            StdoutCapture capture;
            status = api_.mtrReadEEPROM(handle_, chunk.address, chunk.count, values);
            printed = capture.finish();
        }
        if (status != 0) {
            throw Failure(kExitMeterError, "reading the memory at " + hex(chunk.address) +
                                               " failed: the connection to the meter was lost");
        }
        const auto echo = parseReadEcho(printed);
        if (echo && (echo->address != static_cast<unsigned>(chunk.address) ||
                     echo->count < static_cast<unsigned>(chunk.count))) {
            throw Failure(kExitMeterError, "the meter answered the read of " + std::to_string(chunk.count) +
                                               " bytes at " + hex(chunk.address) + " with " +
                                               std::to_string(echo->count) + " bytes at " +
                                               hex(static_cast<int>(echo->address)) + "");
        }
        for (int i = 0; i < chunk.count; ++i) {
            if (values[i] > 0xFF) {
                throw Failure(kExitMeterError, "the meter delivered only " + std::to_string(i) + " of " +
                                                   std::to_string(chunk.count) + " bytes at " +
                                                   hex(chunk.address) + "");
            }
            bytes.push_back(static_cast<std::uint8_t>(values[i]));
        }
        if (progress) progress(static_cast<int>(bytes.size()), length);
    }
    return bytes;
}

void EepromAccess::write(int start, const std::vector<std::uint8_t>& bytes, const Progress& progress) {
    const int length = static_cast<int>(bytes.size());
    int done = 0;
    for (const Chunk& chunk : planChunks(start, length)) {
        int values[kEepromChunk];
        for (int i = 0; i < chunk.count; ++i) values[i] = bytes[static_cast<size_t>(done + i)];
        if (api_.mtrWriteEEPROM(handle_, chunk.address, chunk.count, values) != 0) {
            throw Failure(kExitMeterError,
                          "writing the memory at " + hex(chunk.address) +
                              " failed: the connection to the meter was lost. The memory from " + hex(start) +
                              " on may now be partly written: reconnect the meter and run the restore again");
        }
        done += chunk.count;
        if (progress) progress(done, length);
    }
}

}  // namespace korvel::cli
