// --allow-from's networks: what they are read as, and which peers they hold.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "serve/allow_from.h"

namespace korvel::cli::serve {
namespace {

sockaddr_in v4(const char* text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

sockaddr_in6 v6(const char* text) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

bool holds(const char* network, const sockaddr* peer) {
    Network parsed;
    EXPECT_TRUE(parseNetwork(network, &parsed)) << network;
    return networkContains(parsed, peer);
}

TEST(AllowFrom, PrefixesHoldTheirHostsAndNoOthers) {
    const sockaddr_in inside = v4("192.168.1.77");
    const sockaddr_in outside = v4("192.168.2.1");
    EXPECT_TRUE(holds("192.168.1.0/24", reinterpret_cast<const sockaddr*>(&inside)));
    EXPECT_FALSE(holds("192.168.1.0/24", reinterpret_cast<const sockaddr*>(&outside)));
    // /23 = 192.168.0.0 to 192.168.1.255; a prefix off a byte boundary.
    EXPECT_TRUE(holds("192.168.0.0/23", reinterpret_cast<const sockaddr*>(&inside)));
    EXPECT_FALSE(holds("192.168.0.0/23", reinterpret_cast<const sockaddr*>(&outside)));
    EXPECT_TRUE(holds("0.0.0.0/0", reinterpret_cast<const sockaddr*>(&outside)));
    EXPECT_TRUE(holds("192.168.1.77", reinterpret_cast<const sockaddr*>(&inside)));  // one host
}

TEST(AllowFrom, IPv6AndMappedIPv4Peers) {
    const sockaddr_in6 mapped = v6("::ffff:10.1.2.3");
    EXPECT_TRUE(holds("10.0.0.0/8", reinterpret_cast<const sockaddr*>(&mapped)));
    EXPECT_FALSE(holds("fd00::/8", reinterpret_cast<const sockaddr*>(&mapped)));
    const sockaddr_in6 unique = v6("fd12:3456::1");
    EXPECT_TRUE(holds("fd00::/8", reinterpret_cast<const sockaddr*>(&unique)));
    EXPECT_FALSE(holds("fe80::/10", reinterpret_cast<const sockaddr*>(&unique)));
    const sockaddr_in plain = v4("10.1.2.3");
    EXPECT_FALSE(holds("::/0", reinterpret_cast<const sockaddr*>(&plain)));  // families stay apart
}

TEST(AllowFrom, TextsThatAreNoNetworkAreRefused) {
    Network parsed;
    for (const char* text : {"10.1.2.3/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/x", "host.example", "fd00::1/8", ""})
        EXPECT_FALSE(parseNetwork(text, &parsed)) << text;
}

}  // namespace
}  // namespace korvel::cli::serve
