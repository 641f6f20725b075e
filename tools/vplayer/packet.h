// Framing of the player's packets, seen from the player: '#', 0x00, L, ':', body, '.', carried
// in whole 64-byte blocks. Numbers inside packets are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vplayer::packet {

inline constexpr size_t kBlock = 64;
inline constexpr uint8_t kStart = '#';
inline constexpr uint8_t kColon = ':';
inline constexpr uint8_t kEnd = '.';
inline constexpr size_t kBodyOffset = 4;
// The longest command the player accepts: a rename or announcement with an 80-byte long name
// (160 UTF-16 characters) and a 12-byte short name stays far below this.
inline constexpr size_t kMaxCommand = 1024;

// Memory identifiers and command bytes of the protocol.
inline constexpr uint8_t kMemFlash = 'M';
inline constexpr uint8_t kMemCard = 'S';
inline constexpr uint8_t kCmdStatusFlags = 'I';
inline constexpr uint8_t kCmdVersion = 'Y';
inline constexpr uint8_t kCmdResult = 'F';
inline constexpr uint8_t kCmdLongStatus = 0x90;  // followed by 'S'
inline constexpr uint8_t kCmdSystemImage = 0x92; // followed by 0x12
inline constexpr uint8_t kCmdFirmware = 'U';     // followed by 'P'
inline constexpr uint8_t kMemTable = 'G';
inline constexpr uint8_t kMemFormat = 'F';
inline constexpr uint8_t kMemDelete = 'E';
inline constexpr uint8_t kMemRename = 'N';
inline constexpr uint8_t kMemPosition = 'P';
inline constexpr uint8_t kMemDownload = 0x90;
inline constexpr uint8_t kMemUpload = 'R';
inline constexpr uint8_t kBlockRead = 'r';
inline constexpr uint8_t kSpareRead = 's';
inline constexpr uint8_t kSpareWrite = 'x';
inline constexpr uint8_t kBlockWrite = 'w';

inline constexpr size_t roundUpToBlock(size_t n) {
    return (n + kBlock - 1) / kBlock * kBlock;
}

uint16_t be16(std::span<const uint8_t> bytes, size_t offset);
uint32_t be32(std::span<const uint8_t> bytes, size_t offset);
void putBe16(std::span<uint8_t> bytes, size_t offset, uint16_t value);
void putBe32(std::span<uint8_t> bytes, size_t offset, uint32_t value);

enum class Measure { Complete, Incomplete, Malformed };

// Finds the length of the command at the start of `bytes` (framing through the closing '.')
// from the command's own fields: L is one byte and long renames and announcements exceed it.
// Complete: `length` is set and the closing '.' is in place.
Measure measureCommand(std::span<const uint8_t> bytes, size_t &length);

// A reply: '#', 0x00, L, ':', then `payload` from offset 4 (the caller places the bytes it needs,
// including the closing '.'), zero-filled to `bytes` (a multiple of 64).
class Reply {
public:
    explicit Reply(size_t bytes = kBlock);
    // Sets L so that it counts from offset 3 through the byte at `endOffset` (the '.').
    void close(size_t endOffset);
    uint8_t &operator[](size_t i) { return m_bytes.at(i); }
    std::span<uint8_t> bytes() { return m_bytes; }
    std::vector<uint8_t> take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
};

} // namespace vplayer::packet
