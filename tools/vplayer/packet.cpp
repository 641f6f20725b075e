#include "packet.h"

namespace vplayer::packet {

uint16_t be16(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

uint32_t be32(std::span<const uint8_t> bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset]) << 24 |
           static_cast<uint32_t>(bytes[offset + 1]) << 16 |
           static_cast<uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

void putBe16(std::span<uint8_t> bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<uint8_t>(value);
}

void putBe32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

namespace {

// Lengths of the fixed-size commands (framing through '.').
constexpr size_t kShortCommand = 6;    // 'I' '.', 'Y' '.', 'F' '.'
constexpr size_t kMemCommand = 7;      // mem 'G' '.', mem 'F' '.', 0x90 'S' '.'
constexpr size_t kSystemImageCmd = 12; // 0x92 0x12 kind size(4) '.'
constexpr size_t kFirmwareCmd = 9;     // 'U' 'P' count(2) '.'
constexpr size_t kBlockCmd = 11;       // mem op address(4) '.'
constexpr size_t kSpareWriteCmd = 27;  // ... 16 spare bytes '.'
constexpr size_t kBlockWriteCmd = 75;  // ... 64 data bytes '.'
constexpr size_t kFramingBytes = 3;    // '#', 0x00, L precede the counted bytes

// Length of a memory command, or 0 when not known yet (more bytes needed) / SIZE_MAX malformed.
constexpr size_t kNeedMore = 0;
constexpr size_t kBad = SIZE_MAX;

size_t memCommandLength(std::span<const uint8_t> b) {
    const uint8_t op = b[5];
    const size_t lByte = b[2];
    switch (op) {
    case kMemTable:
    case kMemFormat:
        return kMemCommand;
    case kMemDelete:
    case kMemUpload: // mem op name '.': L = n + 4
        return lByte >= 5 ? kFramingBytes + lByte : kBad;
    case kMemPosition: // mem 'P' name pos '.': L = n + 5
        return lByte >= 6 ? kFramingBytes + lByte : kBad;
    case kMemRename: {
        if (b.size() < 8)
            return kNeedMore;
        const size_t o = be16(b, 6);
        if (b.size() < 10 + o)
            return o > kMaxCommand ? kBad : kNeedMore;
        const size_t s = be16(b, 8 + o);
        if (b.size() < 12 + o + s)
            return o + s > kMaxCommand ? kBad : kNeedMore;
        const size_t w = be16(b, 10 + o + s);
        return 13 + o + s + w;
    }
    case kMemDownload: {
        if (b.size() < 20)
            return kNeedMore;
        const size_t s = be16(b, 18);
        if (b.size() < 22 + s)
            return s > kMaxCommand ? kBad : kNeedMore;
        const size_t w = be16(b, 20 + s);
        return 23 + s + w;
    }
    case kBlockRead:
    case kSpareRead:
        return kBlockCmd;
    case kSpareWrite:
        return kSpareWriteCmd;
    case kBlockWrite:
        return kBlockWriteCmd;
    default:
        return kBad;
    }
}

} // namespace

Measure measureCommand(std::span<const uint8_t> b, size_t &length) {
    if (b.size() < 6)
        return b.empty() || b[0] == kStart ? Measure::Incomplete : Measure::Malformed;
    if (b[0] != kStart || b[1] != 0 || b[3] != kColon)
        return Measure::Malformed;
    size_t need = kBad;
    switch (b[4]) {
    case kCmdStatusFlags:
    case kCmdVersion:
    case kCmdResult:
        need = kShortCommand;
        break;
    case kCmdLongStatus:
        need = b[5] == 'S' ? kMemCommand : kBad;
        break;
    case kCmdSystemImage:
        need = b[5] == 0x12 ? kSystemImageCmd : kBad;
        break;
    case kCmdFirmware:
        need = b[5] == 'P' ? kFirmwareCmd : kBad;
        break;
    case kMemFlash:
    case kMemCard:
        need = memCommandLength(b);
        break;
    default:
        break;
    }
    if (need == kNeedMore)
        return Measure::Incomplete;
    if (need == kBad || need > kMaxCommand)
        return Measure::Malformed;
    if (b.size() < need)
        return Measure::Incomplete;
    if (b[need - 1] != kEnd)
        return Measure::Malformed;
    length = need;
    return Measure::Complete;
}

Reply::Reply(size_t bytes) : m_bytes(roundUpToBlock(bytes < kBlock ? kBlock : bytes), 0) {
    m_bytes[0] = kStart;
    m_bytes[1] = 0;
    m_bytes[3] = kColon;
}

void Reply::close(size_t endOffset) {
    m_bytes.at(endOffset) = kEnd;
    // L is one byte; a reply longer than 255 counted bytes (the 192-byte status is the longest
    // framed one) keeps the low byte, the host ignores L of replies anyway.
    m_bytes[2] = static_cast<uint8_t>(endOffset - 2);
}

} // namespace vplayer::packet
