// scpiCommand per line against a meter that answers at once, so the time is
// the library's own: check, split, walk, handler, exchange, reply.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "korvel.h"
#include "link/checksum.h"
#include "link/protocol.h"
#include "sim/bus/virtual_bus.h"
#include "sim/peer.h"

namespace {

using namespace korvel;

// Answers every request at once: a reading of 1234 counts, an identification
// text, and two zero data bytes for every other command.
class ZeroLatencyMeter : public sim::Peer {
public:
    bool receive(const std::uint8_t* request, int, sim::Reply* reply) override {
        std::uint8_t* f = reply->bytes;
        std::memset(f, 0, sizeof reply->bytes);
        f[0] = wire::kAddress;
        f[1] = wire::kFunction;
        f[2] = request[2];
        int n = 2;
        if (request[2] == static_cast<std::uint8_t>(wire::Command::GetReading)) {
            const std::uint8_t data[] = {0x04, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00};
            n = sizeof data;
            std::memcpy(f + 4, data, sizeof data);
        } else if (request[2] == static_cast<std::uint8_t>(wire::Command::GetMeterInfo)) {
            const char text[] = "KORVEL,KV-100,KV0001,1.02";
            n = wire::kMeterInfoSize;
            std::memcpy(f + 4, text, sizeof text);
        }
        f[3] = static_cast<std::uint8_t>(n);
        const std::uint16_t crc = mbChecksum(f, 4 + n);
        f[4 + n] = static_cast<std::uint8_t>(crc >> 8);
        f[5 + n] = static_cast<std::uint8_t>(crc & 0xFF);
        reply->length = wire::kTransferSize;
        reply->delivery = sim::Delivery::Now;
        return true;
    }
};

MeterHandle openMeter() {
    static const MeterHandle handle = [] {
        auto& bus = sim::VirtualBus::instance();
        bus.reset();
        bus.attach(std::make_shared<ZeroLatencyMeter>(), wire::kVendorId, wire::kProductId);
        return openKorvel();
    }();
    return handle;
}

void runLine(benchmark::State& state, const char* line) {
    const MeterHandle handle = openMeter();
    if (handle == 0) {
        state.SkipWithError("no meter");
        return;
    }
    char reply[128];
    for (auto _ : state) {
        scpiCommand(handle, line, reply, sizeof reply);
        benchmark::DoNotOptimize(reply);
    }
}

}  // namespace

BENCHMARK_CAPTURE(runLine, idn, "*IDN?");
BENCHMARK_CAPTURE(runLine, measure_flux, ":MEAS:FLUX?");
BENCHMARK_CAPTURE(runLine, status_byte, "*STB?");
BENCHMARK_CAPTURE(runLine, set_range, ":SENS:FLUX:RANG 2");
BENCHMARK_CAPTURE(runLine, error_query, ":SYST:ERR?");
BENCHMARK_CAPTURE(runLine, long_line,
                  ":SENS:FLUX:RANG 2;:MEAS:FLUX?;*STB?;:SYST:ERR?;:STAT:QUES:ENAB 32;"
                  ":UNIT:FLUX:DC:TESL;:SENS:HOLD:STAT 1;:STAT:OPER:EVEN?");
