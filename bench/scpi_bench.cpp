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
#include "bench/zero_latency_meter.h"

namespace {

using namespace korvel;

MeterHandle openMeter() {
    static const MeterHandle handle = [] {
        auto& bus = sim::VirtualBus::instance();
        bus.reset();
        bus.setLatency(0);  // the library\'s own work, not the cable\'s
        bus.attach(std::make_shared<korvel::bench::ZeroLatencyMeter>(), wire::kVendorId, wire::kProductId);
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
