#include "fit.h"

namespace tunara::sync {

namespace {

struct Need {
    std::uint64_t bytes = 0;
    unsigned records = 0;
};

Need needOf(const PlanAlbum &album) {
    Need need;
    for (const PlanTrack &t : album.tracks)
        if (!t.present) {
            need.bytes += t.bytes;
            need.records += t.records;
        }
    return need;
}

} // namespace

FitResult fitAlbums(const std::vector<PlanAlbum> &albums, const Room &room, FitMode mode,
                    std::uint64_t keepFreeBytes) {
    FitResult result;
    result.recordsBefore = room.usedRecords;
    Room left = room;
    left.freeBytes = room.freeBytes > keepFreeBytes ? room.freeBytes - keepFreeBytes : 0;
    Room whole = left;
    if (room.capacityBytes > 0) {
        whole.freeBytes =
            room.capacityBytes > keepFreeBytes ? room.capacityBytes - keepFreeBytes : 0;
        whole.usedRecords = 0;
    }
    bool stopped = false;
    result.verdicts.reserve(albums.size());
    for (const PlanAlbum &album : albums) {
        std::vector<Verdict> &marks = result.verdicts.emplace_back();
        marks.reserve(album.tracks.size());
        const Need need = needOf(album);
        const auto take = [&](const PlanTrack &t) {
            left.take(t.bytes, t.records);
            result.bytes += t.bytes;
            ++result.files;
        };
        if (!stopped && left.holds(need.bytes, need.records)) {
            for (const PlanTrack &t : album.tracks) {
                marks.push_back(t.present ? Verdict::Present : Verdict::Fits);
                if (!t.present)
                    take(t);
            }
            continue;
        }
        // An album no memory of this room could hold whole: as many of its tracks as fit.
        const bool tooLarge = !whole.holds(need.bytes, need.records);
        bool trackByTrack = !stopped && tooLarge && mode == FitMode::StopAtFirst;
        for (const PlanTrack &t : album.tracks) {
            if (t.present) {
                marks.push_back(Verdict::Present);
            } else if (trackByTrack && left.holds(t.bytes, t.records)) {
                marks.push_back(Verdict::Fits);
                take(t);
            } else {
                trackByTrack = false;
                marks.push_back(Verdict::DidNotFit);
                ++result.didNotFit;
            }
        }
        if (mode == FitMode::StopAtFirst)
            stopped = true;
    }
    result.recordsAfter = left.usedRecords;
    result.roomAfter = left;
    result.roomAfter.freeBytes = room.freeBytes - result.bytes;
    return result;
}

} // namespace tunara::sync
