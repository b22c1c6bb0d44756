#include "serve/signals.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace korvel::cli::serve {
namespace {

volatile sig_atomic_t stopNumber = 0;
volatile sig_atomic_t cableRequest = 0;
int wakeWrite = -1;

constexpr int kCount = 3;
constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGUSR1};
struct sigaction saved[kCount];
struct sigaction savedPipe;

void onSignal(int number) {
    if (number == SIGUSR1)
        cableRequest = 1;
    else
        stopNumber = number;
    const int keep = errno;
    if (wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakeWrite, &byte, 1);
    }
    errno = keep;
}

}  // namespace

SignalScope::SignalScope(int wakeFd) {
    wakeWrite = wakeFd;
    stopNumber = 0;
    cableRequest = 0;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &action, &saved[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipe);
}

SignalScope::~SignalScope() {
    for (int i = 0; i < kCount; ++i) sigaction(kSignals[i], &saved[i], nullptr);
    sigaction(SIGPIPE, &savedPipe, nullptr);
    wakeWrite = -1;
}

int stopSignal() { return stopNumber; }

bool takeCableRequest() {
    if (cableRequest == 0) return false;
    cableRequest = 0;
    return true;
}

}  // namespace korvel::cli::serve
