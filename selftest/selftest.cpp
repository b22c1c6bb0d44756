// The console self-test: waits for the operator, opens the first meter, sends
// three SCPI commands and prints their replies.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "korvel.h"

namespace {

constexpr int kUnit = 0;  // the unit number shown; the first meter is opened
constexpr int kReplySize = 80;
constexpr auto kOutputSwitchPause = std::chrono::milliseconds(1000);

void sendAndShow(MeterHandle handle, const char* command) {
    char reply[kReplySize];
    std::memset(reply, 0, sizeof reply);  // a short reply never shows an older tail
    scpiCommand(handle, command, reply, kReplySize);
    reply[kReplySize - 1] = '\0';
    std::printf("result: %s\n", reply);
    std::fflush(stdout);
}

// Sleeps on the monotonic clock, so a changed wall clock neither shortens nor
// stretches the pause and no core is kept busy.
void pause(std::chrono::steady_clock::duration length) {
    const auto until = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace

KORVEL_API void mbRunTest(void) {
    std::printf("hit <CR> to test unit %d > ", kUnit);
    std::fflush(stdout);
    char key = 0;
    const ssize_t got = read(STDIN_FILENO, &key, 1);  // any byte, or end of input, goes on
    (void)got;

    const MeterHandle handle = openKorvel();
    if (handle == 0) {
        std::printf("open failed for %d\n\n", kUnit);
    } else {
        std::printf("unit %d opened successfully with handle == 0x%08x\n", kUnit, handle);
        std::fflush(stdout);
        sendAndShow(handle, "*idn?");
        sendAndShow(handle, ":syst:out 0");
        pause(kOutputSwitchPause);
        sendAndShow(handle, ":syst:out 1");
    }
    std::printf("closing unit %d\n", kUnit);
    std::fflush(stdout);
    // A handle killed by a failed exchange is ignored by closeKorvel.
    if (handle != 0) closeKorvel(handle);
}
