#include "serve/http/lxi_identification.h"

#include <string_view>

namespace korvel::cli::serve::http {
namespace {

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            // Control characters have no place in XML 1.0.
            if (static_cast<unsigned char>(c) >= 0x20) out += c;
        }
    }
    return out;
}

// The identification's comma-separated field `n` ("" when it has fewer).
std::string field(const std::string& identification, int n) {
    std::size_t start = 0;
    for (int i = 0; i < n; ++i) {
        start = identification.find(',', start);
        if (start == std::string::npos) return "";
        ++start;
    }
    const std::size_t end = identification.find(',', start);
    return identification.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void element(std::string* xml, const char* name, const std::string& value, const char* indent = "  ") {
    *xml += std::string(indent) + "<" + name + ">" + escaped(value) + "</" + name + ">\n";
}

}  // namespace

std::string lxiIdentification(const LxiDoors& doors, const std::string& host) {
    const LxiMeter first = doors.meters.empty() ? LxiMeter{} : doors.meters.front();
    const std::string page = "http://" + host + ":" + std::to_string(doors.httpPort) + "/";
    std::string described = "korvel serve, " + std::to_string(doors.meters.size()) + " meter(s):";
    for (const LxiMeter& meter : doors.meters)
        described += " inst" + std::to_string(meter.index) + " " + (meter.identification.empty() ? "(not seen yet)" : field(meter.identification, 2));

    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\" "
                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xsi:schemaLocation=\"http://www.lxistandard.org/InstrumentIdentification/1.0 "
                      "http://www.lxistandard.org/InstrumentIdentification/1.0/LXIIdentification.xsd\">\n";
    element(&xml, "Manufacturer", field(first.identification, 0));
    element(&xml, "Model", field(first.identification, 1));
    element(&xml, "SerialNumber", field(first.identification, 2));
    element(&xml, "FirmwareRevision", field(first.identification, 3));
    element(&xml, "ManufacturerDescription", "Hand-held magnetic field meter on USB, served on the network");
    element(&xml, "HomepageURL", page);
    element(&xml, "DriverURL", page);
    element(&xml, "UserDescription", described);
    element(&xml, "IdentificationURL", page + "lxi/identification");
    const bool v6 = host.starts_with('[');
    xml += std::string("  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"") +
           (v6 ? "IPv6" : "IPv4") + "\" InterfaceName=\"korvel serve\">\n";
    for (const LxiMeter& meter : doors.meters) {
        if (doors.vxi11)
            element(&xml, "InstrumentAddressString", "TCPIP::" + host + "::inst" + std::to_string(meter.index) + "::INSTR",
                    "    ");
        if (meter.socketPort >= 0)
            element(&xml, "InstrumentAddressString",
                    "TCPIP::" + host + "::" + std::to_string(meter.socketPort) + "::SOCKET", "    ");
    }
    element(&xml, "Hostname", v6 ? host.substr(1, host.size() - 2) : host, "    ");
    xml += "  </Interface>\n";
    element(&xml, "LXIVersion", "1.5");
    xml += "</LXIDevice>\n";
    return xml;
}

}  // namespace korvel::cli::serve::http
