#include "sim/usbfs/usbfs_meter.h"

#include "link/protocol.h"

namespace korvel::sim {

int attachMeter(UsbfsCable& cable, const std::shared_ptr<Meter>& meter) {
    const int device = cable.attach(meter, wire::kVendorId, wire::kProductId);
    // The fault strikes inside receive(), under the cable's lock: only ask.
    if (device >= 0) meter->setUnplugHandler([&cable, device] { cable.requestUnplug(device); });
    return device;
}

}  // namespace korvel::sim
