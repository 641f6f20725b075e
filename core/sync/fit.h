// Which of the chosen albums a memory takes: whole albums, bytes and name records both counted,
// worked out before anything is converted or sent.
#pragma once

#include "room.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tunara::sync {

struct PlanTrack {
    std::string source;      // the local file
    std::string playerName;  // the name it gets (or has) on the player
    std::uint64_t bytes = 0; // what it takes on the player (predicted for a converted file)
    unsigned records = 0;    // recordCost(playerName)
    bool present = false;    // on the player already and kept: takes no more room
    bool converted = false;  // made into an MP3 on its way
    int sampleRate = 0;      // the rate it is converted at (converted tracks)
    int trackNumber = 0;     // from its tag, 0 without one (for short names)
    std::string title;       // from its tag, else the file's name without extension
};

struct PlanAlbum {
    std::string key; // the album's folder
    std::vector<PlanTrack> tracks;
};

enum class Verdict {
    Fits,      // to be converted if need be and sent
    Present,   // on the player already
    DidNotFit, // left out: neither converted nor sent
};

enum class FitMode {
    // Whole albums in order until the next does not fit; an album larger than the whole room
    // goes track by track. What follows the first album that does not fit is left out.
    StopAtFirst,
    // Each album that fits whole is taken, one that does not is passed over (a fill).
    SkipWhatDoesNotFit,
};

struct FitResult {
    std::vector<std::vector<Verdict>> verdicts; // per album, per track
    std::uint64_t bytes = 0;                    // bytes of what fits
    std::size_t files = 0;                      // files that fit (present ones not counted)
    std::size_t didNotFit = 0;
    unsigned recordsBefore = 0; // records in use before and after the plan
    unsigned recordsAfter = 0;
    Room roomAfter;
};

// Marks what of `albums` (in their order) the memory of `room` takes, keeping `keepFreeBytes`
// free. Present tracks cost nothing (the room counts them already).
FitResult fitAlbums(const std::vector<PlanAlbum> &albums, const Room &room, FitMode mode,
                    std::uint64_t keepFreeBytes = 0);

} // namespace tunara::sync
