// korvel serve's network loop in this process against the simulated library
// (whose call log counts the meter's exchanges): lines of clients that have
// left never reach the meter, and the meter is shared in turn, so a
// newcomer waits one exchange per other busy client at most.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "core/session.h"
#include "serve/meter_worker.h"
#include "serve/server.h"
#include "serve/signals.h"

namespace {

using namespace std::chrono_literals;
using korvel::cli::MeterOptions;
using korvel::cli::Session;
using namespace korvel::cli::serve;

long long simCalls() {
    void* library = dlopen(KORVEL_TEST_SIM_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    auto* count = reinterpret_cast<long long (*)()>(dlsym(library, "korvelSimCallCount"));
    return count();
}

int listenAny(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd, SOMAXCONN);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

void sendAll(int fd, const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t sent = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (sent <= 0) return;
        at += static_cast<std::size_t>(sent);
    }
}

std::string lineFrom(int fd) {
    std::string line;
    char c = 0;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

// A server on a loopback port with the simulated meter, until destroyed.
struct Running {
    Session session{[] {
        MeterOptions meter;
        meter.simulate = true;
        meter.library = KORVEL_TEST_SIM_LIBRARY;
        return meter;
    }()};
    ServeOptions options;
    int pipeFds[2] = {-1, -1};
    int listener = -1;
    int port = 0;
    std::unique_ptr<MeterWorker> worker;
    std::unique_ptr<Server> server;
    std::unique_ptr<SignalScope> signals;
    std::thread thread;

    explicit Running(int maxClients) {
        options.maxClients = maxClients;
        EXPECT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
        const int wake = pipeFds[1];
        worker = std::make_unique<MeterWorker>(session, ExchangeMode{}, [wake] {
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = write(wake, &byte, 1);
        });
        worker->openNow();
        session.api().korvelSimSetLatency(0.001);
        listener = listenAny(&port);
        server = std::make_unique<Server>(options, *worker, listener, pipeFds[0]);
        signals = std::make_unique<SignalScope>(wake);
        worker->start();
        thread = std::thread([this] { server->run(); });
    }
    ~Running() {
        std::raise(SIGTERM);
        thread.join();
        worker->stop();
        signals.reset();
        ::close(listener);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }
    // Library calls one *IDN? exchange makes.
    long long callsPerQuery() {
        const int fd = connectTo(port);
        const long long before = simCalls();
        sendAll(fd, "*IDN?\n");
        EXPECT_FALSE(lineFrom(fd).empty());
        const long long calls = simCalls() - before;
        ::close(fd);
        return calls;
    }
    bool settles() {
        for (int i = 0; i < 500 && server->clientCount() > 0; ++i) std::this_thread::sleep_for(10ms);
        return server->clientCount() == 0;
    }
};

TEST(ServeFlood, LinesOfClientsThatLeftNeverReachTheMeter) {
    Running running(64);
    const long long perQuery = running.callsPerQuery();
    ASSERT_GT(perQuery, 0);
    constexpr int kClients = 40;
    constexpr int kLines = 30;
    std::string lines;
    for (int i = 0; i < kLines; ++i) lines += "*IDN?\n";
    const long long before = simCalls();
    for (int i = 0; i < kClients; ++i) {
        // Connect, send, close: the first reply finds the peer gone.
        const int fd = connectTo(running.port);
        sendAll(fd, lines);
        ::close(fd);
    }
    // A newcomer is answered at once all the same.
    const int newcomer = connectTo(running.port);
    sendAll(newcomer, "*IDN?\n");
    EXPECT_EQ(lineFrom(newcomer), "KORVEL,KV-100,KV0001,1.02");
    ::close(newcomer);
    ASSERT_TRUE(running.settles());
    const double exchanges = static_cast<double>(simCalls() - before) / static_cast<double>(perQuery);
    // One line each may run before a reply shows the peer gone (and one
    // more already taken meanwhile); the other 28 of every client never do.
    EXPECT_LE(exchanges, 2.0 * kClients + 1) << "of " << kClients * kLines << " lines sent";
    EXPECT_GT(running.worker->forgotten(), 0U);
}

TEST(ServeFlood, ANewcomerWaitsOneExchangePerBusyClientAtMost) {
    Running running(64);
    const long long perQuery = running.callsPerQuery();
    constexpr int kBusy = 16;
    std::string lines;
    for (int i = 0; i < 400; ++i) lines += "*IDN?\n";
    std::vector<int> busy;
    for (int i = 0; i < kBusy; ++i) {
        busy.push_back(connectTo(running.port));
        sendAll(busy.back(), lines);  // read later: their replies wait in the kernel meanwhile
    }
    std::this_thread::sleep_for(50ms);  // every busy client has lines at the meter
    const int newcomer = connectTo(running.port);
    const long long before = simCalls();
    sendAll(newcomer, "*IDN?\n");
    EXPECT_EQ(lineFrom(newcomer), "KORVEL,KV-100,KV0001,1.02");
    const double ran = static_cast<double>(simCalls() - before) / static_cast<double>(perQuery);
    // Its own, and one of each busy client's (in turn), plus one under way.
    EXPECT_LE(ran, kBusy + 2.0);
    ::close(newcomer);
    for (int fd : busy) ::close(fd);
    ASSERT_TRUE(running.settles());
}

}  // namespace
