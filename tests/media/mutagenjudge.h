// python3-mutagen as an independent reader and writer of the tags our engine handles.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace mediatest {

struct MutagenView {
    bool ok = false;
    std::string error;
    int version = 0;                                      // 3 or 4
    std::map<std::string, std::vector<std::string>> text; // text frames by id
    std::map<std::string, int> encoding; // text encodings by id (0 Latin-1, 1 UTF-16)
    std::string comment;                 // COMM with empty description
    std::string url;                     // WXXX with empty description
    std::vector<std::string> ids;        // every frame id in the tag
    std::size_t pictureBytes = 0;        // APIC data length, 0 without one
    std::map<std::string, std::vector<std::string>> other; // other frames, printed by mutagen
};

// Reads the tag of `path` with mutagen.
MutagenView mutagenRead(const std::string &path);
// Runs a snippet with `tags` bound to a fresh mutagen ID3 object, then saves it to `path` as
// version `version` (3 or 4).
bool mutagenWrite(const std::string &path, const std::string &snippet, int version);

} // namespace mediatest
