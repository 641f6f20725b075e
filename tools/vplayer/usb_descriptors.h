// The USB descriptors of the virtual player: 1209:0001, one configuration, interface 0 of class
// 0xFF with bulk OUT 0x01 and bulk IN 0x82 (512-byte packets, high speed).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vplayer::usb {

inline constexpr uint16_t kVendorId = 0x1209;
inline constexpr uint16_t kProductId = 0x0001;
inline constexpr uint16_t kBcdDevice = 0x0100;
inline constexpr uint8_t kEpOut = 0x01;
inline constexpr uint8_t kEpIn = 0x82;
inline constexpr uint16_t kBulkMaxPacket = 512;
inline constexpr uint8_t kEp0MaxPacket = 64;
inline constexpr uint8_t kClassVendor = 0xFF;
inline constexpr uint8_t kConfigValue = 1;

// Descriptor types and standard requests.
inline constexpr uint8_t kDescDevice = 1;
inline constexpr uint8_t kDescConfig = 2;
inline constexpr uint8_t kDescString = 3;
inline constexpr uint8_t kDescQualifier = 6;
inline constexpr uint8_t kReqGetStatus = 0;
inline constexpr uint8_t kReqClearFeature = 1;
inline constexpr uint8_t kReqSetAddress = 5;
inline constexpr uint8_t kReqGetDescriptor = 6;
inline constexpr uint8_t kReqGetConfiguration = 8;
inline constexpr uint8_t kReqSetConfiguration = 9;
inline constexpr uint8_t kReqGetInterface = 10;
inline constexpr uint8_t kReqSetInterface = 11;

std::vector<uint8_t> deviceDescriptor();
std::vector<uint8_t> configDescriptor(); // configuration + interface + both endpoints
std::vector<uint8_t> qualifierDescriptor();
// Index 0: the language list; 1 maker, 2 product, 3 serial. Empty for an unknown index.
std::vector<uint8_t> stringDescriptor(uint8_t index);

} // namespace vplayer::usb
