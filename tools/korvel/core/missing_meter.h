// Why no meter could be opened on the real bus: nothing plugged in, a
// permissions problem, or a busy or silent meter, judged from sysfs.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::cli {

// The device nodes of the meters plugged in (by vendor and product id), from
// sysfs; empty optional when sysfs cannot be read.
std::optional<std::vector<std::string>> pluggedMeters(const std::string& sysfsDevices,
                                                      const std::string& deviceRoot, unsigned vendor,
                                                      unsigned product);

// Why no meter could be opened on the real bus, judged from sysfs and the
// device nodes: nothing plugged in, a permissions problem, or a meter that is
// busy or silent. accessError(node) gives the errno of opening a device node
// for reading and writing, 0 when allowed (access(2) by default).
using AccessCheck = std::function<int(const std::string& node)>;
std::string explainMissingMeter(const std::string& sysfsDevices, const std::string& deviceRoot,
                                unsigned vendor, unsigned product, const AccessCheck& accessError = {});

}  // namespace korvel::cli
