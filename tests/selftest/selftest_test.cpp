// The console self-test's dialogue, run in a child process whose standard
// input and output are pipes: with a meter, with a meter whose first exchange
// fails, and with none.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/scpi/scpi_fixture.h"

namespace korvel::test {
namespace {

using Clock = std::chrono::steady_clock;

// Notes when each request arrives.
class TimedMeter : public RecordingMeter {
public:
    std::vector<Clock::time_point> arrivals;
    bool receive(const std::uint8_t* request, int length, sim::Reply* reply) override {
        arrivals.push_back(Clock::now());
        return RecordingMeter::receive(request, length, reply);
    }
};

// Runs mbRunTest in a child with `input` on its standard input; after it, the
// child prints what the meter received, the pause before the last request,
// and what was left unread of the input.
std::string runSelfTest(const std::function<void(TimedMeter&)>& prepare, bool withMeter,
                        const std::string& input) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        sim::VirtualBus& bus = sim::VirtualBus::instance();
        bus.reset();
        auto meter = std::make_shared<TimedMeter>();
        prepare(*meter);
        if (withMeter) bus.attach(meter, wire::kVendorId, wire::kProductId);
        mbRunTest();
        const auto& t = meter->arrivals;
        const long long pause =
            t.size() >= 2 ? std::chrono::duration_cast<std::chrono::milliseconds>(t.back() - t[t.size() - 2]).count() : -1;
        char rest[16] = {};
        const ssize_t n = read(STDIN_FILENO, rest, sizeof rest - 1);
        std::printf("-- sent %s, last pause %s, unread \"%s\"\n", joined(meter->sent()).c_str(),
                    pause >= 1000 ? ">= 1000 ms" : pause < 0 ? "none" : "< 1000 ms", n > 0 ? rest : "");
        std::fflush(stdout);
        _exit(0);
    }
    close(in[0]);
    close(out[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) return "write failed";
    close(in[1]);
    std::string output;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return output;
}

// The handle's value is the library's choice: "0x" and eight lower-case hex
// digits become "0x########"; anything else is left for the comparison to catch.
std::string maskHandle(std::string text) {
    const std::size_t at = text.find("handle == 0x");
    if (at == std::string::npos) return text;
    const std::size_t digits = at + 12;
    for (std::size_t i = digits; i < digits + 8 && i < text.size(); ++i) {
        const char c = text[i];
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) text[i] = '#';
    }
    return text;
}

TEST(SelfTest, WithAMeterShowsTheIdentificationAndSwitchesTheOutput) {
    const std::string output = runSelfTest([](TimedMeter&) {}, true, "\nX");
    EXPECT_EQ(maskHandle(output),
              "hit <CR> to test unit 0 > unit 0 opened successfully with handle == 0x########\n"
              "result: KORVEL KV100\n"
              "result: \n"
              "result: \n"
              "closing unit 0\n"
              "-- sent 1A|18|1B 00|1B 01, last pause >= 1000 ms, unread \"X\"\n");
}

TEST(SelfTest, AFailedExchangeShowsOnEveryLaterCommand) {
    const std::string output = runSelfTest([](TimedMeter& m) { m.failing = {0x18}; }, true, "\n");
    EXPECT_EQ(maskHandle(output),
              "hit <CR> to test unit 0 > unit 0 opened successfully with handle == 0x########\n"
              "result: USB Connection Problem\n"
              "result: USB Connection Problem\n"
              "result: USB Connection Problem\n"
              "closing unit 0\n"
              "-- sent 1A|18, last pause < 1000 ms, unread \"\"\n");
}

TEST(SelfTest, WithoutAMeterReportsTheFailedOpen) {
    // End of input instead of a key: the test goes on all the same.
    const std::string output = runSelfTest([](TimedMeter&) {}, false, "");
    EXPECT_EQ(output,
              "hit <CR> to test unit 0 > open failed for 0\n\nclosing unit 0\n"
              "-- sent , last pause none, unread \"\"\n");
}

}  // namespace
}  // namespace korvel::test
