// What one exchange costs on the emulated-usbfs path: the shipped library,
// Debian's libusb-0.1, umockdev's preload and its socket, the cable and the
// simulated meter. Not a test: run it by hand (it restarts itself under the
// preload like the suite does).
#include <benchmark/benchmark.h>
#include <sys/prctl.h>

#include <cstdio>
#include <memory>

#include "korvel.h"
#include "sim/meter/simulated_meter.h"
#include "sim/usbfs/usbfs_cable.h"
#include "sim/usbfs/usbfs_meter.h"

namespace {

using namespace korvel;

// Argument: the thread's timer slack in ns (the kernel's default is 50000;
// umockdev's preload sleeps briefly after every call it forwards).
void GetReading(benchmark::State& state) {
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(state.range(0)));
    sim::UsbfsCable cable;
    auto meter = std::make_shared<sim::Meter>(1);
    if (!cable.error().empty() || sim::attachMeter(cable, meter) < 0) {
        state.SkipWithError("no testbed");
        return;
    }
    const MeterHandle h = openKorvel();
    if (h == 0) {
        state.SkipWithError("no meter");
        return;
    }
    MeterReading reading{};
    for (auto _ : state) {
        if (mtrGetReading(h, &reading) != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    closeKorvel(h);
    prctl(PR_SET_TIMERSLACK, 50000UL);
}
BENCHMARK(GetReading)->Arg(50000)->Arg(1)->Iterations(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!sim::reexecWithUsbfsPreload(argv)) {
        std::perror("cannot restart under libumockdev-preload");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
