#include "publish/broker_report.h"

#include <algorithm>
#include <cstdio>

#include "core/reading.h"

namespace korvel::cli::publish {
namespace {

// Without a connection after this long at the start, the broker is told
// unreachable even when the attempt has not failed yet.
constexpr auto kFirstAnswer = std::chrono::seconds(1);
// The link's own backoff (publish/mqtt_link.h): 1 s, 2 s, 3 s ... up to 30 s.
constexpr int kMaxDelay = 30;
constexpr int kThresholds[] = {50, 75, 90, 0};  // spool fill told when crossed; 0 ends

std::string plural(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

BrokerReport::BrokerReport(std::string where, std::string spool, std::uint64_t spoolMax, ServiceStatus& status,
                           std::function<void(const std::string&)> retain, Clock::time_point start)
    : where_(std::move(where)), spool_(std::move(spool)), spoolMax_(spoolMax), status_(status),
      retain_(std::move(retain)), start_(start) {
    say("connecting to the broker at " + where_, false);
    brokerStatus("connecting to the broker at " + where_);
}

void BrokerReport::say(const std::string& line, bool aboutLink) {
    const std::string stamped = isoTimestamp(std::chrono::system_clock::now()) + " " + line;
    std::fprintf(stderr, "korvel: %s\n", stamped.c_str());
    if (aboutLink) linkLine_ = stamped;
}

void BrokerReport::update(const LinkView& link, Clock::time_point now) {
    const std::string reason = link.reason.empty() ? "no answer" : link.reason;
    if (link.connected && (!connected_ || link.connections != connections_)) {
        const bool wasAway = connections_ > 0 || toldUnreachable_;
        connected_ = true;
        connections_ = link.connections;
        retries_ = 0;
        toldDelay_ = 0;
        catchingUp_ = link.pendingBytes > 0;
        publishedAtConnect_ = link.published;
        say("connected to the broker at " + where_ +
                (catchingUp_ ? "; sending the readings spooled " + std::string(wasAway ? "meanwhile" : "before")
                             : std::string()),
            true);
        brokerStatus("connected to the broker at " + where_);
    } else if (!link.connected && connected_) {
        connected_ = false;
        lostAt_ = now;
        retries_ = 0;
        nextRetry_ = now + std::chrono::seconds(1);
        toldDelay_ = 1;
        say("lost the broker at " + where_ + " (" + reason + "); retrying in 1 s; readings are kept in " + spool_,
            true);
        brokerStatus("broker " + where_ + " lost (" + reason + "); readings kept in " + spool_);
    } else if (!link.connected && connections_ == 0 && !toldUnreachable_ &&
               (!link.reason.empty() || now - start_ >= kFirstAnswer)) {
        toldUnreachable_ = true;
        nextRetry_ = start_ + std::chrono::seconds(1);
        toldDelay_ = 1;
        say("cannot reach the broker at " + where_ + " (" + reason + "); readings are kept in " + spool_ +
                " and sent when it is back",
            true);
        brokerStatus("cannot reach the broker at " + where_ + " (" + reason + "); readings kept in " + spool_);
    } else if (!link.connected && toldDelay_ > 0 && now >= nextRetry_) {
        // Another attempt is due by the link's backoff; say so when the
        // wait before the next one changes.
        ++retries_;
        const int delay = std::min(retries_ + 1, kMaxDelay);
        nextRetry_ = now + std::chrono::seconds(delay);
        if (delay != toldDelay_) {
            toldDelay_ = delay;
            say("no broker at " + where_ + " yet (" + reason + "); retrying in " + std::to_string(delay) + " s",
                false);
        }
    }
    if (catchingUp_ && link.connected && link.pendingBytes == 0) {
        catchingUp_ = false;
        say("resent " + plural(link.published - publishedAtConnect_, "spooled reading") + " to the broker at " +
                where_,
            true);
    }
    spoolChanges(link, now);
    if (link.connected && !linkLine_.empty() && linkLine_ != retained_ && retain_) {
        retained_ = linkLine_;
        retain_(linkLine_);
    }
}

void BrokerReport::spoolChanges(const LinkView& link, Clock::time_point now) {
    const auto percent = static_cast<int>(spoolMax_ > 0 ? link.pendingBytes * 100 / spoolMax_ : 0);
    int level = 0;
    for (const int* t = kThresholds; *t != 0; ++t) {
        if (percent >= *t) level = *t;
    }
    if (level > toldPercent_) {
        say("the spool " + spool_ + " is at " + std::to_string(percent) + " % of --spool-max (" +
                std::to_string(link.pendingBytes) + " bytes of readings wait for the broker)",
            true);
    }
    if (level < toldPercent_ && level == 0) say("the spool " + spool_ + " is below 50 % of --spool-max again", true);
    toldPercent_ = level;

    if (link.cut > cut_ && !dropping_) {
        dropping_ = true;
        cutAtStart_ = cut_;
        say("the spool " + spool_ + " is full (--spool-max " + std::to_string(spoolMax_) +
                " bytes): dropping the oldest readings",
            true);
    } else if (dropping_ && percent < 90) {  // the broker took enough of the backlog
        dropping_ = false;
        say("stopped dropping readings: " + plural(link.cut - cutAtStart_, "reading") + " dropped", true);
    }
    cut_ = link.cut;

    // The backlog in the service's status, at most once a second.
    if (now - spoolStatusAt_ >= std::chrono::seconds(1)) {
        spoolStatusAt_ = now;
        status_.set(ServiceStatus::SpoolPart,
                    link.pendingBytes == 0 ? std::string()
                                           : "spool backlog " + std::to_string(link.pendingBytes / 1024) + " KiB (" +
                                                 std::to_string(percent) + " % of --spool-max)" +
                                                 (dropping_ ? ", dropping the oldest" : ""));
    }
}

}  // namespace korvel::cli::publish
