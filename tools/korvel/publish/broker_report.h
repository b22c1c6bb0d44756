// What the broker is doing, told as it changes: one line with the time on
// standard error per change (connecting, connected, lost with the reason,
// retrying in N s, the spooled readings resent, the spool filling up, the
// oldest readings dropped), the same as the service's status line, and the
// changes about the link as a retained message once the broker has it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/service_status.h"

namespace korvel::cli::publish {

// What the publisher's loop sees in one round.
struct LinkView {
    bool connected = false;
    unsigned connections = 0;  // connections made so far
    std::string reason;        // why it is down, when known
    std::uint64_t pendingBytes = 0;
    std::uint64_t published = 0;  // records handed to the broker so far
    std::uint64_t cut = 0;        // records dropped by a full spool so far
};

class BrokerReport {
public:
    using Clock = std::chrono::steady_clock;
    // `where`: HOST:PORT; `spool`: the spool's folder; `retain` publishes a
    // retained line about the link (only called while connected).
    BrokerReport(std::string where, std::string spool, std::uint64_t spoolMax, ServiceStatus& status,
                 std::function<void(const std::string&)> retain, Clock::time_point start = Clock::now());

    // One round of the publisher's loop.
    void update(const LinkView& link, Clock::time_point now = Clock::now());

private:
    void say(const std::string& line, bool aboutLink);
    void brokerStatus(const std::string& text) { status_.set(ServiceStatus::BrokerPart, text); }
    void spoolChanges(const LinkView& link, Clock::time_point now);

    const std::string where_, spool_;
    const std::uint64_t spoolMax_;
    ServiceStatus& status_;
    const std::function<void(const std::string&)> retain_;
    const Clock::time_point start_;
    bool connected_ = false;
    unsigned connections_ = 0;
    bool toldUnreachable_ = false;
    Clock::time_point lostAt_{};
    int retries_ = 0;               // attempts since the link went down
    Clock::time_point nextRetry_{};
    int toldDelay_ = 0;
    bool catchingUp_ = false;
    std::uint64_t publishedAtConnect_ = 0;
    int toldPercent_ = 0;           // the last threshold told (50, 75, 90)
    std::uint64_t cut_ = 0;
    bool dropping_ = false;
    std::uint64_t cutAtStart_ = 0;  // of the dropping told
    Clock::time_point spoolStatusAt_{};
    std::string linkLine_;          // the latest line about the link
    std::string retained_;          // the one the broker has
};

}  // namespace korvel::cli::publish
