#include "fat_table.h"

#include <algorithm>
#include <limits>

namespace vplayer {
namespace {
constexpr uint32_t kFat12End = 0xFFF;
constexpr uint32_t kFat16End = 0xFFFF;
constexpr uint32_t kFat12EndMin = 0xFF8; // 0xFF8-0xFFF end a FAT12 chain; 0xFF7 marks bad
constexpr uint32_t kFat16EndMin = 0xFFF8;
} // namespace

FatTable::FatTable(FatType type, uint32_t maxCluster, std::vector<uint8_t> bytes)
    : m_type(type), m_max(maxCluster), m_bytes(std::move(bytes)),
      m_dirtyBegin(std::numeric_limits<size_t>::max()) {}

uint32_t FatTable::get(uint32_t cluster) const {
    if (m_type == FatType::Fat16) {
        const size_t at = size_t{cluster} * 2;
        if (at + 1 >= m_bytes.size())
            return 0;
        return uint32_t{m_bytes[at]} | (uint32_t{m_bytes[at + 1]} << 8);
    }
    // FAT12: two entries share three bytes; an even entry takes the low 12 bits of the pair.
    const size_t at = size_t{cluster} + cluster / 2;
    if (at + 1 >= m_bytes.size())
        return 0;
    const uint32_t pair = uint32_t{m_bytes[at]} | (uint32_t{m_bytes[at + 1]} << 8);
    return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
}

void FatTable::set(uint32_t cluster, uint32_t value) {
    if (m_type == FatType::Fat16) {
        const size_t at = size_t{cluster} * 2;
        if (at + 1 >= m_bytes.size())
            return;
        m_bytes[at] = static_cast<uint8_t>(value);
        m_bytes[at + 1] = static_cast<uint8_t>(value >> 8);
        markDirty(at, at + 2);
        return;
    }
    const size_t at = size_t{cluster} + cluster / 2;
    if (at + 1 >= m_bytes.size())
        return;
    value &= 0xFFF;
    if (cluster & 1) {
        m_bytes[at] = static_cast<uint8_t>((m_bytes[at] & 0x0F) | ((value << 4) & 0xF0));
        m_bytes[at + 1] = static_cast<uint8_t>(value >> 4);
    } else {
        m_bytes[at] = static_cast<uint8_t>(value);
        m_bytes[at + 1] = static_cast<uint8_t>((m_bytes[at + 1] & 0xF0) | (value >> 8));
    }
    markDirty(at, at + 2);
}

uint32_t FatTable::endOfChain() const {
    return m_type == FatType::Fat12 ? kFat12End : kFat16End;
}

bool FatTable::isEnd(uint32_t value) const {
    return value >= (m_type == FatType::Fat12 ? kFat12EndMin : kFat16EndMin);
}

std::optional<std::vector<uint32_t>> FatTable::chain(uint32_t first) const {
    std::vector<uint32_t> out;
    uint32_t c = first;
    // A sound chain visits each cluster once, so it cannot be longer than the data area.
    const size_t limit = m_max - kFirstDataCluster + 1;
    while (isData(c)) {
        if (out.size() >= limit)
            return std::nullopt;
        out.push_back(c);
        const uint32_t next = get(c);
        if (isEnd(next))
            return out;
        c = next;
    }
    return std::nullopt;
}

void FatTable::freeChain(uint32_t first) {
    std::vector<bool> seen(size_t{m_max} + 1, false);
    uint32_t c = first;
    while (isData(c) && !seen[c]) {
        seen[c] = true;
        const uint32_t next = get(c);
        if (next == 0)
            break; // already free: the chain was broken here
        set(c, 0);
        if (isEnd(next))
            break;
        c = next;
    }
}

uint32_t FatTable::freeCount() const {
    uint32_t n = 0;
    for (uint32_t c = kFirstDataCluster; c <= m_max; ++c)
        if (get(c) == 0)
            ++n;
    return n;
}

void FatTable::clearDirty() {
    m_dirtyBegin = std::numeric_limits<size_t>::max();
    m_dirtyEnd = 0;
}

void FatTable::markDirty(size_t begin, size_t end) {
    m_dirtyBegin = std::min(m_dirtyBegin, begin);
    m_dirtyEnd = std::max(m_dirtyEnd, end);
}

} // namespace vplayer
