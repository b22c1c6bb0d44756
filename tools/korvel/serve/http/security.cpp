#include "serve/http/security.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "core/failure.h"

namespace korvel::cli::serve::http {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void addUnique(std::vector<std::string>* hosts, const std::string& name) {
    const std::string key = lower(name);
    if (!key.empty() && std::find(hosts->begin(), hosts->end(), key) == hosts->end()) hosts->push_back(key);
}

bool isWildcard(const std::string& bind) { return bind.empty() || bind == "0.0.0.0" || bind == "::" || bind == "*"; }

}  // namespace

std::string hostName(std::string_view header) {
    if (header.empty()) return {};
    if (header.front() == '[') {
        const size_t close = header.find(']');
        if (close == std::string_view::npos) return {};
        const std::string_view rest = header.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return {};
        return lower(header.substr(1, close - 1));
    }
    const size_t colon = header.find(':');
    if (colon != std::string_view::npos && header.find(':', colon + 1) != std::string_view::npos)
        return {};  // a bare IPv6 address is not a valid Host
    return lower(header.substr(0, colon));
}

bool hostAllowed(const Access& access, std::string_view hostHeader) {
    const std::string name = hostName(hostHeader);
    if (name.empty()) return false;
    return std::find(access.hosts.begin(), access.hosts.end(), name) != access.hosts.end();
}

bool originMatches(std::string_view origin, std::string_view hostHeader) {
    if (origin.empty() || hostHeader.empty()) return false;
    return lower(origin) == "http://" + lower(hostHeader);
}

Refusal checkStateChange(const Access& access, std::string_view hostHeader, std::string_view origin,
                         std::string_view token) {
    if (!hostAllowed(access, hostHeader)) return Refusal::Host;
    if (!originMatches(origin, hostHeader)) return Refusal::Origin;
    if (access.source == TokenSource::ReadOnly) return Refusal::ReadOnly;
    if (access.token.empty() || !sameSecret(token, access.token)) return Refusal::Token;
    return Refusal::None;
}

bool sameSecret(std::string_view a, std::string_view b) {
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

std::string newToken() {
    unsigned char bytes[16] = {};
    std::ifstream random("/dev/urandom", std::ios::binary);
    if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes))
        throw Failure(kExitMeterError, "cannot read /dev/urandom for the page's token");
    std::string out;
    char hex[3];
    for (const unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        out += hex;
    }
    return out;
}

std::string readTokenFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Failure(kExitUsage, "cannot read --http-token-file " + path + ": " + std::strerror(errno));
    std::string line;
    std::getline(in, line);
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    if (line.size() < 16)
        throw Failure(kExitUsage, "--http-token-file " + path +
                                      ": the token on its first line must have 16 characters or more");
    return line;
}

std::vector<std::string> allowedHosts(const std::string& bind) {
    std::vector<std::string> hosts;
    for (const char* name : {"localhost", "127.0.0.1", "::1"}) addUnique(&hosts, name);
    if (!isWildcard(bind)) {
        addUnique(&hosts, bind.front() == '[' ? hostName(bind) : bind);
        return hosts;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) addUnique(&hosts, name);
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) == 0) {
        for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (i->ifa_addr->sa_family == AF_INET) {
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
            } else if (i->ifa_addr->sa_family == AF_INET6) {
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, text,
                          sizeof text);
            } else {
                continue;
            }
            addUnique(&hosts, text);
        }
        freeifaddrs(interfaces);
    }
    return hosts;
}

bool isLoopbackAddress(const std::string& bind) {
    return bind == "localhost" || bind.starts_with("127.") || bind == "::1" || bind == "[::1]";
}

const char* refusalText(Refusal refusal) {
    switch (refusal) {
    case Refusal::Host: return "refused: the Host header names neither this server nor localhost";
    case Refusal::Origin: return "refused: a change must come from this server's own page (Origin)";
    case Refusal::Token: return "refused: a change needs this server's token";
    case Refusal::ReadOnly:
        return "refused: settings are read-only (listening beyond this host without --http-token-file)";
    case Refusal::None: break;
    }
    return "";
}

}  // namespace korvel::cli::serve::http
