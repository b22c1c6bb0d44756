// korvel_soak: a long run of meter commands and SCPI lines against the
// simulated meter, with faults injected at random, checking after every call
// that the library told the truth.
//
//   korvel_soak [--exchanges N] [--fault-rate P] [--seed S] [--time-scale T]
//
// Before each call the soak decides (seeded, so a run repeats) whether that
// call's exchange suffers a fault, and which: silence, a late answer, a
// refused write, a corrupted or misplaced checksum, an impossible byte count,
// a short read, the cable pulled while the request is in flight or between
// two calls, or a sound answer carrying another command code (which must be
// taken). Then it checks:
//   - a faulted call returned -1 (a faulted SCPI line shows "USB Connection
//     Problem") and the device was released and closed: the bus shows no open
//     handle and the interface free; the dead handle never reaches the meter
//     again; a fresh open works and yields a handle never seen before;
//   - every other call returned 0 with the meter's true state: identification,
//     memory bytes, probe data, range, hold, units and status byte, read from
//     the simulated meter directly (not through the library) after the call;
//   - mtrReadEEPROM wrote its one line to standard output for each successful
//     read and none for a failed one (standard output goes to a scratch file,
//     counted at the end; the figures go to the original standard output);
//   - the handle table never filled (every open succeeded), no file
//     descriptor leaked and the resident memory stayed flat.
// It prints its figures and exits 1 on any violation.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "korvel.h"
#include "korvel_sim.h"
#include "sim/bus/virtual_bus.h"

namespace {

using namespace korvel;

struct Options {
    long long exchanges = 200000;
    double faultRate = 0.01;
    unsigned seed = 1;
    double timeScale = 0.005;  // a 2000 ms read timeout lasts 10 ms
};

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }

private:
    std::uint64_t state_;
};

// What happens to the exchange of one call.
enum Fault {
    kNone = KORVEL_SIM_FAULT_NONE,
    kSilence = KORVEL_SIM_FAULT_SILENCE,
    kLate = KORVEL_SIM_FAULT_LATE,
    kWriteFail = KORVEL_SIM_FAULT_WRITE_FAIL,
    kBadChecksum = KORVEL_SIM_FAULT_BAD_CHECKSUM,
    kChecksumLowFirst = KORVEL_SIM_FAULT_CHECKSUM_LOW_FIRST,
    kCountOver59 = KORVEL_SIM_FAULT_COUNT_OVER_59,
    kCount55To59 = KORVEL_SIM_FAULT_COUNT_55_TO_59,
    kOtherCommand = KORVEL_SIM_FAULT_OTHER_COMMAND,
    kShortRead = KORVEL_SIM_FAULT_SHORT_READ,
    kUnplugInFlight = KORVEL_SIM_FAULT_UNPLUG,
    kUnplugBetween,  // the cable is pulled before the call
    kFaultKinds
};
constexpr const char* kFaultNames[kFaultKinds] = {
    "none",        "silence",         "late answer",   "refused write", "bad checksum",
    "low-first",   "count over 59",   "count 55-59",   "other code",    "short read",
    "unplug (in flight)", "unplug (between)"};

enum Op { kMeterInfo, kSetRange, kGetRange, kSetHold, kGetHold, kWriteEeprom, kReadEeprom, kReading,
          kProbeData, kTransaction, kScpi, kOpKinds };
constexpr const char* kOpNames[kOpKinds] = {"mtrGetMeterInfo", "mtrSetRange",    "mtrGetRange",   "mtrSetHold",
                                            "mtrGetHold",      "mtrWriteEEPROM", "mtrReadEEPROM", "mtrGetReading",
                                            "mtrGetProbeData", "mtrTransaction", "scpiCommand"};

constexpr int kMeter = 0;
constexpr int kUserArea = 0x200;  // the meter's memory from here on is free
constexpr int kMemorySize = 4096;
constexpr int kMaxWrite = 50;
constexpr char kProblem[] = "USB Connection Problem";

struct Figures {
    long long calls = 0;
    long long succeeded = 0;
    long long failed = 0;
    long long byFault[kFaultKinds] = {};
    long long byOp[kOpKinds] = {};
    long long reopens = 0;
    long long readsSucceeded = 0;
    long long linesPrinted = 0;
    long long violations = 0;
    double slowestMs = 0;
    int maxOpenHandles = 0;
    int fdStart = 0, fdEnd = 0;
    long rssWarm = 0, rssEnd = 0, rssMax = 0;
};

int countFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int n = 0;
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

long residentKiB() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int setting(int which) { return korvelSimGetSetting(kMeter, which); }
int meterExchanges() { return setting(KORVEL_SIM_EXCHANGES); }

class Soak {
public:
    explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

    int run();

private:
    void violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void open();
    bool call(Op op, Fault fault);
    void afterFailure(Fault fault);
    void sample();
    void print(double seconds) const;
    void captureOutput();
    long long capturedLines();

    const Options options_;
    Random random_;
    Figures figures_;
    sim::VirtualBus& bus_ = sim::VirtualBus::instance();
    MeterHandle handle_ = 0;
    MeterHandle lastHandleOfSlot_[256] = {};
    std::uint8_t truth_[kMemorySize] = {};
    const char* context_ = "";
    FILE* report_ = stdout;
    FILE* captured_ = nullptr;
};

// The library's own output (one line per memory read) goes to a scratch file;
// the figures keep the original standard output.
void Soak::captureOutput() {
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    captured_ = std::tmpfile();
    if (original < 0 || captured_ == nullptr) return;
    report_ = fdopen(original, "w");
    dup2(fileno(captured_), STDOUT_FILENO);
}

long long Soak::capturedLines() {
    if (captured_ == nullptr) return -1;
    std::fflush(stdout);
    std::rewind(captured_);
    long long lines = 0;
    for (int c = std::fgetc(captured_); c != EOF; c = std::fgetc(captured_)) lines += c == '\n';
    return lines;
}

void Soak::violation(const char* format, ...) {
    ++figures_.violations;
    if (figures_.violations > 20) return;
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "VIOLATION at call %lld (%s): ", figures_.calls, context_);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

void Soak::open() {
    handle_ = openKorvel();
    if (handle_ == 0) {
        violation("openKorvel returned 0 (handle table full or meter lost)");
        std::fprintf(stderr, "cannot go on without a meter\n");
        std::exit(1);
    }
    // A handle is never issued twice: its slot's generation only grows.
    MeterHandle& last = lastHandleOfSlot_[handle_ & 0xFFU];
    if (last != 0 && (handle_ >> 8) <= (last >> 8)) violation("handle %08x issued again after %08x", handle_, last);
    last = handle_;
    if (!bus_.claimed(0)) violation("an open handle without the interface claimed");
}

// Reads the meter's memory directly, without the library.
bool memoryTruth(int address, std::uint8_t* bytes, int count) {
    return korvelSimReadEeprom(kMeter, address, bytes, count) == 0;
}

// One call; returns whether it succeeded. Success and its data are checked
// here against the meter's state; failure is checked by the caller.
bool Soak::call(Op op, Fault fault) {
    const bool mustFail = fault != kNone && fault != kOtherCommand;
    context_ = kOpNames[op];
    switch (op) {
    case kMeterInfo: {
        char info[40];
        std::memset(info, '#', sizeof info);
        if (mtrGetMeterInfo(handle_, info) != 0) return false;
        std::uint8_t truth[40];
        memoryTruth(0, truth, 40);
        if (std::memcmp(info, truth, 40) != 0) violation("identification differs from the meter's");
        return true;
    }
    case kSetRange: {
        const int range = random_.below(3);
        if (mtrSetRange(handle_, range) != 0) return false;
        if (setting(KORVEL_SIM_RANGE) != range) violation("range %d acknowledged, meter has %d", range, setting(KORVEL_SIM_RANGE));
        return true;
    }
    case kGetRange: {
        unsigned range = 99;
        if (mtrGetRange(handle_, &range) != 0) return false;
        if (static_cast<int>(range) != setting(KORVEL_SIM_RANGE)) violation("range %u, meter has %d", range, setting(KORVEL_SIM_RANGE));
        return true;
    }
    case kSetHold: {
        const int hold = random_.below(4);
        if (mtrSetHold(handle_, hold) != 0) return false;
        if (setting(KORVEL_SIM_HOLD) != hold) violation("hold %d acknowledged, meter has %d", hold, setting(KORVEL_SIM_HOLD));
        return true;
    }
    case kGetHold: {
        unsigned hold = 99;
        if (mtrGetHold(handle_, &hold) != 0) return false;
        if (static_cast<int>(hold) != setting(KORVEL_SIM_HOLD)) violation("hold %u, meter has %d", hold, setting(KORVEL_SIM_HOLD));
        return true;
    }
    case kWriteEeprom: {
        const int count = 1 + random_.below(kMaxWrite);
        const int address = kUserArea + random_.below(kMemorySize - kUserArea - count + 1);
        int values[kMaxWrite];
        for (int i = 0; i < count; ++i) values[i] = random_.below(256);
        if (mtrWriteEEPROM(handle_, address, count, values) != 0) return false;
        std::uint8_t truth[kMaxWrite];
        memoryTruth(address, truth, count);
        for (int i = 0; i < count; ++i)
            if (truth[i] != values[i]) {
                violation("memory byte %04x written as %02x, meter holds %02x", address + i, values[i], truth[i]);
                break;
            }
        return true;
    }
    case kReadEeprom: {
        const int count = 1 + random_.below(kMaxWrite);
        const int address = random_.below(kMemorySize - count + 1);
        unsigned values[55];
        for (unsigned& v : values) v = 0xDEAD;
        if (mtrReadEEPROM(handle_, address, count, values) != 0) return false;
        ++figures_.readsSucceeded;
        std::uint8_t truth[kMaxWrite];
        memoryTruth(address, truth, count);
        for (int i = 0; i < count; ++i)
            if (values[i] != truth[i]) {
                violation("memory byte %04x read as %x, meter holds %02x", address + i, values[i], truth[i]);
                break;
            }
        for (int i = count; i < 55; ++i)
            if (values[i] != 0xDEAD) violation("mtrReadEEPROM wrote past the %d values asked for", count);
        return true;
    }
    case kReading: {
        MeterReading r{};
        if (mtrGetReading(handle_, &r) != 0) return false;
        if (r.units != setting(KORVEL_SIM_UNITS) || r.range != setting(KORVEL_SIM_RANGE) || r.acdc != setting(KORVEL_SIM_ACDC))
            violation("reading in units %d range %d acdc %d, meter set to %d %d %d", r.units, r.range, r.acdc,
                      setting(KORVEL_SIM_UNITS), setting(KORVEL_SIM_RANGE), setting(KORVEL_SIM_ACDC));
        return true;
    }
    case kProbeData: {
        const int index = random_.below(256);
        unsigned value = 999;
        if (mtrGetProbeData(handle_, index, &value) != 0) return false;
        std::uint8_t truth = 0;
        memoryTruth(0x100 + index, &truth, 1);
        if (value != truth) violation("probe byte %d is %u, meter holds %u", index, value, truth);
        return true;
    }
    case kTransaction: {
        MB_PDU request{}, response{};
        const std::uint8_t statusQuery[] = {0x01, 0x2B, 0x30, 0x00, 0xD0, 0x65};
        std::memcpy(request.frame, statusQuery, sizeof statusQuery);
        response.length = 0xEE;
        if (mtrTransaction(handle_, &request, &response) != 0) return false;
        if (response.length != 7 || response.frame[4] != setting(KORVEL_SIM_STATUS_BYTE))
            violation("raw status query: length %d byte %u, meter has %d", response.length, response.frame[4],
                      setting(KORVEL_SIM_STATUS_BYTE));
        return true;
    }
    case kScpi: {
        char reply[128];
        std::memset(reply, '#', sizeof reply);
        scpiCommand(handle_, "*IDN?;:SENS:FLUX:RANG?", reply, sizeof reply);
        if (mustFail) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "%s;%s", kProblem, kProblem);
            if (std::strcmp(reply, expected) != 0) violation("faulted line answered \"%s\"", reply);
            return false;
        }
        char expected[128];
        std::uint8_t identity[41] = {};
        memoryTruth(0, identity, 40);
        std::snprintf(expected, sizeof expected, "%s;%d", reinterpret_cast<const char*>(identity), setting(KORVEL_SIM_RANGE));
        if (std::strcmp(reply, expected) != 0) violation("line answered \"%s\", expected \"%s\"", reply, expected);
        return true;
    }
    default:
        return false;
    }
}

void Soak::afterFailure(Fault fault) {
    if (bus_.claimed(0) || bus_.openHandles() != 0)
        violation("a failed call left the device %s", bus_.claimed(0) ? "claimed" : "open");
    // The dead handle answers -1 at once and never reaches the meter.
    const int before = meterExchanges();
    unsigned value = 0;
    if (mtrGetStatusByte(handle_, &value) != -1 || meterExchanges() != before)
        violation("a dead handle reached the meter");
    closeKorvel(handle_);  // does nothing
    if (fault == kUnplugInFlight) {
        // The meter pulls its own cable from another thread; wait for it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (bus_.plugged(0) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (bus_.plugged(0)) violation("the in-flight unplug never happened");
    }
    if (fault == kUnplugInFlight || fault == kUnplugBetween) korvelSimReplug(kMeter);
    open();
    ++figures_.reopens;
}

void Soak::sample() {
    const long rss = residentKiB();
    if (rss > figures_.rssMax) figures_.rssMax = rss;
    if (bus_.openHandles() > figures_.maxOpenHandles) figures_.maxOpenHandles = bus_.openHandles();
}

int Soak::run() {
    captureOutput();
    korvelSimReset(1);
    korvelSimSetTimeScale(options_.timeScale);
    korvelSimSetLatency(0);  // exchanges answered at once
    korvelSimSetField(kMeter, 0.0123);
    open();
    // The soak owns the range: the meter must not change it by itself.
    if (mtrAutoRange(handle_, 0) != 0 || mtrSetHold(handle_, 0) != 0) {
        std::fprintf(stderr, "setting up the meter failed\n");
        return 1;
    }

    figures_.fdStart = countFds();
    const long long warmUp = options_.exchanges / 10;
    const auto start = std::chrono::steady_clock::now();
    for (long long i = 0; i < options_.exchanges; ++i) {
        figures_.calls = i;
        if (i == warmUp) figures_.rssWarm = residentKiB();
        if (i % 4096 == 0) sample();

        Fault fault = kNone;
        if (random_.unit() < options_.faultRate) fault = static_cast<Fault>(1 + random_.below(kFaultKinds - 1));
        const Op op = static_cast<Op>(random_.below(kOpKinds));
        ++figures_.byOp[op];
        ++figures_.byFault[fault];
        if (fault == kUnplugBetween)
            korvelSimUnplug(kMeter);
        else if (fault != kNone)
            korvelSimInjectFault(kMeter, fault, 1);

        const int exchangesBefore = meterExchanges();
        const auto begun = std::chrono::steady_clock::now();
        const bool ok = call(op, fault);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
        if (ms > figures_.slowestMs) figures_.slowestMs = ms;
        // One exchange waits at most 500 ms to write and 2000 ms to read, in
        // real time; anything longer is a hang.
        if (ms > 2600.0) violation("a call took %.0f ms", ms);

        const bool mustFail = fault != kNone && fault != kOtherCommand;
        if (ok) {
            ++figures_.succeeded;
            if (mustFail) violation("succeeded through a fault: %s", kFaultNames[fault]);
            if (!bus_.claimed(0)) violation("succeeded, yet the device is not claimed");
            continue;
        }
        ++figures_.failed;
        if (!mustFail) violation("failed without a fault");
        if (fault == kUnplugBetween && meterExchanges() != exchangesBefore)
            violation("an unplugged meter was reached");
        afterFailure(fault);
    }
    figures_.calls = options_.exchanges;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sample();
    closeKorvel(handle_);
    if (bus_.openHandles() != 0) violation("%d device handles open after the last close", bus_.openHandles());
    figures_.fdEnd = countFds();
    figures_.rssEnd = residentKiB();
    context_ = "end";
    if (figures_.fdEnd != figures_.fdStart) violation("file descriptors %d -> %d", figures_.fdStart, figures_.fdEnd);
    if (figures_.rssWarm > 0 && figures_.rssEnd - figures_.rssWarm > 1024)
        violation("resident memory grew from %ld to %ld KiB", figures_.rssWarm, figures_.rssEnd);
    figures_.linesPrinted = capturedLines();
    if (figures_.linesPrinted >= 0 && figures_.linesPrinted != figures_.readsSucceeded)
        violation("%lld memory-read lines printed for %lld successful reads", figures_.linesPrinted,
                  figures_.readsSucceeded);
    print(seconds);
    return figures_.violations == 0 ? 0 : 1;
}

void Soak::print(double seconds) const {
    const Figures& f = figures_;
    long long faults = 0;
    for (int k = 1; k < kFaultKinds; ++k) faults += f.byFault[k];
    std::fprintf(report_, "korvel soak: %lld calls in %.1f s (%.0f calls/s), seed %u, fault rate %.2f %%, time scale %g\n",
                f.calls, seconds, static_cast<double>(f.calls) / seconds, options_.seed, 100.0 * options_.faultRate,
                options_.timeScale);
    std::fprintf(report_, "  meter exchanges        %d (opens' range queries and SCPI lines' second exchange included)\n",
                meterExchanges());
    std::fprintf(report_, "  succeeded              %lld\n", f.succeeded);
    std::fprintf(report_, "  failed                 %lld, every one -1 and closed\n", f.failed);
    std::fprintf(report_, "  faults injected        %lld (%.3f %%):", faults, 100.0 * static_cast<double>(faults) / static_cast<double>(f.calls));
    for (int k = 1; k < kFaultKinds; ++k) std::fprintf(report_, "%s %s %lld", k == 1 ? "" : ",", kFaultNames[k], f.byFault[k]);
    std::fprintf(report_, "\n  calls by kind         ");
    for (int k = 0; k < kOpKinds; ++k) std::fprintf(report_, "%s %s %lld", k == 0 ? "" : ",", kOpNames[k], f.byOp[k]);
    std::fprintf(report_, "\n  reopened               %lld times, every open succeeded (handle table never full)\n", f.reopens);
    std::fprintf(report_, "  device handles open    at most %d at once, %d at the end\n", f.maxOpenHandles, bus_.openHandles());
    std::fprintf(report_, "  file descriptors       %d -> %d\n", f.fdStart, f.fdEnd);
    std::fprintf(report_, "  resident memory        %ld KiB after warm-up -> %ld KiB at the end (max %ld KiB)\n", f.rssWarm,
                f.rssEnd, f.rssMax);
    std::fprintf(report_, "  memory-read lines      %lld printed for %lld successful reads\n", f.linesPrinted,
                 f.readsSucceeded);
    std::fprintf(report_, "  slowest call           %.2f ms\n", f.slowestMs);
    std::fprintf(report_, "  violations             %lld\n", f.violations);
    std::fflush(report_);
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) return false;
        if (std::strcmp(name, "--exchanges") == 0) options->exchanges = std::atoll(value);
        else if (std::strcmp(name, "--fault-rate") == 0) options->faultRate = std::atof(value);
        else if (std::strcmp(name, "--seed") == 0) options->seed = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
        else if (std::strcmp(name, "--time-scale") == 0) options->timeScale = std::atof(value);
        else return false;
        ++i;
    }
    return options->exchanges > 0 && options->faultRate >= 0 && options->faultRate <= 1 && options->timeScale >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: korvel_soak [--exchanges N] [--fault-rate P] [--seed S] [--time-scale T]\n"
                     "  defaults: 200000 calls, fault rate 0.01, seed 1, time scale 0.005\n");
        return 2;
    }
    return Soak(options).run();
}
