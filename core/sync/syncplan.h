// What a sync does to a memory of the player, worked out before anything is converted or sent:
// for every file of the selection its player name and action, the player files it deletes, the
// albums that fit (bytes and name records both), and the play order to set. One plan for
// `kesto sync` and the window's Sync dialog.
#pragma once

#include "fillhistory.h"
#include "levelmode.h"
#include "metadatacache.h"
#include "planalbums.h"
#include "room.h"
#include "selection.h"
#include "shortnames.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tunara::sync {

// A file of the memory as its table lists it.
struct PlayerFile {
    std::string name; // long name
    std::uint64_t size = 0;
    std::uint16_t date = 0, time = 0; // DOS form
};

// What the player told of the memory: its files in play order, capacity and free bytes.
struct PlayerState {
    std::vector<PlayerFile> files;
    std::uint64_t totalBytes = 0; // 0 when not known
    std::uint64_t freeBytes = 0;
    // The directory's records as an earlier refusal for want of name records taught them.
    std::optional<unsigned> learnedRecords;
    // The volume levelling each file was sent with, by player name, as earlier syncs recorded
    // it; a file without a record was sent unlevelled.
    std::map<std::string, media::LevelMode> levels;
};

enum class SyncMode {
    Mirror, // the selection's albums in order, as many whole albums as fit
    Fill,   // whole albums chosen at random until the memory is full
};

enum class Action {
    Send,      // not on the player: sent (converted first when `converted`)
    Replace,   // the player's copy differs: the new one takes its place
    Keep,      // on the player as it is
    Delete,    // a player file outside the selection (asked for)
    DidNotFit, // left out for want of room: neither converted nor sent
    Refuse,    // the player cannot take it, or it cannot be read
};

struct SyncItem {
    Action action = Action::Send;
    std::string source;      // the local file; empty for a Delete
    std::string playerName;  // the name it gets or has on the player; a Delete's player file
    std::string replaces;    // Replace: the player file it takes the place of
    std::uint64_t bytes = 0; // the file's bytes (predicted for a converted file; a Delete's size)
    unsigned records = 0;    // directory records its name takes
    bool converted = false;  // made into an MP3 on its way
    int sampleRate = 0;      // the rate a converted file is made at
    std::string reason;      // Replace: what differs; Refuse and DidNotFit: why
    std::size_t album = 0;   // index into SyncPlan::albumKeys (not for a Delete)
};

struct SyncSettings {
    PlanSettings plan; // model, memory, conversion, short names
    SyncMode mode = SyncMode::Mirror;
    bool deleteExtras = false; // Mirror: player files outside the selection; Fill: files not chosen
    std::uint64_t keepFreeBytes = 0;
    std::uint64_t seed = 0; // Fill
    FillHistory history;    // Fill: albums the last fills sent
    // The levelling files are sent with: a converted file or an MP3 on the player with another
    // is replaced.
    media::LevelMode level = media::LevelMode::Off;
};

// The levelling records of the syncs, in a small file beside the conversion cache: for each
// memory ('M', 'S') the files sent levelled and their mode.
struct LevelRecords {
    std::map<char, std::map<std::string, media::LevelMode>> memories;

    static std::string defaultPath(); // $XDG_CACHE_HOME/tunara/sync-levels
    // The records in `path` (none when it is missing or damaged). Blocks.
    static LevelRecords load(const std::string &path);
    // Writes the records whole or not at all; the error, or nullopt. Blocks.
    std::optional<std::string> save(const std::string &path) const;
};

// The memory's directory and allocation unit, as the player formats a memory of this capacity.
struct Geometry {
    unsigned rootRecords = kFat16RootRecords;
    std::uint32_t clusterBytes = 0;
};
Geometry formattedGeometry(std::uint64_t totalBytes);

// Bytes a file of `bytes` occupies on a memory of clusters of `clusterBytes` (0: not rounded).
std::uint64_t occupiedBytes(std::uint64_t bytes, std::uint32_t clusterBytes);

struct SyncCounts {
    std::size_t send = 0, convert = 0, replace = 0, keep = 0, remove = 0, didNotFit = 0, refuse = 0;
    std::uint64_t sendBytes = 0;   // bytes sent by Send and Replace items
    std::uint64_t removeBytes = 0; // bytes of the deleted files
};

struct SyncPlan {
    // Deletions first, then the selection's files in its order.
    std::vector<SyncItem> items;
    // The player names in the play order to set after the run: the selection's files first.
    std::vector<std::string> order;
    std::vector<std::string> albumKeys;    // the selection's albums (folders), in order
    std::vector<std::string> chosenAlbums; // a fill's choice, for its history
    std::vector<SkippedEntry> skipped;     // left out of the selection, each with why
    std::size_t hidden = 0, notAudio = 0;  // files the folder scans left out
    std::size_t kept = 0;                  // player files outside the selection, kept
    bool selectionHasAudio = false;
    Room before, after; // the memory's room before the run and as the plan leaves it
    std::uint64_t totalBytes = 0;
    Geometry geometry;
    NameCounts nameCounts; // files that fit with the names as planned and with short names
    std::size_t probed = 0;
    SyncCounts counts;
};

// The plan for `selection` against the memory in `state`. A selection file is the player file
// of its name, or of a numbered form of it ("name (2).mp3"; with short names "07 Blue~2.mp3"),
// whose time (and size, when sent as it is) match; files sent as they are claim their names
// before converted ones, so a converted file never takes the place of one sent as it is. A file
// not found so gets a free name; when that name is a player file, it is replaced. Blocks (reads
// sources through `cache`); any thread.
SyncPlan planSync(const Selection &selection, const PlayerState &state,
                  const SyncSettings &settings, MetadataCache &cache);

// The DOS date and time the player records for a PC file modified at `seconds` (UTC): the file
// system's time as it is, 2-second steps, times before 1980 as 1980-01-01 00:00.
std::pair<std::uint16_t, std::uint16_t> dosStamp(std::int64_t seconds);

// The play-order moves that put `wanted` (names present in `current`) first, in that order:
// (name, 1-based position) pairs, each as the player carries it out, moving the file to that
// position and shifting the ones in between. A name already in place is not moved.
std::vector<std::pair<std::string, unsigned>> orderMoves(std::vector<std::string> current,
                                                         const std::vector<std::string> &wanted);

// The name a new copy has while the old one is still there: none of `taken` in any case, with
// the extension `ext` (".mp3"; ".tmp" when empty or too long).
std::string stagingName(const std::vector<std::string> &taken, std::string ext);

} // namespace tunara::sync
