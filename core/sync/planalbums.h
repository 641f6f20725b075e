// The selection made into the plan's albums: each file with the name it gets on the player, the
// bytes it will take there (predicted when it is converted) and its directory records.
#pragma once

#include "fit.h"
#include "metadatacache.h"
#include "selection.h"

#include "converter.h"

#include <string>
#include <vector>

namespace tunara::sync {

struct PlanSettings {
    int model = 0;                  // the player's model code (media::PlayerModel)
    unsigned char memory = 'M';     // 'M' or 'S'
    media::ConvertSettings convert; // its sampleRate is chosen per file (outputSampleRate)
    bool shortNames = false;        // names of at most 13 UTF-16 units
    bool asIs = false;              // every file sent as it is, none converted
};

struct PlannedAlbums {
    std::vector<PlanAlbum> albums;     // the selection's albums in order (empty ones left out)
    std::vector<SkippedEntry> skipped; // files that cannot be read as audio, with why
    std::size_t probed = 0;            // sources opened to read their information
};

// The plan's albums for `selection` against a memory holding `presentNames`: a file whose
// player name the memory holds already is present (kept, not sent again); names the plan gives
// do not meet each other or a present name ("name (2).mp3"). Converted sources are read through
// `cache`. Blocks; any thread.
PlannedAlbums planAlbums(const Selection &selection, const std::vector<std::string> &presentNames,
                         const PlanSettings &settings, MetadataCache &cache);

// Reads what a plan needs of `file` into `track`: whether it is converted, the name it asks
// for on the player, its bytes there (predicted for a converted file), its title and number (of
// a file sent as it is only when `readTags`). "" or why it cannot be read. `probed` tells
// whether the source was opened. Blocks.
std::string describeTrack(const SourceFile &file, const PlanSettings &settings,
                          MetadataCache &cache, bool readTags, PlanTrack &track, bool &probed);

// The conversion settings of a planned track (its sample rate): what the runner converts with,
// so that the conversion cache finds what the plan's size was predicted for.
media::ConvertSettings convertSettingsOf(const PlanTrack &track, const PlanSettings &settings);

} // namespace tunara::sync
