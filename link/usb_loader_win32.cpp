// Windows: the libusb-0.1 functions the link calls, forwarded to
// libusb-win32's libusb0.dll, which is loaded at run time. Without the
// driver installed the library still loads; the bus then lists no device and
// openKorvel() finds no meter.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "link/usb_api.h"

namespace {

struct Functions {
    decltype(&usb_init) init;
    decltype(&usb_set_debug) setDebug;
    decltype(&usb_find_busses) findBusses;
    decltype(&usb_find_devices) findDevices;
    decltype(&usb_get_busses) getBusses;
    decltype(&usb_open) open;
    decltype(&usb_close) close;
    decltype(&usb_set_configuration) setConfiguration;
    decltype(&usb_claim_interface) claimInterface;
    decltype(&usb_release_interface) releaseInterface;
    decltype(&usb_bulk_write) bulkWrite;
    decltype(&usb_bulk_read) bulkRead;
};

Functions table;                               // filled once, before `loaded` names it
std::atomic<const Functions*> loaded{nullptr};
std::mutex loadMutex;

template <typename T>
bool resolve(HMODULE module, const char* name, T* out) {
    // FARPROC goes through the generic function pointer type, which converts
    // to any other without a cast warning.
    *out = reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
    return *out != nullptr;
}

// The loaded functions, or null while libusb0.dll is absent (tried again on
// the next call, so a driver installed later is found without a restart).
const Functions* functions() {
    if (const Functions* f = loaded.load(std::memory_order_acquire)) return f;
    std::lock_guard guard(loadMutex);
    if (const Functions* f = loaded.load(std::memory_order_relaxed)) return f;
    // The application's folder and the system folders only, never the
    // current folder (a planted DLL there would run inside every host).
    HMODULE module = LoadLibraryExW(L"libusb0.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr) return nullptr;
    const bool complete =
        resolve(module, "usb_init", &table.init) && resolve(module, "usb_set_debug", &table.setDebug) &&
        resolve(module, "usb_find_busses", &table.findBusses) &&
        resolve(module, "usb_find_devices", &table.findDevices) &&
        resolve(module, "usb_get_busses", &table.getBusses) && resolve(module, "usb_open", &table.open) &&
        resolve(module, "usb_close", &table.close) &&
        resolve(module, "usb_set_configuration", &table.setConfiguration) &&
        resolve(module, "usb_claim_interface", &table.claimInterface) &&
        resolve(module, "usb_release_interface", &table.releaseInterface) &&
        resolve(module, "usb_bulk_write", &table.bulkWrite) && resolve(module, "usb_bulk_read", &table.bulkRead);
    if (!complete) {
        FreeLibrary(module);
        return nullptr;
    }
    loaded.store(&table, std::memory_order_release);
    return &table;
}

constexpr int kNoDevice = -19;  // what libusb-win32 returns for a gone device (-ENODEV)

}  // namespace

// Only an opened device reaches the functions below the bus listing, and a
// device is only ever opened through a loaded libusb0.dll.
extern "C" {
void usb_init(void) {
    if (const Functions* f = functions()) f->init();
}
void usb_set_debug(int level) {
    if (const Functions* f = functions()) f->setDebug(level);
}
int usb_find_busses(void) {
    const Functions* f = functions();
    return f != nullptr ? f->findBusses() : 0;
}
int usb_find_devices(void) {
    const Functions* f = functions();
    return f != nullptr ? f->findDevices() : 0;
}
struct usb_bus* usb_get_busses(void) {
    const Functions* f = functions();
    return f != nullptr ? f->getBusses() : nullptr;
}
usb_dev_handle* usb_open(struct usb_device* dev) {
    const Functions* f = functions();
    return f != nullptr ? f->open(dev) : nullptr;
}
int usb_close(usb_dev_handle* dev) {
    const Functions* f = functions();
    return f != nullptr ? f->close(dev) : kNoDevice;
}
int usb_set_configuration(usb_dev_handle* dev, int configuration) {
    const Functions* f = functions();
    return f != nullptr ? f->setConfiguration(dev, configuration) : kNoDevice;
}
int usb_claim_interface(usb_dev_handle* dev, int interface) {
    const Functions* f = functions();
    return f != nullptr ? f->claimInterface(dev, interface) : kNoDevice;
}
int usb_release_interface(usb_dev_handle* dev, int interface) {
    const Functions* f = functions();
    return f != nullptr ? f->releaseInterface(dev, interface) : kNoDevice;
}
int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout) {
    const Functions* f = functions();
    return f != nullptr ? f->bulkWrite(dev, ep, bytes, size, timeout) : kNoDevice;
}
int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
    const Functions* f = functions();
    return f != nullptr ? f->bulkRead(dev, ep, bytes, size, timeout) : kNoDevice;
}
}
