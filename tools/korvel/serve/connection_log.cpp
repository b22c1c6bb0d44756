#include "serve/connection_log.h"

#include "serve/log.h"

namespace korvel::cli::serve {
namespace {

constexpr auto kMinute = std::chrono::minutes(1);
const char kOtherHosts[] = "other hosts";

}  // namespace

std::string ConnectionLog::hostOf(const std::string& peer) {
    if (peer.starts_with('[')) return peer.substr(0, peer.find(']') + 1);
    return peer.substr(0, peer.rfind(':'));
}

bool ConnectionLog::connected(const std::string& peer, Clock::time_point now) {
    tick(now);
    std::string host = hostOf(peer);
    if (!hosts_.contains(host) && hosts_.size() >= kMaxHosts) host = kOtherHosts;
    auto [entry, added] = hosts_.try_emplace(host, Tally{now, 0});
    const bool logged = ++entry->second.connections <= kLoggedPerMinute;
    if (logged) log("client " + peer + " connected");
    return logged;
}

void ConnectionLog::closed(bool logged, const std::string& peer, const std::string& why) {
    if (logged) log("client " + peer + ": " + why);
}

void ConnectionLog::tick(Clock::time_point now) {
    for (auto entry = hosts_.begin(); entry != hosts_.end();) {
        if (now - entry->second.since < kMinute) {
            ++entry;
            continue;
        }
        report(entry->first, entry->second);
        entry = hosts_.erase(entry);
    }
}

void ConnectionLog::flush() {
    for (const auto& [host, tally] : hosts_) report(host, tally);
    hosts_.clear();
}

void ConnectionLog::report(const std::string& host, const Tally& tally) {
    // A quiet host's few connections were each logged already.
    if (tally.connections <= kLoggedPerMinute) return;
    log(std::to_string(tally.connections) + " connections from " + host + " in the last minute (the first " +
        std::to_string(kLoggedPerMinute) + " logged one by one)");
}

}  // namespace korvel::cli::serve
