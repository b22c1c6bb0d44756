// What korvel publish tells about the broker: one line per change, the
// first within a second, and the changes about the link retained.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/service_notify.h"
#include "publish/broker_report.h"

namespace korvel::cli::publish {
namespace {

using Clock = BrokerReport::Clock;
using std::chrono::milliseconds;

struct Report {
    ServiceNotifier notifier{""};  // outside systemd
    ServiceStatus status{notifier};
    std::vector<std::string> retained;
    Clock::time_point start = Clock::now();
    BrokerReport report{"127.0.0.1:1883", "/var/spool/x", 1000, status,
                        [this](const std::string& line) { retained.push_back(line); }, start};

    // The lines one round prints, without "korvel: " and the time stamp.
    std::vector<std::string> round(const LinkView& link, int atMs) {
        testing::internal::CaptureStderr();
        report.update(link, start + milliseconds(atMs));
        const std::string out = testing::internal::GetCapturedStderr();
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            const std::string line = out.substr(at, end - at);
            lines.push_back(line.substr(line.find('Z') + 2));  // after the ISO time
            at = end + 1;
        }
        return lines;
    }
};

LinkView down(const std::string& reason, std::uint64_t pending = 0) {
    LinkView v;
    v.reason = reason;
    v.pendingBytes = pending;
    return v;
}

LinkView up(unsigned connections, std::uint64_t pending, std::uint64_t published) {
    LinkView v;
    v.connected = true;
    v.connections = connections;
    v.pendingBytes = pending;
    v.published = published;
    return v;
}

TEST(BrokerReport, UnreachableAtOnceWithTheReasonThenConnectedAndResent) {
    Report r;
    EXPECT_EQ(r.round(down("Connection refused"), 5),
              (std::vector<std::string>{"cannot reach the broker at 127.0.0.1:1883 (Connection refused); readings are "
                                        "kept in /var/spool/x and sent when it is back"}));
    EXPECT_TRUE(r.round(down("Connection refused"), 300).empty());  // no change, no line
    EXPECT_EQ(r.round(down("Connection refused"), 1000),
              (std::vector<std::string>{"no broker at 127.0.0.1:1883 yet (Connection refused); retrying in 2 s"}));
    EXPECT_TRUE(r.retained.empty());  // nothing to send it with
    EXPECT_EQ(r.round(up(1, 300, 10), 2500),
              (std::vector<std::string>{"connected to the broker at 127.0.0.1:1883; sending the readings spooled "
                                        "meanwhile"}));
    EXPECT_EQ(r.round(up(1, 0, 17), 2600),
              (std::vector<std::string>{"resent 7 spooled readings to the broker at 127.0.0.1:1883"}));
    ASSERT_FALSE(r.retained.empty());
    EXPECT_NE(r.retained.back().find("resent 7 spooled readings"), std::string::npos);
}

TEST(BrokerReport, SilentBrokerToldAfterOneSecondAndALossWithItsReason) {
    Report r;
    EXPECT_TRUE(r.round(down(""), 500).empty());
    EXPECT_EQ(r.round(down(""), 1000),
              (std::vector<std::string>{"cannot reach the broker at 127.0.0.1:1883 (no answer); readings are kept in "
                                        "/var/spool/x and sent when it is back"}));
    EXPECT_EQ(r.round(up(1, 0, 0), 1200),
              (std::vector<std::string>{"connected to the broker at 127.0.0.1:1883"}));
    EXPECT_EQ(r.round(down("The connection was lost."), 5000),
              (std::vector<std::string>{"lost the broker at 127.0.0.1:1883 (The connection was lost.); retrying in "
                                        "1 s; readings are kept in /var/spool/x"}));
    // Told once the broker has it again.
    r.round(up(2, 0, 0), 6000);
    EXPECT_NE(r.retained.back().find("connected to the broker"), std::string::npos);
}

TEST(BrokerReport, SpoolFillingUpAndDroppingToldOncePerChange) {
    Report r;  // --spool-max 1000 bytes
    r.round(up(1, 0, 0), 10);
    EXPECT_EQ(r.round(up(1, 600, 0), 20),
              (std::vector<std::string>{"the spool /var/spool/x is at 60 % of --spool-max (600 bytes of readings wait "
                                        "for the broker)"}));
    EXPECT_TRUE(r.round(up(1, 650, 0), 30).empty());
    LinkView full = up(1, 990, 0);
    full.cut = 3;
    EXPECT_EQ(r.round(full, 40),
              (std::vector<std::string>{
                  "the spool /var/spool/x is at 99 % of --spool-max (990 bytes of readings wait for the broker)",
                  "the spool /var/spool/x is full (--spool-max 1000 bytes): dropping the oldest readings"}));
    full.cut = 40;
    EXPECT_TRUE(r.round(full, 50).empty());
    LinkView drained = up(1, 100, 0);
    drained.cut = 40;
    EXPECT_EQ(r.round(drained, 60),
              (std::vector<std::string>{"the spool /var/spool/x is below 50 % of --spool-max again",
                                        "stopped dropping readings: 40 readings dropped"}));
}

}  // namespace
}  // namespace korvel::cli::publish
