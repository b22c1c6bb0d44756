// What `korvel serve` is asked to do.
#pragma once

#include <string>
#include <vector>

namespace korvel::cli::serve {

struct ServeOptions {
    std::string bind = "127.0.0.1";
    int port = 5025;
    bool allowService = false;
    bool raw = false;            // the interpreter's reply to every line, as the meter's dialect has it
    bool noWait = false;         // exit 3 when no meter is there at the start
    double idleTimeout = 0;      // seconds; 0: never (TCP keepalive finds dead peers)
    double lineTimeout = 10;     // seconds a begun line (or an unread reply) may take
    int maxClients = 64;

    // The live page and /metrics (port -1: none).
    int httpPort = -1;
    bool noScpi = false;          // the page alone, no SCPI port
    std::string httpTokenFile;    // the token state changes need, from this file
    std::string recordDir;        // where recordings go ("" : the temporary folder)
    std::vector<std::string> httpHosts;  // more names the page answers to (its Host header)

    // Several meters per server: every meter found at the start, or these
    // serial numbers (inst0, inst1, ... in this order).
    bool allMeters = false;
    std::vector<std::string> meterSerials;
    // VXI-11 (TCPIP0::HOST::instN::INSTR): the core channel's port (0: any
    // free one; clients ask the port mapper), or none at all.
    int vxi11Port = 0;
    bool noVxi11 = false;
    bool noDnsSd = false;  // announce nothing through Avahi
    // Networks whose hosts may connect to any door (empty: anyone).
    std::vector<std::string> allowFrom;
};

}  // namespace korvel::cli::serve
