#include "core/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace korvel::cli {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopCount = 3;

volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t signalCount = 0;
volatile sig_atomic_t cableRequest = 0;
volatile sig_atomic_t furtherEndsAtOnce = 0;
// A pipe that becomes readable at the first signal and stays so: every
// sleeper on every thread wakes, none takes the wake from another.
int wakeRead = -1;
int wakeWrite = -1;
int extraWake = -1;

struct sigaction saved[kStopCount];
struct sigaction savedPipe;
struct sigaction savedUser;

void writeByte(int fd) {
    if (fd < 0) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
}

extern "C" void onSignal(int number) {
    const int keep = errno;
    if (number == SIGUSR1) {
        cableRequest = 1;
    } else {
        if (firstSignal != 0 && furtherEndsAtOnce != 0) {
            // The second Ctrl-C: what was written is whole, end now.
            ::signal(number, SIG_DFL);
            raise(number);
        }
        if (firstSignal == 0) firstSignal = number;
        signalCount = signalCount + 1;
        writeByte(wakeWrite);
    }
    writeByte(extraWake);
    errno = keep;
}

void drain(int fd) {
    char bytes[64];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

StopSignals::StopSignals(SignalPolicy policy) : policy_(policy) {
    firstSignal = 0;
    signalCount = 0;
    cableRequest = 0;
    furtherEndsAtOnce = policy.further == FurtherSignal::EndsAtOnce ? 1 : 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    extraWake = policy.wakeFd;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = policy.restartCalls ? SA_RESTART : 0;  // without it a sleep or a read ends at once
    const int count = policy.interruptOnly ? 1 : kStopCount;
    for (int i = 0; i < count; ++i) sigaction(kStopSignals[i], &action, &saved[i]);
    if (policy.cableToggle) sigaction(SIGUSR1, &action, &savedUser);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipe);
}

StopSignals::~StopSignals() {
    if (keep_) return;
    const int count = policy_.interruptOnly ? 1 : kStopCount;
    for (int i = 0; i < count; ++i) sigaction(kStopSignals[i], &saved[i], nullptr);
    if (policy_.cableToggle) sigaction(SIGUSR1, &savedUser, nullptr);
    sigaction(SIGPIPE, &savedPipe, nullptr);
    extraWake = -1;
    const int r = wakeRead, w = wakeWrite;
    wakeRead = wakeWrite = -1;
    if (r >= 0) close(r);
    if (w >= 0) close(w);
}

int StopSignals::signal() const { return firstSignal; }

int StopSignals::count() const { return signalCount; }

void StopSignals::stop() {
    if (firstSignal == 0) firstSignal = SIGTERM;
    writeByte(wakeWrite);
    writeByte(extraWake);
}

void StopSignals::reset() {
    firstSignal = 0;
    signalCount = 0;
    if (wakeRead >= 0) drain(wakeRead);
}

bool StopSignals::sleepUntil(std::chrono::steady_clock::time_point when) const {
    while (firstSignal == 0) {
        const auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd fd{wakeRead, POLLIN, 0};
        ppoll(wakeRead >= 0 ? &fd : nullptr, wakeRead >= 0 ? 1 : 0, &wait, nullptr);
    }
    return false;
}

bool StopSignals::takeCableRequest() {
    if (cableRequest == 0) return false;
    cableRequest = 0;
    return true;
}

const char* StopSignals::name(int signal) {
    switch (signal) {
    case SIGINT: return "Ctrl-C (SIGINT)";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

}  // namespace korvel::cli
