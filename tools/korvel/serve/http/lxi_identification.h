// GET /lxi/identification: the LXI identification document (namespace
// http://www.lxistandard.org/InstrumentIdentification/1.0). Its device is
// the server's first meter; its interface lists every door of every meter
// as a VISA address: TCPIP::HOST::instN::INSTR (VXI-11) and
// TCPIP::HOST::PORT::SOCKET.
#pragma once

#include <string>
#include <vector>

namespace korvel::cli::serve::http {

struct LxiMeter {
    std::string identification;  // the meter's *IDN? ("" : not seen yet)
    int index = 0;               // inst<index>
    int socketPort = -1;         // -1: no socket port
};

struct LxiDoors {
    std::vector<LxiMeter> meters;
    bool vxi11 = false;
    int httpPort = 0;
};

// `host` is how the client named this server (its Host header's name).
std::string lxiIdentification(const LxiDoors& doors, const std::string& host);

}  // namespace korvel::cli::serve::http
