// DNS-SD announcements through the system's Avahi daemon: _lxi._tcp and
// _http._tcp for the page, _vxi-11._tcp for VXI-11, _scpi-raw._tcp for each
// meter's socket port. Avahi's own thread does the work, so the doors'
// loops never wait for it. Without an Avahi daemon it says so once and the
// server goes on. A server bound to loopback is announced on loopback only.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace korvel::cli::serve {

struct Announcement {
    std::string name;  // "Korvel KV0001 (inst0)"
    std::string type;  // "_scpi-raw._tcp"
    int port = 0;
    std::vector<std::string> text;  // TXT records, "key=value"
};

class DnsSd {
public:
    DnsSd(std::vector<Announcement> announcements, bool loopbackOnly);
    ~DnsSd();
    DnsSd(const DnsSd&) = delete;
    DnsSd& operator=(const DnsSd&) = delete;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace korvel::cli::serve
