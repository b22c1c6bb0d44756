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
#include "bench/zero_latency_meter.h"

namespace {

using namespace korvel;

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
    bus.setLatency(0);  // the library\'s own work, not the cable\'s
    bus.attach(std::make_shared<korvel::bench::ZeroLatencyMeter>(), wire::kVendorId, wire::kProductId);
    handle = openKorvel();
    if (handle == 0) return 1;
    if (argc > 3) line = argv[3];
    scpi = &scpiCommand;
    measureLoop(argv[1], iterations);
    closeKorvel(handle);
    return 0;
}
