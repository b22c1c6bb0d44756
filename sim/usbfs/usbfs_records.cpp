// What the emulated usbfs shows of a device: its descriptors (as hex, the
// form umockdev reads) and its sysfs and udev record.
#include "sim/usbfs/usbfs_records.h"

#include <cstdio>

namespace korvel::sim {
namespace {

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";  // umockdev reads upper case only
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
}

}  // namespace

// Device descriptor, then configuration 1 with interface 0 and its two bulk
// endpoints: what libusb-0.1 reads from the node.
std::string descriptorHex(std::uint16_t vendor, std::uint16_t product) {
    const auto lo = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto hi = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
    const std::uint8_t bytes[] = {
        // device
        18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64, lo(vendor), hi(vendor), lo(product), hi(product),
        0x00, 0x01, 1, 2, 3, 1,
        // configuration 1: 32 bytes in all, one interface, bus powered, 100 mA
        9, 0x02, 32, 0, 1, kConfiguration, 0, 0x80, 50,
        // interface 0, two endpoints, vendor specific
        9, 0x04, kInterface, 0, 2, 0xFF, 0x00, 0x00, 0,
        // bulk OUT 0x01 and bulk IN 0x81, 64 bytes
        7, 0x05, kEndpointOut, 0x02, kPacket, 0, 0,
        7, 0x05, kEndpointIn, 0x02, kPacket, 0, 0,
    };
    std::string hex;
    appendHex(hex, bytes, sizeof bytes);
    return hex;
}


std::string rootHubRecord() {
    // Bus 001's root hub. It keeps /dev/bus/usb/001 in place when the last
    // meter goes: libusb-0.1 drops a vanished bus without freeing the
    // devices it still lists.
    const std::uint8_t hub[] = {
        18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0x6B, 0x1D, 0x02, 0x00, 0x06, 0x06, 3, 2, 1, 1,
        9, 0x02, 25, 0, 1, 1, 0, 0xE0, 0,
        9, 0x04, 0, 0, 1, 0x09, 0x00, 0x00, 0,
        7, 0x05, 0x81, 0x03, 4, 0, 12,
    };
    std::string hex;
    appendHex(hex, hub, sizeof hub);
    return "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
           "N: bus/usb/001/001=" + hex + "\n"
           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/001\n"
           "E: BUSNUM=001\nE: DEVNUM=001\n"
           "A: idVendor=1d6b\nA: idProduct=0002\nA: bDeviceClass=09\nA: busnum=1\nA: devnum=1\nA: dev=189:0\n"
           "H: descriptors=" + hex + "\n";
}

std::string deviceRecord(const char* syspath, const char* node, int devnum, std::uint16_t vendor,
                         std::uint16_t product) {
    const std::string hex = descriptorHex(vendor, product);
    char head[1024];
    std::snprintf(head, sizeof head,
                  "P: %s\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                  "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/100\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\nA: busnum=%d\nA: devnum=%d\n"
                  "A: bConfigurationValue=%u\nA: bNumConfigurations=1\nA: speed=12\nA: dev=189:%d\n",
                  syspath, node, kBus, devnum, vendor, product, vendor, product, kBus, devnum, kConfiguration,
                  (kBus - 1) * 128 + devnum - 1);
    return std::string(head) + "N: " + (node + 5) + "=" + hex + "\nH: descriptors=" + hex + "\n";
}

}  // namespace korvel::sim
