// umockdev answers ioctls on emulated device nodes only when its preload
// library is loaded into the process before any other.
#pragma once

namespace korvel::sim {

// The preload library, by the name the dynamic loader knows it.
inline constexpr char kPreloadLibrary[] = "libumockdev-preload.so.0";

// True when umockdev's preload library is loaded into this process.
bool usbfsPreloadLoaded();

// Starts this program again, with the same arguments and umockdev's preload
// loaded first (AddressSanitizer is told to accept that order). Returns true
// at once when LD_PRELOAD names the preload already (whether it loaded is
// then UsbfsCable's to report); returns false when the restart failed.
// Never returns otherwise.
bool reexecWithUsbfsPreload(char** argv);

}  // namespace korvel::sim
