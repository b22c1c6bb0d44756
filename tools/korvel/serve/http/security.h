// Who may use the live page: the Host names it answers to (against DNS
// rebinding), and what a state-changing request must carry (against
// cross-site requests): POST, a matching Origin and the server's token.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli::serve::http {

// How state changes are allowed.
enum class TokenSource {
    Page,      // a fresh random token, handed out in the page (loopback listener)
    File,      // the token in --http-token-file; the user types it on the page
    ReadOnly,  // none: settings and recording are refused (non-loopback without a token file)
};

struct Access {
    std::vector<std::string> hosts;  // names and addresses the Host header may carry (lower case, no port)
    std::string token;               // empty when read-only
    TokenSource source = TokenSource::Page;
};

enum class Refusal { None, Host, Origin, Token, ReadOnly };

// The name in a Host header without its port: "[::1]:80" -> "::1",
// "Example:8080" -> "example". Empty when malformed.
std::string hostName(std::string_view header);

bool hostAllowed(const Access& access, std::string_view hostHeader);

// The Origin of a same-origin request to this Host: "http://" + Host.
bool originMatches(std::string_view origin, std::string_view hostHeader);

// Decides a state-changing request (the method is checked by routing: only
// POST routes change state).
Refusal checkStateChange(const Access& access, std::string_view hostHeader, std::string_view origin,
                         std::string_view token);

// Compares without stopping at the first difference.
bool sameSecret(std::string_view a, std::string_view b);

// 32 hexadecimal digits from the kernel's random source.
std::string newToken();

// The first line of a token file, trimmed. Throws Failure (usage) when the
// file cannot be read, is empty, or its token is shorter than 16 characters.
std::string readTokenFile(const std::string& path);

// The names a listener on `bind` answers to: localhost, 127.0.0.1 and ::1
// always; the bind address or name; for a wildcard bind (0.0.0.0, ::) this
// host's name and every address of its interfaces.
std::vector<std::string> allowedHosts(const std::string& bind);

bool isLoopbackAddress(const std::string& bind);

const char* refusalText(Refusal refusal);

}  // namespace korvel::cli::serve::http
