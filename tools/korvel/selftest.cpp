// korvel selftest: the library's console self-test (mbRunTest).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "core/subcommand.h"
#include "core/failure.h"

namespace korvel::cli {
namespace {

// Runs the self-test with its output passed through to ours as it comes
// (its prompt must show before it waits) and kept, so the exit code can say
// how it went.
std::string runPassingThrough(void (*test)()) {
    std::fflush(stdout);
    int ends[2];
    const int saved = dup(STDOUT_FILENO);
    if (saved < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (saved >= 0) close(saved);
        test();  // cannot watch it; it still runs
        return {};
    }
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    std::string seen;
    std::thread pump([&seen, readEnd = ends[0], saved] {
        char buffer[256];
        ssize_t n;
        while ((n = read(readEnd, buffer, sizeof buffer)) > 0) {
            seen.append(buffer, static_cast<size_t>(n));
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = write(saved, buffer + done, static_cast<size_t>(n - done));
                if (w <= 0) break;
                done += w;
            }
        }
    });
    test();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);  // the pipe's last write end closes: the pump ends
    pump.join();
    close(ends[0]);
    close(saved);
    return seen;
}

int runSelftest(Session& session) {
    const Api& api = session.api();
    session.library().require(reinterpret_cast<const void*>(api.mbRunTest), "mbRunTest");
    // The self-test opens the first free meter: with --meter, hold the ones
    // in front of the chosen meter until it is done.
    std::vector<Meter> held = session.holdMetersBefore();
    const std::string output = runPassingThrough(api.mbRunTest);
    held.clear();
    if (output.find("open failed") != std::string::npos) session.throwNoMeter();
    if (output.find("result: USB Connection Problem") != std::string::npos) {
        throw Failure(kExitMeterError, "the self-test lost the connection to the meter: check the cable");
    }
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_selftest_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* sub = addSubcommand(app, context, "selftest",
                                  "Run the library's console self-test (mbRunTest)");
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runSelftest(session);
        };
    });
}
