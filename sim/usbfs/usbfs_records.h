// The text records umockdev builds an emulated USB device from.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::sim {

// What a meter looks like on the bus: bus 001, configuration 1, interface 0,
// bulk endpoints 0x01 (OUT) and 0x81 (IN) of 64 bytes.
inline constexpr int kBus = 1;
inline constexpr unsigned kConfiguration = 1;
inline constexpr unsigned kInterface = 0;
inline constexpr unsigned char kEndpointOut = 0x01;
inline constexpr unsigned char kEndpointIn = 0x81;
inline constexpr int kPacket = 64;  // bulk max packet size; also all a Peer ever sends or takes

// Device and configuration descriptors, upper-case hex.
std::string descriptorHex(std::uint16_t vendor, std::uint16_t product);
// Bus 001's root hub.
std::string rootHubRecord();
// A device at `syspath` (under /sys) with its node `node` (/dev/bus/usb/...).
std::string deviceRecord(const char* syspath, const char* node, int devnum, std::uint16_t vendor,
                         std::uint16_t product);

}  // namespace korvel::sim
