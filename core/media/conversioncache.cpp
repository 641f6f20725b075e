#include "conversioncache.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tunara::media {

namespace {

namespace fs = std::filesystem;

// Part of every key: a new engine version must not take files an older one made.
constexpr std::string_view kEngineVersion = "tunara-convert-1";
constexpr std::string_view kPartialPrefix = ".partial-";
constexpr time_t kStalePartialSeconds = 24 * 3600;

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

std::string hex(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

} // namespace

ConversionCache::ConversionCache(std::string dir, std::uint64_t limitBytes)
    : m_dir(std::move(dir)), m_limit(limitBytes) {}

std::string ConversionCache::defaultDir() {
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/tunara/convert";
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") +
           "/.cache/tunara/convert";
}

std::optional<std::string> ConversionCache::keyPath(const std::string &source,
                                                    const ConvertSettings &settings,
                                                    struct stat *st) const {
    std::error_code ec;
    const fs::path absolute = fs::absolute(source, ec);
    if (ec || ::stat(source.c_str(), st) != 0)
        return std::nullopt;
    std::string key = absolute.lexically_normal().string();
    key += '\0' + std::to_string(st->st_size) + '\0' + std::to_string(st->st_mtim.tv_sec) + '.' +
           std::to_string(st->st_mtim.tv_nsec) + '\0' + settings.key() + '\0' +
           std::string(kEngineVersion);
    // Two hashes of the key with different tails make a 128-bit name.
    return m_dir + "/" + hex(fnv1a(key)) + hex(fnv1a(key + '\x01')) + ".mp3";
}

std::optional<CachedFile> ConversionCache::find(const std::string &source,
                                                const ConvertSettings &settings) {
    struct stat sourceStat {};
    const auto path = keyPath(source, settings, &sourceStat);
    if (!path)
        return std::nullopt;
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    // A use counts as recent: the change time marks it (the modification time is the source's).
    const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    ::utimensat(AT_FDCWD, path->c_str(), times, 0);
    return CachedFile{*path, std::uint64_t(st.st_size), true, {}};
}

std::variant<CachedFile, ConvertFailure> ConversionCache::get(const std::string &source,
                                                              const ConvertSettings &settings,
                                                              const ConvertProgress &progress,
                                                              const std::atomic<bool> *stop) {
    if (auto found = find(source, settings)) {
        std::lock_guard lock(m_mutex);
        m_pinned.insert(found->path);
        return *found;
    }
    struct stat sourceStat {};
    const auto path = keyPath(source, settings, &sourceStat);
    if (!path)
        return ConvertFailure{source + ": cannot be read: " + std::strerror(errno), false};
    std::error_code ec;
    fs::create_directories(m_dir, ec);
    if (ec)
        return ConvertFailure{
            source + ": the cache folder " + m_dir + " cannot be made: " + ec.message(), false};
    static std::atomic<unsigned> counter{0};
    const std::string partial = m_dir + "/" + std::string(kPartialPrefix) +
                                std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                                ".mp3";
    CachedFile made;
    if (auto failure = convertFile(source, partial, settings, progress, stop, &made.notes))
        return *failure;
    // The player records the time of the file sent: the source's.
    const timespec times[2] = {{0, UTIME_NOW}, sourceStat.st_mtim};
    struct stat st {};
    if (::utimensat(AT_FDCWD, partial.c_str(), times, 0) != 0 ||
        ::stat(partial.c_str(), &st) != 0 || ::rename(partial.c_str(), path->c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(partial.c_str());
        return ConvertFailure{source + ": the converted file cannot be put into the cache " +
                                  m_dir + ": " + why,
                              false};
    }
    made.path = *path;
    made.size = std::uint64_t(st.st_size);
    {
        std::lock_guard lock(m_mutex);
        m_pinned.insert(made.path);
    }
    evict();
    return made;
}

void ConversionCache::release(const std::string &path) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_pinned.find(path); it != m_pinned.end())
        m_pinned.erase(it);
}

void ConversionCache::evict() {
    std::lock_guard lock(m_mutex);
    struct Entry {
        std::string path;
        std::uint64_t size;
        timespec used;
    };
    std::vector<Entry> entries;
    std::uint64_t total = 0;
    std::error_code ec;
    const time_t now = ::time(nullptr);
    for (const fs::directory_entry &e : fs::directory_iterator(m_dir, ec)) {
        struct stat st {};
        const std::string path = e.path().string();
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const std::string name = e.path().filename().string();
        if (name.starts_with(kPartialPrefix)) {
            // Left by a run that ended while converting.
            if (st.st_ctim.tv_sec + kStalePartialSeconds < now)
                ::unlink(path.c_str());
            continue;
        }
        if (!name.ends_with(".mp3"))
            continue;
        total += std::uint64_t(st.st_size);
        entries.push_back({path, std::uint64_t(st.st_size), st.st_ctim});
    }
    if (total <= m_limit)
        return;
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec
                                              : a.used.tv_nsec < b.used.tv_nsec;
    });
    for (const Entry &e : entries) {
        if (total <= m_limit)
            break;
        if (m_pinned.contains(e.path))
            continue;
        if (::unlink(e.path.c_str()) == 0)
            total -= e.size;
    }
}

} // namespace tunara::media
