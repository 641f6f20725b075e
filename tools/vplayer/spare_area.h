// Spare areas of the player's flash pages. The images hold only the data bytes, so the player
// makes up each page's 16-byte spare area from the page address and the page's data, the same
// way every time: user data FF x4, data status FF, block status FF (good), block address, ECC of
// the second 256-byte half, block address again, ECC of the first half.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vplayer {

inline constexpr uint32_t kPageBytes = 512;
inline constexpr uint32_t kPagesPerBlock = 32; // 16 KiB erase blocks
inline constexpr size_t kSpareBytes = 16;

using SpareArea = std::array<uint8_t, kSpareBytes>;

// The block address field for a byte address: 0x1000 | block number << 1, with the low bit
// making the number of one bits odd.
uint16_t blockAddressField(uint64_t byteAddress);
// A 3-byte check value of 256 data bytes (a CRC-24).
std::array<uint8_t, 3> eccOf(std::span<const uint8_t> half);
// The made-up spare area of the page that holds `byteAddress`; `page` is that page's data.
SpareArea makeSpareArea(uint64_t byteAddress, std::span<const uint8_t> page);

} // namespace vplayer
