#include "device_ids.h"

#include <charconv>
#include <cstdlib>

namespace kestousb {

namespace {

bool parseHex16(std::string_view text, uint16_t &out) {
    if (text.empty() || text.size() > 4)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
    return ec == std::errc{} && end == text.data() + text.size();
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::vector<UsbId> parseUsbIds(std::string_view text) {
    std::vector<UsbId> ids;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const size_t colon = item.find(':');
        UsbId id{};
        if (colon != std::string_view::npos && parseHex16(item.substr(0, colon), id.vendor) &&
            parseHex16(item.substr(colon + 1), id.product))
            ids.push_back(id);
    }
    return ids;
}

std::vector<UsbId> playerIds() {
    std::vector<UsbId> ids{kVirtualPlayerId};
    if (const char *extra = std::getenv("KESTOUSB_USB_IDS"))
        for (const UsbId &id : parseUsbIds(extra))
            ids.push_back(id);
    return ids;
}

bool isPlayerId(uint16_t vendor, uint16_t product) {
    for (const UsbId &id : playerIds())
        if (id == UsbId{vendor, product})
            return true;
    return false;
}

} // namespace kestousb
