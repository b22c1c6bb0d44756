// Starting a program with umockdev's preload library loaded first, which the
// emulated-usbfs cable needs.
#include "sim/usbfs/usbfs_preload.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace korvel::sim {
namespace {

constexpr char kPreloadName[] = "libumockdev-preload";

// Whether the preload was asked for. Deciding the restart by this (and not by
// whether it loaded) means a preload that fails to load cannot loop.
bool preloadRequested() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, kPreloadName) != nullptr;
}


}  // namespace

bool usbfsPreloadLoaded() {
    if (!preloadRequested()) return false;
    void* self = dlopen(kPreloadLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (self == nullptr) return false;
    dlclose(self);
    return true;
}

bool reexecWithUsbfsPreload(char** argv) {
    if (preloadRequested()) return true;
    std::string preload = kPreloadLibrary;
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // The preload comes before the sanitizer runtime; tell it that is fine.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    return false;
}

}  // namespace korvel::sim
