// Where the parts of a FAT12/FAT16 volume lie: the boot sector's parameters, checked against the
// image they came from, and the geometry the player chooses when it formats a memory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vplayer {

enum class FatType { Fat12, Fat16 };

constexpr size_t kBootSectorBytes = 512;
constexpr size_t kDirRecordBytes = 32;
constexpr uint32_t kFirstDataCluster = 2;
// The cluster counts that decide the FAT type: below 4085 clusters a volume is FAT12, below
// 65525 FAT16, above that FAT32 (which the player does not use).
constexpr uint32_t kFat12MaxClusters = 4084;
constexpr uint32_t kFat16MaxClusters = 65524;

struct FatLayout {
    uint32_t bytesPerSector = 512;
    uint32_t sectorsPerCluster = 1;
    uint32_t reservedSectors = 1;
    uint32_t fatCount = 2;
    uint32_t rootEntries = 512;
    uint32_t totalSectors = 0;
    uint32_t fatSectors = 0;
    uint8_t media = 0xF8;
    uint32_t clusterCount = 0;
    FatType type = FatType::Fat12;

    uint32_t clusterBytes() const { return bytesPerSector * sectorsPerCluster; }
    uint32_t rootSectors() const {
        return (rootEntries * static_cast<uint32_t>(kDirRecordBytes) + bytesPerSector - 1) /
               bytesPerSector;
    }
    uint64_t fatOffset(uint32_t copy) const {
        return uint64_t{bytesPerSector} * (reservedSectors + uint64_t{copy} * fatSectors);
    }
    uint64_t fatBytes() const { return uint64_t{bytesPerSector} * fatSectors; }
    uint64_t rootOffset() const { return fatOffset(fatCount); }
    uint64_t rootBytes() const { return uint64_t{rootEntries} * kDirRecordBytes; }
    uint64_t dataOffset() const { return rootOffset() + uint64_t{rootSectors()} * bytesPerSector; }
    uint64_t volumeBytes() const { return uint64_t{totalSectors} * bytesPerSector; }
    // Highest valid cluster number.
    uint32_t maxCluster() const { return clusterCount + kFirstDataCluster - 1; }
    uint64_t clusterOffset(uint32_t cluster) const {
        return dataOffset() + uint64_t{cluster - kFirstDataCluster} * clusterBytes();
    }

    // Reads and checks a boot sector. `imageBytes` is the size of the image file: a volume that
    // claims more sectors than the file holds is refused, so nothing is ever read past its end.
    static std::optional<FatLayout> parse(std::span<const uint8_t, kBootSectorBytes> boot,
                                          uint64_t imageBytes, std::string &error);

    // The geometry for a fresh volume of `bytes` bytes (rounded down to whole sectors). A memory
    // larger than the largest FAT16 volume (about 2 GiB) gets that volume at its start.
    static std::optional<FatLayout> plan(uint64_t bytes, std::string &error);

    // A boot sector for this geometry with the given volume serial number.
    std::array<uint8_t, kBootSectorBytes> bootSector(uint32_t serial) const;
};

} // namespace vplayer
