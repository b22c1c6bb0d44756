// The notify datagrams and the watchdog, against a unix datagram socket the
// test binds (as systemd does), by path and by abstract name.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/service_notify.h"
#include "core/service_status.h"
#include "core/watchdog.h"

namespace korvel::cli {
namespace {

using namespace std::chrono_literals;

// What systemd would hear.
class FakeSystemd {
public:
    explicit FakeSystemd(bool abstract) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const std::string unique = "korvel-notify-test-" + std::to_string(::getpid()) + (abstract ? "-a" : "-p");
        name_ = abstract ? "@" + unique : ::testing::TempDir() + unique;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socklen_t length = 0;
        if (abstract) {
            std::memcpy(address.sun_path + 1, unique.data(), unique.size());
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + unique.size());
        } else {
            ::unlink(name_.c_str());
            std::strncpy(address.sun_path, name_.c_str(), sizeof address.sun_path - 1);
            length = sizeof address;
        }
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
        timeval wait{0, 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~FakeSystemd() {
        ::close(fd_);
        if (name_[0] == '/') ::unlink(name_.c_str());
    }
    const std::string& name() const { return name_; }
    std::vector<std::string> heard() {
        std::vector<std::string> messages;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            messages.emplace_back(buffer, static_cast<std::size_t>(n));
        return messages;
    }

private:
    int fd_ = -1;
    std::string name_;
};

TEST(ServiceNotify, ReadyWithTheFirstStatusThenOnlyChangesByPathAndAbstractName) {
    for (const bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract name" : "path");
        FakeSystemd systemd(abstract);
        ServiceNotifier notifier(systemd.name());
        ASSERT_TRUE(notifier.active());
        ServiceStatus status(notifier);
        status.set(ServiceStatus::MeterPart, "meter KV0001: publishing");
        status.set(ServiceStatus::MeterPart, "meter KV0001: publishing");  // unchanged: nothing sent
        status.set(ServiceStatus::BrokerPart, "connected to the broker at 127.0.0.1:1883");
        notifier.stopping();
        EXPECT_EQ(systemd.heard(),
                  (std::vector<std::string>{
                      "READY=1\nSTATUS=meter KV0001: publishing",
                      "STATUS=meter KV0001: publishing; connected to the broker at 127.0.0.1:1883", "STOPPING=1"}));
    }
}

TEST(ServiceNotify, HeldReadyWaitsForReadyWithTheLatestStatus) {
    FakeSystemd systemd(false);
    ServiceNotifier notifier(systemd.name());
    notifier.holdReady();
    notifier.status("no meter; looking for one");
    notifier.status("meter connected");
    EXPECT_TRUE(systemd.heard().empty());
    notifier.ready();
    EXPECT_EQ(systemd.heard(), (std::vector<std::string>{"READY=1\nSTATUS=meter connected"}));
}

TEST(ServiceNotify, OutsideSystemdNothingIsSent) {
    for (const char* name : {"", "relative/path", "@"}) {
        ServiceNotifier notifier(name);
        EXPECT_FALSE(notifier.active()) << name;
        EXPECT_FALSE(notifier.send("READY=1"));
    }
}

// Every loop must check in between two pings: one that stops (a stuck
// exchange) stops them all; one that ends leaves the others pinging.
TEST(Watchdog, PingsOnlyWhileEveryLoopChecksIn) {
    FakeSystemd systemd(false);
    ServiceNotifier notifier(systemd.name());
    Watchdog watchdog(notifier, std::chrono::microseconds(20000));  // a ping every 10 ms at most
    const auto pings = [&] {
        int n = 0;
        for (const auto& m : systemd.heard()) n += m == "WATCHDOG=1";
        return n;
    };
    Watchdog::Loop reader(watchdog);
    {
        Watchdog::Loop publisher(watchdog);
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(12ms);
            reader.alive();
            publisher.alive();
        }
        EXPECT_GE(pings(), 8);
        for (int i = 0; i < 10; ++i) {  // the publisher's loop is stuck
            std::this_thread::sleep_for(12ms);
            reader.alive();
        }
        EXPECT_LE(pings(), 1);  // at most the one its last check-in allowed
    }
    for (int i = 0; i < 5; ++i) {  // it ended: the reader alone keeps the pings going
        std::this_thread::sleep_for(12ms);
        reader.alive();
    }
    EXPECT_GE(pings(), 4);
}

// A publisher of many meters has a loop per meter and one for the broker:
// every one of them is watched, however many there are.
TEST(Watchdog, OneStuckLoopAmongFortyStopsThePings) {
    FakeSystemd systemd(false);
    ServiceNotifier notifier(systemd.name());
    Watchdog watchdog(notifier, std::chrono::microseconds(2000));  // a ping every millisecond at most
    std::vector<std::unique_ptr<Watchdog::Loop>> loops;
    for (int i = 0; i < 40; ++i) loops.push_back(std::make_unique<Watchdog::Loop>(watchdog));
    const auto pings = [&] {
        int n = 0;
        for (const auto& m : systemd.heard()) n += m == "WATCHDOG=1";
        return n;
    };
    const auto round = [&](std::size_t skip) {
        std::this_thread::sleep_for(2ms);
        for (std::size_t i = 0; i < loops.size(); ++i) {
            if (i != skip) loops[i]->alive();
        }
    };
    for (int i = 0; i < 5; ++i) round(loops.size());
    EXPECT_GE(pings(), 4);
    for (int i = 0; i < 5; ++i) round(37);  // the 38th loop is stuck
    EXPECT_LE(pings(), 1);  // at most the one its last check-in allowed
    loops.erase(loops.begin() + 37);  // it ended: the others keep the pings going
    for (int i = 0; i < 5; ++i) round(loops.size());
    EXPECT_GE(pings(), 4);
}

TEST(Watchdog, WithoutAnIntervalNothingIsSent) {
    FakeSystemd systemd(false);
    ServiceNotifier notifier(systemd.name());
    Watchdog watchdog(notifier, std::chrono::microseconds(0));
    Watchdog::Loop loop(watchdog);
    for (int i = 0; i < 3; ++i) loop.alive();
    EXPECT_TRUE(systemd.heard().empty());
}

}  // namespace
}  // namespace korvel::cli
