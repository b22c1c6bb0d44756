// The korvel tool end to end on this path: this process owns the testbed and
// the meter and starts the tool as a child, which inherits umockdev's preload
// and testbed, loads the shipped library and reaches the meter through
// Debian's libusb-0.1 and emulated usbfs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/usbfs/usbfs_fixture.h"

extern char** environ;

namespace korvel::test {
namespace {

using sim::UsbfsEvent;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args` (after --library), collecting its output; a
// child still running after `limit` is killed.
Outcome runTool(const std::vector<std::string>& args, std::chrono::milliseconds limit = 20000ms) {
    std::vector<std::string> words = {KORVEL_USBFS_CLI, "--library", KORVEL_USBFS_LIBRARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int out[2];
    int err[2];
    Outcome outcome;
    if (pipe(out) != 0 || pipe(err) != 0) return outcome;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (int fd : {out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        return outcome;
    }

    const auto end = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) kill(pid, SIGKILL);
    for (const auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

class Tool : public UsbfsTest {};

TEST_F(Tool, ScpiLinesReachTheMeterThroughTheRealStack) {
    int index = -1;
    auto meter = attachMeter(1, &index);
    meter->setField({0.0123});
    const Outcome o = runTool({"scpi", "*IDN?", ":MEAS:FLUX?", ":SENS:FLUX:RANG 1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "KORVEL,KV-100,KV0001,1.02\n123.0G\n");
    EXPECT_EQ(meter->snapshot().settings.range, 1);
    // The tool's exchanges crossed this cable: the open's range query first,
    // the three lines last (what the tool asks in between is its own affair).
    std::vector<int> codes;
    for (const auto& e : eventsOf(UsbfsEvent::Out)) codes.push_back(e.data[2]);
    ASSERT_GE(codes.size(), 4U);
    EXPECT_EQ(codes.front(), 0x1A);
    EXPECT_EQ(std::vector<int>(codes.end() - 3, codes.end()), (std::vector<int>{0x18, 0x10, 0x19}));
    EXPECT_TRUE(eventually([&] { return cable->openConnections(index) == 0; }));
}

TEST_F(Tool, NoMeterOnTheBusIsExitCodeThree) {
    cable->attach(nullptr, 0x1234, 0x5678);  // something else is plugged in
    const Outcome o = runTool({"scpi", "*IDN?"});
    EXPECT_EQ(o.exitCode, 3) << o.out << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(eventsOf(UsbfsEvent::ClaimInterface).empty());
}

}  // namespace
}  // namespace korvel::test
