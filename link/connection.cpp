// Finding, opening, verifying and closing the meter.
#include "link/usb_api.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "korvel.h"
#include "link/exchange.h"
#include "link/handle_table.h"
#include "link/protocol.h"

namespace korvel::link {
namespace {

using namespace wire;

constexpr int kOpenAttempts = 3;
constexpr auto kRetryWait = std::chrono::milliseconds(500);
// A meter that answered after a read had timed out leaves that answer waiting
// on endpoint 0x81; read it away before the first real exchange.
constexpr int kDrainReads = 4;
constexpr int kDrainTimeoutMs = 10;

std::mutex openMutex;

bool isMeter(const struct usb_device* device) {
    return device->descriptor.idVendor == kVendorId && device->descriptor.idProduct == kProductId;
}

void drainStaleResponses(usb_dev_handle* device) {
    char scratch[kTransferSize];
    for (int i = 0; i < kDrainReads; ++i) {
        if (usb_bulk_read(device, kEndpointIn, scratch, kTransferSize, kDrainTimeoutMs) <= 0) return;
    }
}

enum class Outcome { Verified, Skipped, Unanswered, TableFull };

// Opens, claims and verifies one device; a failed verification has already
// closed it (the exchange does that).
Outcome tryDevice(struct usb_device* candidate, MeterHandle* handle) {
    usb_dev_handle* device = usb_open(candidate);
    if (device == nullptr) return Outcome::Skipped;
    usb_set_configuration(device, kConfiguration);
    if (usb_claim_interface(device, kInterface) < 0) {
        usb_close(device);
        return Outcome::Skipped;
    }
    drainStaleResponses(device);
    const MeterHandle registered = registerConnection(device);
    if (registered == 0) {
        usb_release_interface(device, kInterface);
        usb_close(device);
        return Outcome::TableFull;
    }
    // The meter proves itself by answering a range query, sent through the
    // link's own exchange (the value is not needed, only a valid answer).
    MB_PDU answer;
    if (commandExchange(registered, static_cast<std::uint8_t>(Command::GetRange), nullptr, 0, &answer) != 0)
        return Outcome::Unanswered;
    *handle = registered;
    return Outcome::Verified;
}

}  // namespace
}  // namespace korvel::link

using namespace korvel::link;

KORVEL_API MeterHandle openKorvel(void) {
    std::lock_guard openGuard(openMutex);
    usb_bus* busses = nullptr;
    busGate().close();
    usb_set_debug(0);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    busses = usb_get_busses();
    busGate().open();
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        bool attemptOver = false;
        for (usb_bus* bus = busses; bus != nullptr && !attemptOver; bus = bus->next) {
            for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
                if (!isMeter(device)) continue;
                MeterHandle handle = 0;
                const Outcome outcome = tryDevice(device, &handle);
                if (outcome == Outcome::Verified) return handle;
                if (outcome == Outcome::TableFull) return 0;  // no later attempt can do better
                // A claimed meter that did not answer ends the attempt; one that
                // could not be opened or claimed is passed over.
                if (outcome == Outcome::Unanswered) {
                    attemptOver = true;
                    break;
                }
            }
        }
        std::this_thread::sleep_for(kRetryWait);  // steady clock; costs no CPU
    }
    return 0;
}

KORVEL_API MeterHandle vb_openKorvel(void) { return openKorvel(); }

KORVEL_API void closeKorvel(MeterHandle handle) {
    HeldConnection held(handle);
    held.close();
}

extern "C" KORVEL_API void vb_closeKorvel(MeterHandle handle) __attribute__((alias("closeKorvel")));
