// Converted files kept for the next send: one MP3 per source file and settings, under
// $XDG_CACHE_HOME/tunara/convert (~/.cache/tunara/convert). A file enters the cache whole or
// not at all: it is converted under a temporary name and renamed into place. The cache keeps
// below its size limit by removing the files used longest ago, never one a run holds: every
// file handed out carries a shared lock (flock) until it is released, and eviction removes a
// file only under an exclusive lock it got without waiting, so runs in other processes (kesto
// beside the window) never lose a file they are about to send.
#pragma once

#include "converter.h"
#include "sourcestamp.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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
    // The cache in `dir` (made when missing, private to the user), kept under `limitBytes`.
    explicit ConversionCache(std::string dir, std::uint64_t limitBytes = kDefaultCacheLimit);
    // Lets go of every file still held.
    ~ConversionCache();
    ConversionCache(const ConversionCache &) = delete;
    ConversionCache &operator=(const ConversionCache &) = delete;

    // $XDG_CACHE_HOME/tunara/convert, else $HOME/.cache/tunara/convert, else the home folder of
    // the user's account, else $TMPDIR/tunara-UID/convert (whose owner and mode get() checks,
    // as for every cache folder). Never a folder another user could have made.
    static std::string defaultDir();
    // The place `name` (a folder or a file) of the program's cache, found as defaultDir() finds
    // "convert": every cache of the program (the sync's metadata and histories too) lives there.
    static std::string userCacheDir(std::string_view name);

    // The converted file for `source` with `settings`: from the cache when the source is in the
    // state it was converted from (see SourceStamp), else converted now. The source is read
    // once for the key, before converting; a source that changes meanwhile fails the
    // conversion. The returned file stays in the cache (no ConversionCache in any process
    // evicts it) until release(). The folder is refused when it is not a directory owned by
    // the user that only the user may write (and likewise the folders above it, unless owned
    // by root or sticky). Thread-safe; blocks.
    std::variant<CachedFile, ConvertFailure> get(const std::string &source,
                                                 const ConvertSettings &settings,
                                                 const ConvertProgress &progress,
                                                 const std::atomic<bool> *stop);
    // The cached file's path when it is there; nothing is converted and nothing held.
    std::optional<CachedFile> find(const std::string &source, const ConvertSettings &settings);
    // The caller is done with a file get() returned: it may be evicted now.
    void release(const std::string &path);

    const std::string &dir() const { return m_dir; }

private:
    std::optional<std::string> keyPath(const std::string &source, const ConvertSettings &settings,
                                       const SourceStamp &stamp) const;
    // Makes the folder when missing; the reason it cannot be used, else nothing.
    std::optional<std::string> prepareDir() const;
    // The cached file at `path` with a shared lock taken on it, registered as held; nothing
    // when it is not there (or was evicted while the lock was taken).
    std::optional<CachedFile> hold(const std::string &path);
    void evict();

    std::string m_dir;
    std::uint64_t m_limit;
    std::mutex m_mutex; // guards m_held and eviction
    // Per file handed out: the descriptor whose shared lock keeps it from eviction.
    std::multimap<std::string, int> m_held;
};

// Makes `folder` and the folders above it that are missing, each private from the start, and
// checks that it is a directory owned by the user that only the user may write (and likewise
// the folders above it, unless owned by root or sticky): every cache folder of the program is
// checked so before it is read or written. The problem, or nullopt. Blocks.
std::optional<std::string> preparePrivateFolder(const std::string &folder);

} // namespace tunara::media
