#include "usb_descriptors.h"

#include <initializer_list>
#include <string_view>

namespace vplayer::usb {

namespace {
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kBulk = 2;
constexpr uint16_t kUsb20 = 0x0200;
constexpr uint16_t kLangEnUs = 0x0409;
constexpr uint8_t kSelfPowered = 0xC0;
constexpr uint8_t kMaxPower100mA = 50; // units of 2 mA

// Byte by byte: g++ 12 at -O2 warns falsely about insert() of a braced list.
void append(std::vector<uint8_t> &v, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes)
        v.push_back(b);
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void endpoint(std::vector<uint8_t> &v, uint8_t address) {
    append(v, {7, kDescEndpoint, address, kBulk});
    put16(v, kBulkMaxPacket);
    v.push_back(0);
}
} // namespace

std::vector<uint8_t> deviceDescriptor() {
    std::vector<uint8_t> d{18, kDescDevice};
    put16(d, kUsb20);
    append(d, {0, 0, 0, kEp0MaxPacket});
    put16(d, kVendorId);
    put16(d, kProductId);
    put16(d, kBcdDevice);
    append(d, {1, 2, 3, 1});
    return d;
}

std::vector<uint8_t> configDescriptor() {
    std::vector<uint8_t> c{9, kDescConfig, 0, 0, 1, kConfigValue, 0, kSelfPowered, kMaxPower100mA};
    append(c, {9, kDescInterface, 0, 0, 2, kClassVendor, 0, 0, 0});
    endpoint(c, kEpOut);
    endpoint(c, kEpIn);
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

std::vector<uint8_t> qualifierDescriptor() {
    std::vector<uint8_t> q{10, kDescQualifier};
    put16(q, kUsb20);
    append(q, {0, 0, 0, kEp0MaxPacket, 1, 0});
    return q;
}

std::vector<uint8_t> stringDescriptor(uint8_t index) {
    static constexpr std::string_view kStrings[] = {"", "Tunara", "Virtual Player", "VP0001"};
    if (index == 0) {
        std::vector<uint8_t> s{4, kDescString};
        put16(s, kLangEnUs);
        return s;
    }
    if (index >= std::size(kStrings))
        return {};
    std::vector<uint8_t> s{0, kDescString};
    for (char ch : kStrings[index])
        put16(s, static_cast<uint8_t>(ch));
    s[0] = static_cast<uint8_t>(s.size());
    return s;
}

} // namespace vplayer::usb
