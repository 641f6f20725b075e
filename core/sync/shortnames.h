// Names that take at most two directory records (13 UTF-16 units with the extension), so that
// more files fit the player's directory: "07 Blue H.mp3", the track number, the title's start
// and the extension.
#pragma once

#include "fit.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tunara::sync {

inline constexpr std::size_t kShortNameUnits = 13;

// The short name for track `track` (0: none) titled `title` (empty: "Track") with `extension`
// ("mp3"), made legal for the player, not in `taken` (names folded as the player compares
// them; the result is added): a taken name gets "~2", "~3"... at the end of its title.
// `nextNumber`, when given, remembers per name the number to try next, so that a thousand
// tracks of one name cost no more than a thousand tries.
std::string shortPlayerName(int track, std::string_view title, std::string_view extension,
                            std::set<std::string> &taken,
                            std::map<std::string, unsigned> *nextNumber = nullptr);

// Gives every track of `albums` that is not present a short name (its `title` and
// `trackNumber`, the extension of its player name), with its record cost. `taken` holds the
// folded names on the player.
void useShortNames(std::vector<PlanAlbum> &albums, std::set<std::string> taken);

struct NameCounts {
    std::size_t withNames = 0;      // files that fit with the names as planned
    std::size_t withShortNames = 0; // files that fit with short names
};

// How many files of `albums` (whole albums in order, as fitAlbums) the memory takes with their
// names and with short names.
NameCounts filesThatFit(const std::vector<PlanAlbum> &albums, const Room &room,
                        const std::set<std::string> &taken, std::uint64_t keepFreeBytes = 0);

} // namespace tunara::sync
