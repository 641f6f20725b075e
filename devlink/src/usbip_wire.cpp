#include "usbip_wire.h"

#include <algorithm>
#include <cstring>

namespace kestousb::usbip {

std::string fixedText(std::span<const uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

std::vector<uint8_t> encodeOpRequest(uint16_t code, const std::string &busId) {
    std::vector<uint8_t> out(kOpHeaderSize, 0);
    putBe16(out.data(), kVersion);
    putBe16(out.data() + 2, code);
    if (code == kOpReqImport) {
        out.resize(kOpHeaderSize + kBusIdSize, 0);
        // The bus id field is zero-terminated inside its 32 bytes.
        std::memcpy(out.data() + kOpHeaderSize, busId.data(),
                    std::min(busId.size(), kBusIdSize - 1));
    }
    return out;
}

std::array<uint8_t, kUrbHeaderSize> encodeUrb(const UrbHeader &h) {
    std::array<uint8_t, kUrbHeaderSize> out{};
    putBe32(out.data(), h.command);
    putBe32(out.data() + 4, h.seqnum);
    putBe32(out.data() + 8, h.devid);
    putBe32(out.data() + 12, h.direction);
    putBe32(out.data() + 16, h.ep);
    for (size_t i = 0; i < h.word.size(); ++i)
        putBe32(out.data() + 20 + 4 * i, h.word[i]);
    std::copy(h.setup.begin(), h.setup.end(), out.begin() + 40);
    return out;
}

OpHeader decodeOpHeader(std::span<const uint8_t, kOpHeaderSize> b) {
    return {getBe16(b.data()), getBe16(b.data() + 2), getBe32(b.data() + 4)};
}

DeviceRecord decodeDeviceRecord(std::span<const uint8_t, kDeviceRecordSize> b) {
    DeviceRecord d;
    const uint8_t *p = b.data();
    d.path = fixedText(b.subspan(0, kPathSize));
    d.busId = fixedText(b.subspan(kPathSize, kBusIdSize));
    p += kPathSize + kBusIdSize;
    d.busnum = getBe32(p);
    d.devnum = getBe32(p + 4);
    d.speed = getBe32(p + 8);
    d.idVendor = getBe16(p + 12);
    d.idProduct = getBe16(p + 14);
    d.bcdDevice = getBe16(p + 16);
    d.deviceClass = p[18];
    d.deviceSubClass = p[19];
    d.deviceProtocol = p[20];
    d.configurationValue = p[21];
    d.numConfigurations = p[22];
    d.numInterfaces = p[23];
    return d;
}

UrbHeader decodeUrb(std::span<const uint8_t, kUrbHeaderSize> b) {
    UrbHeader h;
    const uint8_t *p = b.data();
    h.command = getBe32(p);
    h.seqnum = getBe32(p + 4);
    h.devid = getBe32(p + 8);
    h.direction = getBe32(p + 12);
    h.ep = getBe32(p + 16);
    for (size_t i = 0; i < h.word.size(); ++i)
        h.word[i] = getBe32(p + 20 + 4 * i);
    std::copy(p + 40, p + 48, h.setup.begin());
    return h;
}

} // namespace kestousb::usbip
