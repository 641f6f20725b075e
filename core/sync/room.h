// The room a memory of the player has for more files: bytes, and records of its flat directory
// for their names.
#pragma once

#include "recordcost.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tunara::sync {

// Where the directory's size came from.
enum class RoomSource {
    Default512, // not known: a FAT16 root's 512 records assumed
    Layout,     // read from the memory's boot sector (the virtual player's layout)
    Learned,    // lowered by a refusal for want of name records
};

struct Room {
    std::uint64_t freeBytes = 0;
    unsigned totalRecords = kFat16RootRecords;
    // Records the present files' names take. Deleted records are not in the player's table:
    // what they hold back is learned only from a refusal.
    unsigned usedRecords = 0;
    RoomSource source = RoomSource::Default512;
    // Bytes of the memory when empty, 0 when not known: an album larger than that goes track by
    // track, one that only does not fit now waits.
    std::uint64_t capacityBytes = 0;

    unsigned freeRecords() const {
        return usedRecords >= totalRecords ? 0 : totalRecords - usedRecords;
    }

    // The room of a memory with `freeBytes` free holding files of `presentNames`; the directory
    // has `layoutRecords` records when the memory's layout is known, else 512.
    static Room of(std::uint64_t freeBytes, const std::vector<std::string> &presentNames,
                   std::optional<unsigned> layoutRecords = std::nullopt);

    // The player refused a file with -34 while the present names took `usedAtRefusal` records:
    // the directory holds no more than that many, so none is free now. Never raises the total.
    void learnFromRefusal(unsigned usedAtRefusal);

    // Takes a file of `bytes` and `records` (both must fit).
    void take(std::uint64_t bytes, unsigned records);
    bool holds(std::uint64_t bytes, unsigned records) const {
        return bytes <= freeBytes && records <= freeRecords();
    }
};

} // namespace tunara::sync
