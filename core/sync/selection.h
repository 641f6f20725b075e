// What the user chose to put on the player, as albums in play order: folders walked by the
// folder scan, playlists (.m3u, .m3u8) read entry by entry.
#pragma once

#include "folderscan.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tunara::sync {

struct SourceFile {
    std::string path;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0; // modification time, nanoseconds since the epoch
};

// The files of one folder in scan order, or a playlist's run of consecutive entries from one
// folder. `key` is that folder's path: what the fill's history remembers.
struct Album {
    std::string key;
    std::vector<SourceFile> files;
};

struct SkippedEntry {
    std::string path; // as the playlist or the scan named it
    std::string reason;
};

struct Selection {
    std::vector<Album> albums;
    std::vector<SkippedEntry> skipped; // left out, each with why
    std::size_t hidden = 0;            // hidden files and folders the scans left out
    std::size_t notAudio = 0;          // files that are not audio the scans left out
};

// Playlists nested deeper than this are not followed (a chain of playlists ends).
inline constexpr int kMostPlaylistDepth = 8;

// Adds the albums of `input` to `selection`: a playlist (.m3u or .m3u8, case ignored) read in
// its order, else a folder walked in album order. Reads the file system; blocks; any thread.
// `known` tells track numbers without opening the files (the metadata cache).
void addToSelection(Selection &selection, const std::string &input,
                    const media::TrackNumberLookup &known = {});

// The selection of several inputs, in their order.
Selection selectionOf(const std::vector<std::string> &inputs,
                      const media::TrackNumberLookup &known = {});

// Whether `path` names a playlist by its extension.
bool isPlaylistPath(const std::string &path);

} // namespace tunara::sync
