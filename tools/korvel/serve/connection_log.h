// Connections in the server's log without flooding it: the first few from a
// host each minute are logged one by one (connected, and why they closed);
// beyond those a host's connections are only counted, and one line a minute
// says how many there were ("N connections from HOST in the last minute").
// Hosts are bounded: past kMaxHosts, newcomers share one tally.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace korvel::cli::serve {

class ConnectionLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kLoggedPerMinute = 10;
    static constexpr std::size_t kMaxHosts = 256;

    // A connection from peer ("HOST:PORT" or "[HOST]:PORT"). Returns whether
    // its own lines are logged (pass it to closed()).
    bool connected(const std::string& peer, Clock::time_point now);
    void closed(bool logged, const std::string& peer, const std::string& why);
    // Writes the tallies of minutes that ended (call now and then).
    void tick(Clock::time_point now);
    // Writes every tally (when the server stops).
    void flush();

    // The host part of a peer address.
    static std::string hostOf(const std::string& peer);

private:
    struct Tally {
        Clock::time_point since;
        int connections = 0;
    };
    void report(const std::string& host, const Tally& tally);

    std::map<std::string, Tally> hosts_;
};

}  // namespace korvel::cli::serve
