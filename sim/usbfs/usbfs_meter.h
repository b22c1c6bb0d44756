// Simulated meters on the emulated-usbfs cable.
#pragma once

#include <memory>

#include "sim/meter/simulated_meter.h"
#include "sim/usbfs/usbfs_cable.h"

namespace korvel::sim {

// Plugs `meter` into the cable with the meter's USB ids, its Unplug fault
// pulling this cable. Returns the device index, or -1. The cable must
// outlive the meter's use on it.
int attachMeter(UsbfsCable& cable, const std::shared_ptr<Meter>& meter);

}  // namespace korvel::sim
