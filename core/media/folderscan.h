// The music a folder holds, in album order: every audio file below it (hidden files and folders
// and files that are not audio left out and counted), by folder, then by the track number of
// its tag, then by name.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tunara::media {

struct FolderScan {
    std::vector<std::string> files;  // paths, the folder's path joined with the way down
    std::size_t hidden = 0;          // hidden files and folders left out
    std::size_t notAudio = 0;        // files that are not audio, left out
    std::vector<std::string> errors; // folders that could not be read, with the reason
};

// Scans `folder` recursively. Links to files are taken; links to folders are not followed.
// Reads the tag of each audio file for its track number. Blocks; any thread.
FolderScan scanFolder(const std::string &folder);

// The track number in the tag of an audio file (MP3, FLAC, Ogg, M4A...), 0 without one.
int trackNumberOf(const std::string &path);

} // namespace tunara::media
