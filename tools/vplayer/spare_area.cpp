#include "spare_area.h"

#include <bit>

namespace vplayer {

namespace {
constexpr uint16_t kBlockAddressMarker = 0x1000;
constexpr uint32_t kCrc24Init = 0xB704CE;
constexpr uint32_t kCrc24Poly = 0x864CFB;
constexpr size_t kHalf = kPageBytes / 2;
} // namespace

uint16_t blockAddressField(uint64_t byteAddress) {
    const auto block = static_cast<uint32_t>(byteAddress / (kPageBytes * kPagesPerBlock));
    auto field = static_cast<uint16_t>(kBlockAddressMarker | ((block << 1) & 0x0FFE));
    if (std::popcount(field) % 2 == 0)
        field |= 1;
    return field;
}

std::array<uint8_t, 3> eccOf(std::span<const uint8_t> half) {
    uint32_t crc = kCrc24Init;
    for (uint8_t byte : half) {
        crc ^= static_cast<uint32_t>(byte) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc <<= 1;
            if (crc & 0x1000000)
                crc ^= kCrc24Poly;
        }
    }
    return {static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 8),
            static_cast<uint8_t>(crc)};
}

SpareArea makeSpareArea(uint64_t byteAddress, std::span<const uint8_t> page) {
    SpareArea spare{};
    spare.fill(0xFF); // user data and both status bytes: erased / good
    const uint16_t field = blockAddressField(byteAddress);
    const auto first = eccOf(page.subspan(0, std::min(kHalf, page.size())));
    const auto second =
        eccOf(page.size() > kHalf ? page.subspan(kHalf, std::min(kHalf, page.size() - kHalf))
                                  : std::span<const uint8_t>{});
    spare[6] = static_cast<uint8_t>(field >> 8);
    spare[7] = static_cast<uint8_t>(field);
    spare[8] = second[0];
    spare[9] = second[1];
    spare[10] = second[2];
    spare[11] = static_cast<uint8_t>(field >> 8);
    spare[12] = static_cast<uint8_t>(field);
    spare[13] = first[0];
    spare[14] = first[1];
    spare[15] = first[2];
    return spare;
}

} // namespace vplayer
