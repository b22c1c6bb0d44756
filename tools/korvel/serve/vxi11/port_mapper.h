// How VXI-11 clients find the core channel's port: they ask the port
// mapper on port 111. When the system's rpcbind runs, the port is
// registered with it (over its local socket, as rpcbind asks of local
// services); when none runs and port 111 can be bound, the server answers
// GETPORT itself, as embedded LAN instruments do; otherwise VXI-11 is off.
#pragma once

#include <string>

namespace korvel::cli::serve::vxi11 {

struct PortMapping {
    enum Kind { Registered, Answering, Off };
    Kind kind = Off;
    int listener = -1;   // Answering: the listening socket on port 111
    std::string why;     // Off: the reason, for the log
};

// `bind` is the address the doors listen on; `corePort` the core channel's.
PortMapping arrangePortMapping(const std::string& bind, int corePort);
// Takes a registration back (Registered only).
void withdrawPortMapping(const PortMapping& mapping);

}  // namespace korvel::cli::serve::vxi11
