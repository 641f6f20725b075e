// The root directory of a volume as the player keeps it: the volume label and, in play order,
// one group per file (its long-name records and its short-name record). Records that do not
// belong to a live file (deleted ones, long-name records whose order or checksum is wrong, the
// free records after the end marker) are not kept; writing the directory back packs the groups
// one after the other from the start of the region.
#pragma once

#include "fat_layout.h"
#include "fat_volume.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vplayer {

struct FileGroup {
    std::vector<DirRecord> longName; // in directory order
    DirRecord entry{};

    ShortName name() const;
    uint8_t attr() const;
    bool isFile() const; // neither a directory nor a label
    uint32_t firstCluster() const;
    uint32_t size() const;
    size_t recordCount() const { return longName.size() + 1; }
};

class RootDirectory {
public:
    // Reads the records of a root region (any number of 32-byte records; a partial tail is
    // ignored).
    static RootDirectory parse(std::span<const uint8_t> region);

    // The region packed: label first, then the groups, the rest zero (0x00 ends the directory).
    // False (and the region untouched) if the records do not fit.
    bool serialize(std::span<uint8_t> region) const;

    // Records in use when packed.
    size_t recordCount() const;

    // Index of the group whose short name is these 11 bytes exactly. The host names files by
    // the bytes it read from the table, and its own check for a free short name compares bytes,
    // so a name that differs only in letter case is another name here too (fsck.fat and mtools
    // accept both side by side); matching it loosely could delete the wrong file when the
    // host's table is stale.
    std::optional<size_t> find(const ShortName &name, bool filesOnly) const;

    std::optional<DirRecord> label;
    std::vector<FileGroup> groups;
};

} // namespace vplayer
