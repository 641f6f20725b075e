#include "conversioncache.h"

#include "cachekey.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tunara::media {

namespace {

namespace fs = std::filesystem;

// Part of every key: a new engine version must not take files an older one made.
constexpr std::string_view kEngineVersion = "tunara-convert-2";
constexpr std::string_view kPartialPrefix = ".partial-";
constexpr time_t kStalePartialSeconds = 24 * 3600;
constexpr mode_t kPrivateFolder = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
// A file found in the cache may be replaced by another run between opening and locking it;
// after this many tries it is converted again.
constexpr int kHoldAttempts = 3;
constexpr std::size_t kPasswdBuffer = 16384;

bool absoluteText(const char *s) {
    return s != nullptr && s[0] == '/';
}

// The home folder of the account running us, from the user database.
std::string accountHome() {
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(kPasswdBuffer);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || !absoluteText(found->pw_dir))
        return {};
    return found->pw_dir;
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why the folder `path` (already made) may not hold the cache: another user could put files
// there or replace it. The folder itself must be the user's and written by nobody else; the
// folders above it the user's or root's, and written by nobody else unless sticky (/tmp).
std::optional<std::string> notPrivate(const fs::path &path) {
    const uid_t me = ::geteuid();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return path.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return path.string() + " is not a folder";
    if (st.st_uid != me || (st.st_mode & kWritableByOthers) != 0)
        return path.string() + " is not private (owner " + std::to_string(st.st_uid) + ", mode " +
               modeText(st.st_mode) + ")";
    for (fs::path up = path.parent_path(); !up.empty(); up = up.parent_path()) {
        if (::stat(up.c_str(), &st) != 0)
            return up.string() + ": " + std::strerror(errno);
        if ((st.st_uid != me && st.st_uid != 0) ||
            ((st.st_mode & kWritableByOthers) != 0 && (st.st_mode & S_ISVTX) == 0))
            return up.string() + ", above it, may be changed by another user";
        if (up == up.root_path())
            break;
    }
    return std::nullopt;
}

} // namespace

ConversionCache::ConversionCache(std::string dir, std::uint64_t limitBytes)
    : m_dir(std::move(dir)), m_limit(limitBytes) {}

ConversionCache::~ConversionCache() {
    for (const auto &[path, fd] : m_held)
        ::close(fd);
}

std::string ConversionCache::defaultDir() {
    return userCacheDir("convert");
}

std::string ConversionCache::userCacheDir(std::string_view name) {
    const std::string tail = "tunara/" + std::string(name);
    if (const char *xdg = std::getenv("XDG_CACHE_HOME"); absoluteText(xdg))
        return std::string(xdg) + "/" + tail;
    if (const char *home = std::getenv("HOME"); absoluteText(home))
        return std::string(home) + "/.cache/" + tail;
    if (const std::string home = accountHome(); !home.empty())
        return home + "/.cache/" + tail;
    // A folder of the user's own in the shared temporary folder; get() refuses it when someone
    // else made it first.
    const char *tmp = std::getenv("TMPDIR");
    return std::string(absoluteText(tmp) ? tmp : "/tmp") + "/tunara-" + std::to_string(::getuid()) +
           "/" + std::string(name);
}

std::optional<std::string> ConversionCache::keyPath(const std::string &source,
                                                    const ConvertSettings &settings,
                                                    const SourceStamp &stamp) const {
    std::error_code ec;
    const fs::path absolute = fs::absolute(source, ec);
    if (ec)
        return std::nullopt;
    std::string key = absolute.lexically_normal().string();
    key += '\0' + stamp.key() + '\0' + settings.key() + '\0' + std::string(kEngineVersion);
    // Two hashes of the key with different tails make a 128-bit name.
    return m_dir + "/" + cacheEntryName(key) + ".mp3";
}

std::optional<std::string> ConversionCache::prepareDir() const {
    return preparePrivateFolder(m_dir);
}

std::optional<std::string> preparePrivateFolder(const std::string &folder) {
    std::error_code ec;
    const fs::path dir = fs::absolute(folder, ec).lexically_normal();
    if (ec)
        return ec.message();
    // Each missing folder is made private from the start (no window in which it is not).
    fs::path made;
    for (const fs::path &part : dir) {
        made /= part;
        if (made == made.root_path() || part.empty())
            continue;
        if (::mkdir(made.c_str(), kPrivateFolder) != 0 && errno != EEXIST)
            return made.string() + " cannot be made: " + std::strerror(errno);
    }
    return notPrivate(dir);
}

std::optional<CachedFile> ConversionCache::hold(const std::string &path) {
    for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return std::nullopt;
        struct stat held {
        }, named{};
        int rc;
        do
            rc = ::flock(fd, LOCK_SH);
        while (rc != 0 && errno == EINTR);
        // Evicted between opening and locking it (gone or replaced by a fresh conversion).
        if (rc != 0 || ::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) ||
            ::lstat(path.c_str(), &named) != 0 || !sameFile(held, named)) {
            ::close(fd);
            continue;
        }
        // A use counts as recent: the change time marks it (the modification time is the
        // source's). Where it cannot be marked, the file is only evicted sooner.
        const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
        (void)::futimens(fd, times);
        std::lock_guard lock(m_mutex);
        m_held.emplace(path, fd);
        return CachedFile{path, std::uint64_t(held.st_size), true, {}};
    }
    return std::nullopt;
}

std::optional<CachedFile> ConversionCache::find(const std::string &source,
                                                const ConvertSettings &settings) {
    const std::optional<SourceStamp> stamp = readSourceStamp(source);
    if (!stamp)
        return std::nullopt;
    const auto path = keyPath(source, settings, *stamp);
    if (!path)
        return std::nullopt;
    struct stat st {};
    if (::lstat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return CachedFile{*path, std::uint64_t(st.st_size), true, {}};
}

std::variant<CachedFile, ConvertFailure> ConversionCache::get(const std::string &source,
                                                              const ConvertSettings &settings,
                                                              const ConvertProgress &progress,
                                                              const std::atomic<bool> *stop) {
    // The one reading of the source: the key is made of it, and the conversion is checked
    // against it, so that a file rewritten meanwhile never enters the cache under its new key.
    const std::optional<SourceStamp> stamp = readSourceStamp(source);
    if (!stamp)
        return ConvertFailure{source + ": cannot be read: " + std::strerror(errno), false};
    const auto path = keyPath(source, settings, *stamp);
    if (!path)
        return ConvertFailure{source + ": cannot be read: " + std::strerror(errno), false};
    if (const auto problem = prepareDir())
        return ConvertFailure{source + ": the cache folder cannot be used: " + *problem, false};
    if (auto found = hold(*path))
        return *found;

    static std::atomic<unsigned> counter{0};
    const std::string partial = m_dir + "/" + std::string(kPartialPrefix) +
                                std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                                ".mp3";
    CachedFile made;
    if (auto failure = convertFile(source, *stamp, partial, settings, progress, stop, &made.notes))
        return *failure;
    // The player records the time of the file sent: the source's. The lock is taken before the
    // file gets its name, so that no other run can evict it in between.
    const timespec times[2] = {{0, UTIME_NOW}, stamp->modified};
    struct stat st {};
    const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || ::flock(fd, LOCK_SH) != 0 || ::futimens(fd, times) != 0 ||
        ::fstat(fd, &st) != 0 || ::rename(partial.c_str(), path->c_str()) != 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        ::unlink(partial.c_str());
        return ConvertFailure{source + ": the converted file cannot be put into the cache " +
                                  m_dir + ": " + why,
                              false};
    }
    made.path = *path;
    made.size = std::uint64_t(st.st_size);
    {
        std::lock_guard lock(m_mutex);
        m_held.emplace(made.path, fd);
    }
    evict();
    return made;
}

void ConversionCache::release(const std::string &path) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_held.find(path); it != m_held.end()) {
        ::close(it->second);
        m_held.erase(it);
    }
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
        if (m_held.contains(e.path))
            continue;
        // Held by a run in another process (or another cache object) when the exclusive lock
        // is refused: that run is about to send it.
        const int fd = ::open(e.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat locked {
        }, named{};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
            ::lstat(e.path.c_str(), &named) == 0 && sameFile(locked, named) &&
            ::unlink(e.path.c_str()) == 0)
            total -= std::min(total, std::uint64_t(locked.st_size));
        ::close(fd);
    }
}

} // namespace tunara::media
