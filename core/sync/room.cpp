#include "room.h"

#include <algorithm>

namespace tunara::sync {

Room Room::of(std::uint64_t freeBytes, const std::vector<std::string> &presentNames,
              std::optional<unsigned> layoutRecords) {
    Room room;
    room.freeBytes = freeBytes;
    for (const std::string &name : presentNames)
        room.usedRecords += recordCost(name);
    if (layoutRecords) {
        room.totalRecords = *layoutRecords;
        room.source = RoomSource::Layout;
    }
    return room;
}

void Room::learnFromRefusal(unsigned usedAtRefusal) {
    if (usedAtRefusal < totalRecords) {
        totalRecords = usedAtRefusal;
        source = RoomSource::Learned;
    }
    // Whatever the count said, the player had no records for the name.
    usedRecords = std::max(usedRecords, totalRecords);
}

void Room::take(std::uint64_t bytes, unsigned records) {
    freeBytes -= std::min(freeBytes, bytes);
    usedRecords += records;
}

} // namespace tunara::sync
