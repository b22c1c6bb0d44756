// Runs one benchmark case a fixed number of times inside measureLoop(), so
// that callgrind can count the instructions of exactly that loop
// (bench/instructions.sh toggles collection on measureLoop and off again
// inside the virtual bus's usb_bulk_* calls, which stand for the meter).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "korvel.h"
#include "link/checksum.h"
#include "link/frame.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "sim/peer.h"

namespace {

using namespace korvel;

// A meter that answers at once: a fixed reading for readings, a valid frame
// without data for everything else.
class ZeroLatencyMeter : public sim::Peer {
public:
    bool receive(const std::uint8_t* request, int, sim::Reply* reply) override {
        *reply = sim::Reply{};
        std::uint8_t* f = reply->bytes;
        f[0] = 0x01;
        f[1] = 0x2B;
        f[2] = request[2];
        int n = 0;
        if (request[2] == static_cast<std::uint8_t>(wire::Command::GetReading)) {
            const std::uint8_t data[] = {0x04, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00};
            n = sizeof data;
            std::memcpy(f + 4, data, sizeof data);
        } else if (request[2] == static_cast<std::uint8_t>(wire::Command::GetMeterInfo)) {
            const char text[] = "KORVEL,KV-100,KV0001,1.02";
            n = wire::kMeterInfoSize;
            std::memcpy(f + 4, text, sizeof text);
        } else {
            n = 2;  // a byte or a 16-bit value of zero answers every query
        }
        f[3] = static_cast<std::uint8_t>(n);
        const std::uint16_t crc = mbChecksum(f, 4 + n);
        f[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        f[5 + n] = static_cast<std::uint8_t>(crc);
        reply->length = 60;
        return true;
    }
};

MeterHandle handle = 0;
std::string line;
int (*scpi)(MeterHandle, const char*, char*, int) = nullptr;

extern "C" __attribute__((noinline)) void measureLoop(const char* kind, int iterations) {
    static volatile unsigned sink [[maybe_unused]];
    if (std::strcmp(kind, "checksum") == 0) {
        std::uint8_t bytes[60];
        for (int i = 0; i < 60; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
        for (int i = 0; i < iterations; ++i) sink = mbChecksum(bytes, 60);
    } else if (std::strcmp(kind, "frame") == 0) {
        MB_PDU request, response;
        const std::uint8_t payload[] = {0x00, 0x10, 0x00, 0x01};
        mbBuildRequest(&response, 0x14, payload, 4);
        for (int i = 0; i < iterations; ++i) {
            mbBuildRequest(&request, 0x14, payload, 4);
            sink = mbValidateResponse(&response, 60) ? request.length : 0U;
        }
    } else if (std::strcmp(kind, "getreading") == 0) {
        MeterReading r;
        for (int i = 0; i < iterations; ++i) {
            mtrGetReading(handle, &r);
            sink = static_cast<unsigned>(r.value);
        }
    } else if (std::strcmp(kind, "scpi") == 0) {
        char reply[128];
        for (int i = 0; i < iterations; ++i) scpi(handle, line.c_str(), reply, 128);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s checksum|frame|getreading|scpi ITERATIONS [LINE]\n", argv[0]);
        return 2;
    }
    const int iterations = std::atoi(argv[2]);
    auto& bus = sim::VirtualBus::instance();
    bus.reset();
    bus.attach(std::make_shared<ZeroLatencyMeter>(), wire::kVendorId, wire::kProductId);
    handle = openKorvel();
    if (handle == 0) return 1;
    if (argc > 3) line = argv[3];
    scpi = &scpiCommand;
    measureLoop(argv[1], iterations);
    closeKorvel(handle);
    return 0;
}
