#include "publish/publisher.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace korvel::cli::publish {
namespace {

constexpr std::size_t kWindow = 100;  // messages in flight at once

}  // namespace

Topics topicsFor(const std::string& prefix, const std::string& serial) {
    const std::string base = prefix + "/" + serial + "/";
    return Topics{base + "reading", base + "meta", base + "status", base + "link"};
}

Publisher::Publisher(MqttLink& link, Spool& spool, std::mutex& spoolMutex, Topics topics, int qos,
                     std::string meta)
    : link_(link), spool_(spool), spoolMutex_(spoolMutex), topics_(std::move(topics)), qos_(qos),
      meta_(std::move(meta)) {}

bool Publisher::step() {
    std::lock_guard lock(spoolMutex_);
    const bool healthy = spool_.maintain();
    if (!link_.connected()) return healthy;
    if (const unsigned connection = link_.connections(); connection != connection_) {
        // A new connection: what was in flight may be lost; send it again.
        connection_ = connection;
        inFlight_.clear();
        spool_.resend();
        cursor_ = spool_.head();
        link_.publish(topics_.meta, meta_, 1, true);
        link_.publish(topics_.status, "online", 1, true);
    }
    if (cursor_ < spool_.head()) cursor_ = spool_.head();  // dropped meanwhile
    std::string record;
    std::uint64_t next = 0;
    // Records go out exactly as spooled: one sent again is the same bytes.
    while (inFlight_.size() < kWindow && spool_.read(cursor_, &record, &next)) {
        const int mid = link_.publish(topics_.reading, record, qos_, false);
        if (mid < 0) break;  // the connection went: sent again after the next one
        inFlight_.push_back(InFlight{mid, next, false});
        cursor_ = next;
        ++published_;
    }
    spool_.sent(cursor_);
    acknowledged_.clear();
    link_.takeAcknowledged(&acknowledged_);
    for (const int mid : acknowledged_) {
        for (InFlight& message : inFlight_) {
            if (message.mid == mid) message.acknowledged = true;
        }
    }
    std::uint64_t upTo = 0;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        upTo = inFlight_.front().next;
        inFlight_.pop_front();
    }
    if (upTo != 0) spool_.delivered(upTo);
    return healthy && spool_.failure().empty();
}

bool Publisher::idle() {
    std::lock_guard lock(spoolMutex_);
    return spool_.empty() && inFlight_.empty();
}

void Publisher::goOffline(double seconds) {
    if (!link_.connected()) return;
    const int mid = link_.publish(topics_.status, "offline", 1, true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (mid >= 0 && std::chrono::steady_clock::now() < end && link_.connected()) {
        step();
        if (std::find(acknowledged_.begin(), acknowledged_.end(), mid) != acknowledged_.end()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace korvel::cli::publish
