// Fuzz target `scpi_line`: arbitrary command lines and reply sizes through
// scpiCommand, against a meter whose answers the input chooses too (sound,
// cut short, corrupted, late or silent).
//
// Input: up to eight lines, each a size byte (or a chosen odd size), a length
// byte, that many bytes of command text, then whatever the meter consumes to
// answer the exchanges the line causes. After every line:
//   - scpiCommand returned 0 and wrote nothing past `size` bytes of the
//     caller's buffer (nothing at all when size <= 0), and the reply is
//     terminated within them;
//   - the command text was read no further than its terminator (its block is
//     exactly that long, so AddressSanitizer sees any overread);
//   - a line refused before the main path never reached the meter;
//   - "USB Connection Problem" in the reply means the connection is closed,
//     and a closed connection's handle never reaches the meter again.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "korvel.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"

namespace {

using namespace korvel;
using namespace korvel::fuzz;

constexpr int kMaxLines = 8;
constexpr std::size_t kReplyRoom = 256;
constexpr char kConnectionProblem[] = "USB Connection Problem";

int replySize(Input& in) {
    const std::uint8_t kind = in.byte();
    if (kind < 0xE0) return kind % 140;  // 0 to 139: both sides of every limit
    constexpr int kOdd[] = {-1, INT_MIN, INT_MAX, -128, 129, 1000, 30, 128};
    if (kind < 0xF8) return kOdd[kind % 8];
    return in.i32();
}

bool connectionClosed() {
    const sim::VirtualBus& bus = sim::VirtualBus::instance();
    return !bus.claimed(0) && bus.openHandles() == 0;
}

MeterHandle reopen(FuzzMeter& meter, Input& in) {
    meter.detach();
    const MeterHandle handle = openKorvel();
    FUZZ_REQUIRE(handle != 0, "the meter could not be opened again");
    meter.attach(&in);
    return handle;
}

bool refusedEarly(const char* line, int size) {
    const std::size_t length = std::strlen(line);
    const auto first = static_cast<unsigned char>(line[0]);
    return length > 128 || static_cast<unsigned>(size) > 128U || first < 0x20 || first > 0x7E;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::VirtualBus& bus = sim::VirtualBus::instance();
    bus.reset();
    bus.setTimeScale(0);
    bus.setLatency(0);  // exchanges answered at once
    auto meter = std::make_shared<FuzzMeter>();
    meter->scrub(kConnectionProblem);
    bus.attach(meter, wire::kVendorId, wire::kProductId);

    Input in(data, size);
    MeterHandle handle = reopen(*meter, in);
    for (int i = 0; i < kMaxLines && !in.empty(); ++i) {
        const int replyBytes = replySize(in);
        const int length = in.byte();
        std::unique_ptr<char[]> line(new char[static_cast<std::size_t>(length) + 1]);
        in.take(reinterpret_cast<std::uint8_t*>(line.get()), length);
        line[static_cast<std::size_t>(length)] = '\0';

        Guarded reply(kReplyRoom);
        const int before = meter->requests();
        const int result = scpiCommand(handle, line.get(), reply.as<char>(), replyBytes);

        FUZZ_REQUIRE(result == 0, "scpiCommand returned %d", result);
        FUZZ_REQUIRE(reply.guardsIntact(), "scpiCommand wrote past %zu bytes", kReplyRoom);
        if (replyBytes <= 0) {
            FUZZ_REQUIRE(reply.untouched(), "scpiCommand wrote into a reply of size %d", replyBytes);
        } else {
            const std::size_t limit =
                static_cast<std::size_t>(replyBytes) < kReplyRoom ? static_cast<std::size_t>(replyBytes) : kReplyRoom;
            FUZZ_REQUIRE(reply.untouchedFrom(limit), "scpiCommand wrote beyond size %d", replyBytes);
            FUZZ_REQUIRE(std::memchr(reply.bytes(), '\0', limit) != nullptr, "reply not terminated within its size");
        }
        if (refusedEarly(line.get(), replyBytes))
            FUZZ_REQUIRE(meter->requests() == before, "a refused line reached the meter");

        const bool problem = replyBytes > 0 && std::strstr(reply.as<char>(), kConnectionProblem) != nullptr;
        if (problem) FUZZ_REQUIRE(connectionClosed(), "a connection problem was reported on an open connection");
        if (connectionClosed()) {
            const int seen = meter->requests();
            unsigned int value = 0;
            FUZZ_REQUIRE(mtrGetStatusByte(handle, &value) == -1 && meter->requests() == seen,
                         "a closed connection's handle reached the meter");
            handle = reopen(*meter, in);
        }
    }
    closeKorvel(handle);
    meter->detach();
    return 0;
}
