// Volume levelling in a sync run, for kesto sync and the window's Sync dialog alike: which files
// go through the converter, the albums whose tracks are measured together, and the records of
// the files the player holds levelled.
#pragma once

#include "converter.h"
#include "levelling.h"
#include "loudnesscache.h"
#include "syncplan.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tunara::sync {

// Whether `item` goes through the converter: a file converted anyway, or, with levelling, an
// MP3 the player plays, sent as a levelled copy.
bool throughConverter(const SyncItem &item, media::LevelMode level);

// The settings `item` is converted (or levelled as it is) with: `base` at the item's rate.
media::ConvertSettings itemSettings(const SyncItem &item, const media::ConvertSettings &base);

// In album mode, the album of a file sent levelled: measured over every file of it that the
// player holds after the run (those sent and those kept), and the file's place in it.
struct ItemAlbum {
    std::shared_ptr<media::AlbumLevels> levels; // null: the file is measured alone, if at all
    std::size_t index = 0;
};
// One per item of `plan`; every levels null unless `settings` level by album. The albums are
// measured with `cache` (none: measured every time).
std::vector<ItemAlbum> itemAlbums(const SyncPlan &plan, const media::ConvertSettings &settings,
                                  std::shared_ptr<const media::LoudnessCache> cache = nullptr);

// A memory's records after a run: each name the player holds now (`namesNow`, in any letter
// case) keeps the mode this run sent it with (`sentWith`), else its earlier record; a file sent
// unlevelled and a file gone have none.
std::map<std::string, media::LevelMode>
recordsAfterRun(const std::map<std::string, media::LevelMode> &before,
                const std::vector<std::string> &namesNow,
                const std::map<std::string, media::LevelMode> &sentWith);

} // namespace tunara::sync
