// Fuzz target `frame`: building request frames and validating responses.
//
// Input: one byte of delivered count, 64 bytes of response frame area, then
// a command code, a payload count byte (signed: outside 0 to 54 on purpose)
// and the payload. Every record and payload lives in a heap block of exactly
// its own size, so a read past it is an AddressSanitizer finding.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "link/checksum.h"
#include "link/frame.h"
#include "link/protocol.h"

namespace {

using namespace korvel;
using namespace korvel::fuzz;

// The checksum by its definition, one bit at a time.
std::uint16_t definitionCrc(const std::uint8_t* bytes, int count) {
    unsigned crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

void checkValidation(Input& in) {
    const int delivered = in.byte() % (wire::kTransferSize + 1);
    auto record = std::make_unique<MB_PDU>();
    record->length = in.byte();
    in.take(record->frame, static_cast<int>(sizeof record->frame));
    MB_PDU before;
    std::memcpy(&before, record.get(), sizeof before);

    const bool valid = mbValidateResponse(record.get(), delivered);

    FUZZ_REQUIRE(std::memcmp(before.frame, record->frame, sizeof before.frame) == 0,
                 "validation changed the frame bytes");
    const int n = before.frame[wire::kPosCount];
    if (n > wire::kMaxAcceptedCount) {
        FUZZ_REQUIRE(!valid, "byte count %d accepted", n);
        FUZZ_REQUIRE(record->length == wire::kHeaderSize, "length %d after count %d", record->length, n);
        return;
    }
    FUZZ_REQUIRE(record->length == n + 6, "length %d after count %d", record->length, n);
    // Sound exactly when the whole frame crossed the wire and its checksum,
    // high byte first, agrees.
    const int total = n + wire::kHeaderSize + wire::kChecksumSize;
    bool expected = total <= delivered && total <= wire::kTransferSize;
    if (expected) {
        const unsigned carried = (unsigned{before.frame[4 + n]} << 8) | before.frame[5 + n];
        expected = carried == definitionCrc(before.frame, 4 + n);
    }
    FUZZ_REQUIRE(valid == expected, "count %d delivered %d judged %s", n, delivered,
                 valid ? "valid" : "invalid");
}

void checkBuild(Input& in) {
    const std::uint8_t command = in.byte();
    const int count = static_cast<std::int8_t>(in.byte());  // -128 to 127
    const std::size_t payloadSize = count > 0 ? static_cast<std::size_t>(count) : 1;
    std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[payloadSize]);
    in.take(payload.get(), static_cast<int>(payloadSize));

    Guarded record(sizeof(MB_PDU));  // a dirty record must come out clean
    MB_PDU* r = record.as<MB_PDU>();
    mbBuildRequest(r, command, payload.get(), count);
    FUZZ_REQUIRE(record.guardsIntact(), "building wrote outside the record");

    const int n = count < 0 ? 0 : (count > wire::kMaxRequestPayload ? wire::kMaxRequestPayload : count);
    FUZZ_REQUIRE(r->length == n + 6, "built length %d for count %d", r->length, count);
    FUZZ_REQUIRE(r->frame[0] == 0x01 && r->frame[1] == 0x2B && r->frame[2] == command && r->frame[3] == n,
                 "built header wrong");
    FUZZ_REQUIRE(n == 0 || std::memcmp(r->frame + 4, payload.get(), static_cast<std::size_t>(n)) == 0,
                 "payload not copied");
    const std::uint16_t crc = definitionCrc(r->frame, 4 + n);
    FUZZ_REQUIRE(r->frame[4 + n] == (crc >> 8) && r->frame[5 + n] == (crc & 0xFF), "built checksum wrong");
    for (int i = n + 6; i < static_cast<int>(sizeof r->frame); ++i)
        FUZZ_REQUIRE(r->frame[i] == 0, "frame byte %d not cleared", i);

    // What the library builds, the library accepts.
    FUZZ_REQUIRE(mbValidateResponse(r, wire::kTransferSize), "a built frame does not validate");
}

void checkChecksum(Input& in) {
    const int count = in.byte() % 64;
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[static_cast<std::size_t>(count) + 1]);
    in.take(bytes.get(), count);
    FUZZ_REQUIRE(mbChecksum(bytes.get(), count) == definitionCrc(bytes.get(), count),
                 "checksum of %d bytes differs from the definition", count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    checkValidation(in);
    checkBuild(in);
    checkChecksum(in);
    return 0;
}
