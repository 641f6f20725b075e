#include "fat_layout.h"

#include <algorithm>
#include <cstring>

namespace vplayer {
namespace {

// Boot sector field offsets (the BIOS parameter block and the extended boot record of FAT12/16).
constexpr size_t kOemName = 3;
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kFatCount = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kMedia = 21;
constexpr size_t kFatSectors16 = 22;
constexpr size_t kSectorsPerTrack = 24;
constexpr size_t kHeads = 26;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kDriveNumber = 36;
constexpr size_t kBootSignature = 38;
constexpr size_t kSerial = 39;
constexpr size_t kLabel = 43;
constexpr size_t kFsType = 54;
constexpr size_t kBootCode = 62;
constexpr size_t kSignature = 510;

constexpr uint8_t kExtendedBootSignature = 0x29;
constexpr uint8_t kFixedDisk = 0x80;
constexpr uint8_t kMediaFixed = 0xF8;
constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kMaxSectorsPerCluster = 64;
constexpr uint64_t kMaxMemoryBytes = 0xFFFFFFFF;
constexpr uint32_t kMinSectors = 64; // 32 KiB: smaller memories are not worth a file system
constexpr uint32_t kSmallVolumeSectors = 2048;
constexpr uint32_t kSmallRootEntries = 224;
constexpr uint32_t kRootEntriesDefault = 512;
constexpr uint32_t kFat12OnlySectors = 8400; // up to ~4 MiB a volume is always FAT12
constexpr uint16_t kGeometrySectors = 32;
constexpr uint16_t kGeometryHeads = 64;

uint16_t get16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t get32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{get16(b, at)} | (uint32_t{get16(b, at + 2)} << 16);
}
void put16(std::span<uint8_t> b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::span<uint8_t> b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

bool powerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

uint32_t fatBits(FatType type) {
    return type == FatType::Fat12 ? 12 : 16;
}

// Bytes of FAT needed for `entries` entries.
uint64_t fatBytesFor(uint64_t entries, FatType type) {
    return (entries * fatBits(type) + 7) / 8;
}

// Fills in fatSectors and clusterCount for the other fields of `l`, growing the FAT until it
// covers every cluster of the data area that remains.
bool fitFat(FatLayout &l) {
    const uint64_t fixed = uint64_t{l.reservedSectors} + l.rootSectors();
    uint32_t fatSectors = 1;
    for (;;) {
        const uint64_t used = fixed + uint64_t{l.fatCount} * fatSectors;
        if (used >= l.totalSectors)
            return false;
        const uint64_t clusters = (l.totalSectors - used) / l.sectorsPerCluster;
        const uint64_t need =
            (fatBytesFor(clusters + kFirstDataCluster, l.type) + l.bytesPerSector - 1) /
            l.bytesPerSector;
        if (need <= fatSectors) {
            l.fatSectors = fatSectors;
            l.clusterCount = static_cast<uint32_t>(clusters);
            return clusters > 0;
        }
        fatSectors = static_cast<uint32_t>(need);
    }
}

// The cluster size a FAT16 volume of this many sectors gets.
uint32_t fat16SectorsPerCluster(uint64_t sectors) {
    struct Step {
        uint64_t upToSectors;
        uint32_t sectorsPerCluster;
    };
    static constexpr Step kSteps[] = {{32680, 2},    {262144, 4},   {524288, 8},
                                      {1048576, 16}, {2097152, 32}, {4194304, 64}};
    for (const Step &s : kSteps)
        if (sectors <= s.upToSectors)
            return s.sectorsPerCluster;
    return kMaxSectorsPerCluster;
}

} // namespace

std::optional<FatLayout> FatLayout::parse(std::span<const uint8_t, kBootSectorBytes> boot,
                                          uint64_t imageBytes, std::string &error) {
    if (boot[kSignature] != 0x55 || boot[kSignature + 1] != 0xAA) {
        error = "no boot sector signature (0x55 0xAA)";
        return std::nullopt;
    }
    FatLayout l;
    l.bytesPerSector = get16(boot, kBytesPerSector);
    l.sectorsPerCluster = boot[kSectorsPerCluster];
    l.reservedSectors = get16(boot, kReservedSectors);
    l.fatCount = boot[kFatCount];
    l.rootEntries = get16(boot, kRootEntries);
    l.totalSectors = get16(boot, kTotalSectors16);
    if (l.totalSectors == 0)
        l.totalSectors = get32(boot, kTotalSectors32);
    l.fatSectors = get16(boot, kFatSectors16);
    l.media = boot[kMedia];

    if (l.bytesPerSector < 512 || l.bytesPerSector > 4096 || !powerOfTwo(l.bytesPerSector)) {
        error = "bad sector size " + std::to_string(l.bytesPerSector);
        return std::nullopt;
    }
    if (!powerOfTwo(l.sectorsPerCluster) || l.clusterBytes() > 65536) {
        error = "bad cluster size " + std::to_string(l.sectorsPerCluster) + " sectors";
        return std::nullopt;
    }
    if (l.reservedSectors == 0 || l.fatCount == 0 || l.fatCount > 4) {
        error = "bad reserved sector or FAT count";
        return std::nullopt;
    }
    if (l.fatSectors == 0) {
        error = "FAT32 or no FAT: this player reads FAT12 and FAT16 only";
        return std::nullopt;
    }
    if (l.rootEntries == 0) {
        error = "no root directory region";
        return std::nullopt;
    }
    const uint64_t meta =
        uint64_t{l.reservedSectors} + uint64_t{l.fatCount} * l.fatSectors + l.rootSectors();
    if (l.totalSectors <= meta) {
        error = "volume has no data area";
        return std::nullopt;
    }
    const uint64_t clusters = (l.totalSectors - meta) / l.sectorsPerCluster;
    if (clusters == 0) {
        error = "volume has no data area";
        return std::nullopt;
    }
    if (clusters > kFat16MaxClusters) {
        error = "too many clusters for FAT16 (" + std::to_string(clusters) + ")";
        return std::nullopt;
    }
    l.clusterCount = static_cast<uint32_t>(clusters);
    l.type = clusters <= kFat12MaxClusters ? FatType::Fat12 : FatType::Fat16;
    if (fatBytesFor(clusters + kFirstDataCluster, l.type) > l.fatBytes()) {
        error = "FAT too small for the data area";
        return std::nullopt;
    }
    if (l.volumeBytes() > imageBytes) {
        error = "image holds " + std::to_string(imageBytes) + " bytes, volume claims " +
                std::to_string(l.volumeBytes());
        return std::nullopt;
    }
    return l;
}

std::optional<FatLayout> FatLayout::plan(uint64_t bytes, std::string &error) {
    const uint64_t sectors = bytes / kSectorBytes;
    if (sectors < kMinSectors) {
        error = "a memory needs at least " + std::to_string(kMinSectors * kSectorBytes) + " bytes";
        return std::nullopt;
    }
    if (bytes > kMaxMemoryBytes) {
        error = "a memory holds at most 4 GiB (its sizes are 32-bit byte counts)";
        return std::nullopt;
    }
    FatLayout l;
    l.bytesPerSector = kSectorBytes;
    l.totalSectors = static_cast<uint32_t>(sectors);
    l.media = kMediaFixed;
    l.rootEntries = sectors < kSmallVolumeSectors ? kSmallRootEntries : kRootEntriesDefault;

    if (sectors > kFat12OnlySectors) {
        l.type = FatType::Fat16;
        for (l.sectorsPerCluster = fat16SectorsPerCluster(sectors);
             l.sectorsPerCluster <= kMaxSectorsPerCluster; l.sectorsPerCluster *= 2) {
            if (fitFat(l) && l.clusterCount <= kFat16MaxClusters)
                break;
        }
        if (l.sectorsPerCluster > kMaxSectorsPerCluster) {
            // More than FAT16 addresses with 32 KiB clusters: the volume takes the largest
            // FAT16 size and the rest of the memory stays unused.
            l.sectorsPerCluster = kMaxSectorsPerCluster;
            const uint64_t fatSectors =
                (fatBytesFor(uint64_t{kFat16MaxClusters} + kFirstDataCluster, FatType::Fat16) +
                 kSectorBytes - 1) /
                kSectorBytes;
            l.totalSectors = static_cast<uint32_t>(
                l.reservedSectors + l.rootSectors() + l.fatCount * fatSectors +
                uint64_t{kFat16MaxClusters} * kMaxSectorsPerCluster);
            if (!fitFat(l) || l.clusterCount > kFat16MaxClusters)
                l.sectorsPerCluster = kMaxSectorsPerCluster * 2; // no plan: fall through
        }
        if (l.sectorsPerCluster <= kMaxSectorsPerCluster && l.clusterCount > kFat12MaxClusters)
            return l;
    }
    // Small volumes, and a FAT16 plan that came out with too few clusters, use FAT12 with the
    // smallest cluster that keeps the count in FAT12's range.
    l.type = FatType::Fat12;
    for (l.sectorsPerCluster = 1; l.sectorsPerCluster <= kMaxSectorsPerCluster;
         l.sectorsPerCluster *= 2) {
        if (fitFat(l) && l.clusterCount <= kFat12MaxClusters)
            return l;
    }
    error = "no FAT12/FAT16 geometry fits " + std::to_string(bytes) + " bytes";
    return std::nullopt;
}

std::array<uint8_t, kBootSectorBytes> FatLayout::bootSector(uint32_t serial) const {
    std::array<uint8_t, kBootSectorBytes> b{};
    b[0] = 0xEB; // jmp short over the parameter block, nop
    b[1] = static_cast<uint8_t>(kBootCode - 2);
    b[2] = 0x90;
    std::memcpy(&b[kOemName], "TUNARA  ", 8);
    put16(b, kBytesPerSector, bytesPerSector);
    b[kSectorsPerCluster] = static_cast<uint8_t>(sectorsPerCluster);
    put16(b, kReservedSectors, reservedSectors);
    b[kFatCount] = static_cast<uint8_t>(fatCount);
    put16(b, kRootEntries, rootEntries);
    if (totalSectors <= 0xFFFF)
        put16(b, kTotalSectors16, totalSectors);
    else
        put32(b, kTotalSectors32, totalSectors);
    b[kMedia] = media;
    put16(b, kFatSectors16, fatSectors);
    put16(b, kSectorsPerTrack, kGeometrySectors);
    put16(b, kHeads, kGeometryHeads);
    b[kDriveNumber] = kFixedDisk;
    b[kBootSignature] = kExtendedBootSignature;
    put32(b, kSerial, serial);
    std::memcpy(&b[kLabel], "NO NAME    ", 11);
    std::memcpy(&b[kFsType], type == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8);
    // Not bootable: int 0x18 hands control back to the BIOS, then halt in a loop.
    static constexpr uint8_t kCode[] = {0xCD, 0x18, 0xEB, 0xFE};
    std::copy(std::begin(kCode), std::end(kCode), b.begin() + kBootCode);
    b[kSignature] = 0x55;
    b[kSignature + 1] = 0xAA;
    return b;
}

} // namespace vplayer
