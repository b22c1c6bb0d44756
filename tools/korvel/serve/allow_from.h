// --allow-from CIDR: the networks whose hosts may connect to any door (the
// socket ports, VXI-11 and the page). Others are closed as soon as they are
// accepted, and logged once per address per minute. One list for the
// process, set before any door listens; read from every door's thread.
#pragma once

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korvel::cli::serve {

struct Network {
    int family = 0;                      // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> bytes{};
    int prefix = 0;                      // bits that must match
};

// "192.168.1.0/24", "10.1.2.3" (one host), "fd00::/8"; false when it is
// none of these (or the host bits below the prefix are set).
bool parseNetwork(const std::string& text, Network* out);
// IPv4 peers seen on an IPv6 socket (::ffff:a.b.c.d) match IPv4 networks.
bool networkContains(const Network& network, const sockaddr* address);

class AllowFrom {
public:
    // Throws Failure (usage) for a CIDR it cannot read.
    void set(const std::vector<std::string>& networks);
    bool limited() const { return !networks_.empty(); }
    // True when the peer of this accepted socket may stay; logs refusals.
    bool admit(int fd, const char* door);

private:
    std::vector<Network> networks_;
    std::mutex mutex_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastLogged_;
};

// The process's list (empty: everyone who can reach a door may connect).
AllowFrom& allowFrom();

}  // namespace korvel::cli::serve
