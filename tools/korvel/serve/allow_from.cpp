#include "serve/allow_from.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "core/failure.h"
#include "serve/log.h"

namespace korvel::cli::serve {
namespace {

constexpr auto kLogEvery = std::chrono::minutes(1);
constexpr std::size_t kRememberedAddresses = 1024;  // the log's memory of refused hosts, bounded

bool prefixMatches(const std::uint8_t* a, const std::uint8_t* b, int bits) {
    const int whole = bits / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0) return false;
    const int rest = bits % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool parseNetwork(const std::string& text, Network* out) {
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    Network network;
    if (inet_pton(AF_INET, address.c_str(), network.bytes.data()) == 1) {
        network.family = AF_INET;
        network.prefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), network.bytes.data()) == 1) {
        network.family = AF_INET6;
        network.prefix = 128;
    } else {
        return false;
    }
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) return false;
        const int prefix = std::stoi(bits);
        if (prefix > network.prefix) return false;
        network.prefix = prefix;
    }
    // Host bits set ("10.1.2.3/8") most likely mean another network than typed.
    const int size = network.family == AF_INET ? 4 : 16;
    for (int bit = network.prefix; bit < size * 8; ++bit) {
        if (network.bytes[static_cast<std::size_t>(bit / 8)] & (0x80 >> (bit % 8))) return false;
    }
    *out = network;
    return true;
}

bool networkContains(const Network& network, const sockaddr* address) {
    const std::uint8_t* bytes = nullptr;
    int family = address->sa_family;
    if (family == AF_INET) {
        bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    } else if (family == AF_INET6) {
        const auto* v6 = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        bytes = reinterpret_cast<const std::uint8_t*>(v6);
        if (IN6_IS_ADDR_V4MAPPED(v6)) {
            family = AF_INET;
            bytes += 12;
        }
    }
    if (bytes == nullptr || family != network.family) return false;
    return prefixMatches(bytes, network.bytes.data(), network.prefix);
}

void AllowFrom::set(const std::vector<std::string>& networks) {
    networks_.clear();
    for (const std::string& text : networks) {
        Network network;
        if (!parseNetwork(text, &network))
            throw Failure(kExitUsage, "--allow-from " + text +
                                          ": not a network (write it as ADDRESS/BITS with the host bits zero, "
                                          "for example 192.168.1.0/24, or one address)");
        networks_.push_back(network);
    }
}

bool AllowFrom::admit(int fd, const char* door) {
    if (networks_.empty()) return true;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
    for (const Network& network : networks_) {
        if (networkContains(network, reinterpret_cast<const sockaddr*>(&peer))) return true;
    }
    char host[NI_MAXHOST] = {};
    getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    auto& last = lastLogged_[host];
    if (last == std::chrono::steady_clock::time_point{} || now - last >= kLogEvery) {
        last = now;
        log(std::string("refused ") + host + " (" + door + "): not in --allow-from; logged once a minute");
    }
    if (lastLogged_.size() > kRememberedAddresses) std::erase_if(lastLogged_, [&](const auto& e) { return now - e.second >= kLogEvery; });
    return false;
}

AllowFrom& allowFrom() {
    static AllowFrom list;
    return list;
}

}  // namespace korvel::cli::serve
