// The file allocation table of a FAT12/FAT16 volume, held in memory. Entries are packed as
// 12 or 16 bits; the table remembers which bytes changed so that only those are written back.
#pragma once

#include "fat_layout.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vplayer {

class FatTable {
public:
    FatTable(FatType type, uint32_t maxCluster, std::vector<uint8_t> bytes);

    // The entry of `cluster`; 0 for a cluster outside the table.
    uint32_t get(uint32_t cluster) const;
    // Sets the entry of `cluster` (2..maxCluster, or the two reserved entries 0 and 1).
    void set(uint32_t cluster, uint32_t value);

    uint32_t endOfChain() const; // the value that ends a chain
    bool isEnd(uint32_t value) const;
    bool isData(uint32_t value) const { return value >= kFirstDataCluster && value <= m_max; }
    uint32_t maxCluster() const { return m_max; }

    // The clusters of the chain starting at `first`, in order. nullopt when the chain is
    // damaged: it leaves the data area, meets a free or bad cluster, or runs in a circle.
    std::optional<std::vector<uint32_t>> chain(uint32_t first) const;

    // Frees the chain starting at `first` as far as it is sound; a damaged tail stays as it is,
    // so a cluster of another file is never freed by following a broken link.
    void freeChain(uint32_t first);

    uint32_t freeCount() const;

    const std::vector<uint8_t> &bytes() const { return m_bytes; }
    // The changed byte range since the last clearDirty(); nothing changed when begin >= end.
    size_t dirtyBegin() const { return m_dirtyBegin; }
    size_t dirtyEnd() const { return m_dirtyEnd; }
    void clearDirty();

private:
    FatType m_type;
    uint32_t m_max;
    std::vector<uint8_t> m_bytes;
    size_t m_dirtyBegin;
    size_t m_dirtyEnd = 0;

    void markDirty(size_t begin, size_t end);
};

} // namespace vplayer
