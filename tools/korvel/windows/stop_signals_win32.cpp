// Windows: the stop policy of core/stop_signals.h over console control
// events. Ctrl-C stands for SIGINT; Ctrl-Break and closing the console window
// for SIGTERM and SIGHUP. The system calls the handler on a thread of its
// own, so the state is atomic and sleepers wait on an event.
#include <windows.h>
#include <io.h>

#include <atomic>
#include <csignal>

#include "core/stop_signals.h"

#ifndef SIGHUP
#define SIGHUP 1
#endif

namespace korvel::cli {
namespace {

std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};
std::atomic<bool> furtherEndsAtOnce{false};
std::atomic<bool> interruptOnly{false};
std::atomic<int> extraWake{-1};
HANDLE wake = nullptr;  // manual-reset: set at the first stop, wakes every sleeper

int signalOf(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGTERM;
    case CTRL_CLOSE_EVENT: return SIGHUP;
    default: return 0;  // log-off and shut-down: the default action
    }
}

void wakeUp() {
    if (wake != nullptr) SetEvent(wake);
    const int fd = extraWake.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const int ignored = _write(fd, &byte, 1);
    }
}

BOOL WINAPI onControl(DWORD event) {
    const int number = signalOf(event);
    if (number == 0 || (interruptOnly && number != SIGINT)) return FALSE;
    // The second Ctrl-C: what was written is whole; the default handler ends the process.
    if (firstSignal.load() != 0 && furtherEndsAtOnce) return FALSE;
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    ++signalCount;
    wakeUp();
    return TRUE;
}

}  // namespace

StopSignals::StopSignals(SignalPolicy policy) : policy_(policy) {
    firstSignal = 0;
    signalCount = 0;
    furtherEndsAtOnce = policy.further == FurtherSignal::EndsAtOnce;
    interruptOnly = policy.interruptOnly;
    extraWake = policy.wakeFd;
    if (wake == nullptr) wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(wake);
    SetConsoleCtrlHandler(onControl, TRUE);
}

StopSignals::~StopSignals() {
    if (keep_) return;
    SetConsoleCtrlHandler(onControl, FALSE);
    extraWake = -1;
}

int StopSignals::signal() const { return firstSignal; }

int StopSignals::count() const { return signalCount; }

void StopSignals::stop() {
    int none = 0;
    firstSignal.compare_exchange_strong(none, SIGTERM);
    wakeUp();
}

void StopSignals::reset() {
    firstSignal = 0;
    signalCount = 0;
    if (wake != nullptr) ResetEvent(wake);
}

bool StopSignals::sleepUntil(std::chrono::steady_clock::time_point when) const {
    while (firstSignal == 0) {
        const auto left = when - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        // Rounded up, so a wait never ends short of `when`.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        WaitForSingleObject(wake, static_cast<DWORD>(ms));
    }
    return false;
}

// No SIGUSR1 on Windows.
bool StopSignals::takeCableRequest() { return false; }

const char* StopSignals::name(int signal) {
    switch (signal) {
    case SIGINT: return "Ctrl-C";
    case SIGTERM: return "Ctrl-Break";
    case SIGHUP: return "the console closing";
    default: return "a signal";
    }
}

}  // namespace korvel::cli
