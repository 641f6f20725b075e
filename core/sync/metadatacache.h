// What the plan read from each source (length, rates, numbers, names, tag size), kept under
// $XDG_CACHE_HOME/tunara/metadata so that a second plan of a large library opens no audio file.
// One small file per source, keyed as the conversion cache keys its files (path, size, times,
// inode); written whole or not at all; a damaged entry is read again from the source.
#pragma once

#include "folderscan.h"
#include "sourceprobe.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace tunara::sync {

class MetadataCache {
public:
    // The cache in `dir` (made when first written).
    explicit MetadataCache(std::string dir);
    // $XDG_CACHE_HOME/tunara/metadata, or ~/.cache/tunara/metadata.
    static std::string defaultDir();

    // The source's information: from the cache when the file has the same path, size, times
    // and inode as when it was read, else read now with probeSource and kept (a failure to
    // keep it is not an error). `probed` tells whether the source was opened. Thread-safe;
    // blocks.
    std::variant<SourceInfo, std::string> get(const std::string &source, bool *probed = nullptr);
    // Track numbers for the folder scan: the cached number, else the source read and kept now,
    // so that the next scan opens no file (0 for a source that cannot be read).
    media::TrackNumberLookup trackNumbers();
    // The cached information, or nullopt; never opens the source.
    std::optional<SourceInfo> find(const std::string &source) const;

    const std::string &dir() const { return m_dir; }

private:
    struct Slot {
        std::string file; // the entry's path
        std::string key;  // what it must say it is for
    };
    std::optional<Slot> slotOf(const std::string &source) const;
    // The folder, made private where missing, is the user's alone: entries are read and
    // written only then (another user's entries could lie about a file).
    bool privateFolder() const;
    void store(const Slot &slot, const SourceInfo &info) const;

    std::string m_dir;
    mutable std::once_flag m_checkOnce;
    mutable bool m_private = false;
    // What this process read already, by key: one plan asks twice (the folder scan's track
    // number, then the rest), and a source that cannot be read is not opened twice.
    mutable std::mutex m_memoMutex;
    mutable std::map<std::string, std::variant<SourceInfo, std::string>> m_memo;
};

} // namespace tunara::sync
