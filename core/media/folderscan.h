// The music a folder holds, in album order: every audio file below it (hidden files and folders
// and files that are not audio left out and counted), by folder, then by the track number of
// its tag, then by name.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tunara::media {

struct FolderScan {
    std::vector<std::string> files;  // paths, the folder's path joined with the way down
    std::size_t hidden = 0;          // hidden files and folders left out
    std::size_t notAudio = 0;        // files that are not audio, left out
    std::vector<std::string> errors; // folders that could not be read, with the reason
};

// The track number of the audio file at `path` (0 without one), as a caller knows it without
// opening the file (a cache), or nullopt.
using TrackNumberLookup = std::function<std::optional<int>(const std::string &path)>;

// Scans `folder` recursively. Links to files are taken; links to folders are not followed.
// Reads the tag of each audio file for its track number, unless `known` tells it. Blocks; any
// thread.
FolderScan scanFolder(const std::string &folder, const TrackNumberLookup &known = {});

// The track number in the tag of an audio file (MP3, FLAC, Ogg, M4A...), 0 without one.
int trackNumberOf(const std::string &path);

} // namespace tunara::media
