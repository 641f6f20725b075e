// Converted files kept for the next send: one MP3 per source file and settings, under
// $XDG_CACHE_HOME/tunara/convert (~/.cache/tunara/convert). A file enters the cache whole or
// not at all: it is converted under a temporary name and renamed into place. The cache keeps
// below its size limit by removing the files used longest ago.
#pragma once

#include "converter.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <sys/stat.h>

namespace tunara::media {

inline constexpr std::uint64_t kDefaultCacheLimit = 2ull << 30; // 2 GiB

struct CachedFile {
    std::string path;       // the converted file; its time is the source's
    std::uint64_t size = 0; // bytes
    bool reused = false;    // it was in the cache already
    std::vector<std::string> notes;
};

class ConversionCache {
public:
    // The cache in `dir` (made when missing), kept under `limitBytes`.
    explicit ConversionCache(std::string dir, std::uint64_t limitBytes = kDefaultCacheLimit);
    // $XDG_CACHE_HOME/tunara/convert, or ~/.cache/tunara/convert.
    static std::string defaultDir();

    // The converted file for `source` with `settings`: from the cache when the source has the
    // same path, size and time as when it was converted, else converted now. The returned file
    // stays in the cache (is not evicted by this object) until release(). Thread-safe; blocks.
    std::variant<CachedFile, ConvertFailure> get(const std::string &source,
                                                 const ConvertSettings &settings,
                                                 const ConvertProgress &progress,
                                                 const std::atomic<bool> *stop);
    // The cached file's path when it is there; nothing is converted.
    std::optional<CachedFile> find(const std::string &source, const ConvertSettings &settings);
    // The caller is done with a file get() returned: it may be evicted now.
    void release(const std::string &path);

    const std::string &dir() const { return m_dir; }

private:
    std::optional<std::string> keyPath(const std::string &source, const ConvertSettings &settings,
                                       struct stat *sourceStat) const;
    void evict();

    std::string m_dir;
    std::uint64_t m_limit;
    std::mutex m_mutex; // guards m_pinned and eviction
    std::multiset<std::string> m_pinned;
};

} // namespace tunara::media
