#include "core/missing_meter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/text.h"

namespace korvel::cli {
namespace {

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return trim(line);
}

}  // namespace

std::optional<std::vector<std::string>> pluggedMeters(const std::string& sysfsDevices,
                                                      const std::string& deviceRoot, unsigned vendor,
                                                      unsigned product) {
    std::error_code error;
    std::filesystem::directory_iterator devices(sysfsDevices, error);
    if (error) return std::nullopt;
    std::vector<std::string> nodes;
    for (const auto& entry : devices) {
        const auto dir = entry.path();
        const std::string v = readFirstLine(dir / "idVendor");
        const std::string p = readFirstLine(dir / "idProduct");
        if (v.empty() || p.empty()) continue;
        if (std::strtoul(v.c_str(), nullptr, 16) != (vendor & 0xFFFFu) ||
            std::strtoul(p.c_str(), nullptr, 16) != (product & 0xFFFFu))
            continue;
        char node[64];
        std::snprintf(node, sizeof node, "/%03lu/%03lu",
                      std::strtoul(readFirstLine(dir / "busnum").c_str(), nullptr, 10),
                      std::strtoul(readFirstLine(dir / "devnum").c_str(), nullptr, 10));
        nodes.push_back(deviceRoot + node);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

std::string explainMissingMeter(const std::string& sysfsDevices, const std::string& deviceRoot,
                                unsigned vendor, unsigned product, const AccessCheck& accessError) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendor & 0xFFFFu, product & 0xFFFFu);
    const std::vector<std::string> present =
        pluggedMeters(sysfsDevices, deviceRoot, vendor, product).value_or(std::vector<std::string>{});
    std::vector<std::string> forbidden;
    for (const auto& path : present) {
        const int denied = accessError ? accessError(path)
                                       : (access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno);
        if (denied == EACCES || denied == EPERM) forbidden.push_back(path);
    }
    if (present.empty()) {
        return std::string("no meter found: no USB device ") + ids +
               " is plugged in. Plug the meter in (and switch it on), or try the simulated meter with "
               "--simulate.";
    }
    if (!forbidden.empty()) {
        return "a meter is plugged in (" + forbidden.front() +
               ") but this user may not open it: a permissions problem. Install Korvel's udev rule "
               "(see 'Using a real meter' in the README), then unplug and replug the meter.";
    }
    return "a meter is plugged in (" + present.front() +
           ") but could not be opened: another program may be using it (close it and try again), "
           "or it did not answer (unplug and replug it).";
}

}  // namespace korvel::cli
