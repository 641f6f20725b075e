// What `kesto sync` does to make a memory of the player hold what a local folder holds: the
// steps worked out from the folder's files and the memory's table, before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kesto {

struct LocalFile {
    std::string name; // file name inside the folder
    uint64_t size = 0;
    int64_t modified = 0; // seconds since the epoch, UTC
    // A file converted on its way: the player holds the MP3 made from it under this name, with
    // the file's time but a size of its own, so only the name and the time compare.
    bool converted = false;
    std::string playerName; // the converted file's name ("song.mp3" for "song.flac")
};

struct PlayerFile {
    std::string name; // long name as the table holds it
    uint32_t size = 0;
    uint16_t date = 0, time = 0; // DOS form, as the table holds them
};

enum class StepKind {
    Send,    // the file is not on the player
    Replace, // the player's copy differs: send the new one, then let it take the old one's place
    Delete,  // on the player, not in the folder (only with --delete)
    Refuse,  // the player cannot take the file; reported, the rest goes on
};

struct SyncStep {
    StepKind kind{};
    std::string local;      // the folder's file name (Send, Replace, Refuse)
    std::string player;     // the name on the player: what Replace and Delete remove
    std::string target;     // the name a sent file gets on the player (fitted to 80 bytes)
    uint64_t size = 0;      // bytes to send
    std::string reason;     // why a file is replaced or refused
    bool converted = false; // sent as the MP3 made from it
};

struct SyncPlan {
    // Deletions first, so that their room is free for what is sent; then the folder's files in
    // their sorted order.
    std::vector<SyncStep> steps;
    // The player names of the folder's files in the folder's sorted order: the play order to
    // set. Refused files are not in it.
    std::vector<std::string> order;
    size_t upToDate = 0; // files the player holds as they are
    size_t kept = 0;     // player files the folder lacks, kept without --delete
};

// The DOS date and time the player records for a PC file modified at `seconds` (UTC): the file
// system's time as it is, 2-second steps, times before 1980 as 1980-01-01 00:00.
std::pair<uint16_t, uint16_t> dosStamp(int64_t seconds);

// The steps for `folder` (any order; planned sorted byte-wise by name) against the memory's
// `table` (in play order). A folder file matches the player file of the same name, or, when
// none has it exactly, the one file whose name differs only in letter case; exact names are
// matched over all files first. A refused file's player files (any case) are never deleted.
SyncPlan planSync(std::vector<LocalFile> folder, const std::vector<PlayerFile> &table,
                  bool deleteExtras);

// The play-order moves that put `wanted` (names present in `current`) first, in that order:
// (name, 1-based position) pairs, each as the player carries it out, moving the file to that
// position and shifting the ones in between. A name already in place is not moved.
std::vector<std::pair<std::string, unsigned>> orderMoves(std::vector<std::string> current,
                                                         const std::vector<std::string> &wanted);

} // namespace kesto
