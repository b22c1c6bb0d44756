// Library cost of the frame work and of one exchange over a zero-latency
// meter. Time is noisy here: bench/instructions.sh counts instructions.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "korvel.h"
#include "link/checksum.h"
#include "link/frame.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "sim/peer.h"

namespace {

using namespace korvel;

void Checksum60(benchmark::State& state) {
    std::uint8_t bytes[60];
    for (int i = 0; i < 60; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(mbChecksum(bytes, 60));
    }
}
BENCHMARK(Checksum60);

void BuildAndValidate(benchmark::State& state) {
    MB_PDU request, response;
    const std::uint8_t payload[] = {0x00, 0x10, 0x00, 0x01};
    mbBuildRequest(&response, 0x14, payload, 4);  // a valid frame to check
    for (auto _ : state) {
        mbBuildRequest(&request, 0x14, payload, 4);
        benchmark::DoNotOptimize(request);
        benchmark::DoNotOptimize(mbValidateResponse(&response, 60));
    }
}
BENCHMARK(BuildAndValidate);

// A meter that answers every request at once with a fixed reading.
class FixedMeter : public sim::Peer {
public:
    FixedMeter() {
        const std::uint8_t frame[] = {0x01, 0x2B, 0x10, 0x07, 0x04, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00};
        std::memcpy(reply_.bytes, frame, sizeof frame);
        const std::uint16_t crc = mbChecksum(reply_.bytes, 11);
        reply_.bytes[11] = static_cast<std::uint8_t>(crc >> 8);
        reply_.bytes[12] = static_cast<std::uint8_t>(crc);
        reply_.length = 60;
    }
    bool receive(const std::uint8_t*, int, sim::Reply* reply) override {
        *reply = reply_;
        return true;
    }

private:
    sim::Reply reply_;
};

void GetReading(benchmark::State& state) {
    auto& bus = sim::VirtualBus::instance();
    bus.reset();
    bus.setLatency(0);  // the library\'s own work, not the cable\'s
    bus.attach(std::make_shared<FixedMeter>(), wire::kVendorId, wire::kProductId);
    const MeterHandle h = openKorvel();
    MeterReading reading;
    for (auto _ : state) {
        if (mtrGetReading(h, &reading) != 0) state.SkipWithError("exchange failed");
        benchmark::DoNotOptimize(reading);
    }
    closeKorvel(h);
    bus.reset();
    bus.setLatency(0);  // the library\'s own work, not the cable\'s
}
BENCHMARK(GetReading);

}  // namespace
