// Windows: why no meter could be opened. Without libusb-win32's libusb0.dll
// the library cannot see USB at all; with it, the meter is either absent, not
// bound to the driver, or in use.
#include <windows.h>

#include <cstdio>

#include "core/missing_meter.h"

namespace korvel::cli {

// No sysfs on Windows: the library's own bus listing is all there is.
std::optional<std::vector<std::string>> pluggedMeters(const std::string&, const std::string&, unsigned, unsigned) {
    return std::nullopt;
}

std::string explainMissingMeter(const std::string&, const std::string&, unsigned vendor, unsigned product,
                                const AccessCheck&) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "vendor %04x, product %04x", vendor & 0xFFFFu, product & 0xFFFFu);
    // Looked for as the library looks for it: the program's folder, then
    // the system's.
    HMODULE driver = LoadLibraryExW(L"libusb0.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (driver == nullptr) {
        return std::string("no meter found: the libusb-win32 driver is not installed (libusb0.dll was not "
                           "found). Install it for the meter (") +
               ids + ") with libusb-win32's inf-wizard or with Zadig (see README-Windows.md), or try the "
                     "simulated meter with --simulate.";
    }
    FreeLibrary(driver);
    return std::string("no meter found: no USB device (") + ids +
           ") answered through libusb-win32. Plug the meter in (and switch it on); if it is plugged in, "
           "check in the Device Manager that it uses the libusb-win32 driver, and that no other program "
           "has it open.";
}

}  // namespace korvel::cli
