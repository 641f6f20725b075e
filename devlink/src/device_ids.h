// Which USB devices are players: the built-in test id 1209:0001 plus KESTOUSB_USB_IDS.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kestousb {

struct UsbId {
    uint16_t vendor;
    uint16_t product;
    bool operator==(const UsbId &) const = default;
};

constexpr UsbId kVirtualPlayerId{0x1209, 0x0001};
constexpr uint8_t kVendorSpecificClass = 0xFF; // the player's interface class

// "vvvv:pppp,vvvv:pppp" (hex); malformed entries are skipped.
std::vector<UsbId> parseUsbIds(std::string_view text);

// The built-in id followed by those of KESTOUSB_USB_IDS (read on every call).
std::vector<UsbId> playerIds();
bool isPlayerId(uint16_t vendor, uint16_t product);

} // namespace kestousb
