// Loudness measured before, kept under $XDG_CACHE_HOME/tunara/loudness so that a second run
// measures nothing it measured already: the decisions for a set of files measured together (an
// album, or one track), keyed by each file's path and state (SourceStamp, as the conversion
// cache keys its files), the mode and whether its tags were asked for. One small text file per
// entry, named by a hash of its key, written whole or not at all; an entry that cannot be read
// is measured again. The folder is used only when it is private to the user.
#pragma once

#include "levelling.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tunara::media {

class LoudnessCache {
public:
    explicit LoudnessCache(std::string dir);
    // The program's cache folder "loudness" (ConversionCache::userCacheDir).
    static std::string defaultDir();

    // The key of `files` measured together in `mode` as they are now; nullopt when one of them
    // cannot be read. Blocks.
    std::optional<std::string> keyOf(std::span<const LevelSource> files, LevelMode mode) const;
    // The decisions kept under `key` for `count` files; nullopt when there are none, or they
    // cannot be read. Blocks; any thread.
    std::optional<std::vector<LevelDecision>> find(const std::string &key, std::size_t count) const;
    // Keeps `decisions` under `key`; a failure to keep them is not an error. Blocks; any thread.
    void keep(const std::string &key, const std::vector<LevelDecision> &decisions) const;

    const std::string &dir() const { return m_dir; }

private:
    std::string m_dir;
};

} // namespace tunara::media
