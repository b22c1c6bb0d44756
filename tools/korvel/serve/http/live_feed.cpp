#include "serve/http/live_feed.h"

#include <algorithm>

namespace korvel::cli::serve::http {

std::int64_t epochMillis(WallClock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

LiveFeed::LiveFeed(std::size_t historyLength) : historyLength_(historyLength) {}

void LiveFeed::publish(Sample sample) {
    {
        std::lock_guard lock(mutex_);
        sample.sequence = ++sequence_;
        HistoryPoint point{epochMillis(sample.time), std::nullopt};
        if (sample.hasReading) {
            point.tesla = sample.value.tesla;
            statistics_.add(sample.value);  // over-range readings only counted
        }
        history_.push_back(point);
        while (history_.size() > historyLength_) history_.pop_front();
        latest_ = std::move(sample);
    }
    published_.notify_all();
}

void LiveFeed::setStatus(const MeterStatus& status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

MeterStatus LiveFeed::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

Sample LiveFeed::latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

std::optional<Sample> LiveFeed::waitNewer(std::uint64_t after, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!published_.wait_for(lock, timeout, [&] { return stopped_ || sequence_ > after; }) || stopped_)
        return std::nullopt;
    return latest_;
}

void LiveFeed::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    published_.notify_all();
}

bool LiveFeed::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

std::vector<HistoryPoint> LiveFeed::history(std::chrono::seconds window, std::size_t maxPoints,
                                            std::chrono::milliseconds gapAfter) const {
    std::vector<HistoryPoint> out;
    std::lock_guard lock(mutex_);
    if (history_.empty()) return out;
    const std::int64_t from =
        history_.back().millis - std::chrono::duration_cast<std::chrono::milliseconds>(window).count();
    auto at = history_.begin();
    while (at != history_.end() && at->millis < from) ++at;
    const auto count = static_cast<std::size_t>(history_.end() - at);
    const std::size_t limit = std::max<std::size_t>(maxPoints, 1);
    const std::size_t step = std::max<std::size_t>((count + limit - 1) / limit, 1);
    // Thinned points lie further apart: the gap they may span grows with them.
    const std::int64_t gap = gapAfter.count() * static_cast<std::int64_t>(step);
    out.reserve(count / step + 8);
    while (at != history_.end()) {
        const auto left = static_cast<std::size_t>(history_.end() - at);
        const auto end = at + static_cast<std::ptrdiff_t>(std::min(step, left));
        HistoryPoint point = *at;
        for (auto i = at; i != end; ++i)
            if (!i->tesla) point.tesla.reset();
        if (!out.empty() && out.back().tesla && point.millis - out.back().millis > gap)
            out.push_back(HistoryPoint{out.back().millis + 1, std::nullopt});
        out.push_back(point);
        at = end;
    }
    return out;
}

Statistics LiveFeed::statistics() const {
    std::lock_guard lock(mutex_);
    return statistics_;
}

void LiveFeed::resetStatistics() {
    std::lock_guard lock(mutex_);
    statistics_ = Statistics();
}

}  // namespace korvel::cli::serve::http
