#include "metadatacache.h"

#include "cachekey.h"
#include "conversioncache.h"
#include "lineescape.h"
#include "wholefile.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace tunara::sync {

namespace {

namespace fs = std::filesystem;

// Part of every key: a new reading of sources must not take what an older one kept.
constexpr std::string_view kVersion = "tunara-metadata-1";
constexpr std::size_t kMostEntryBytes = 64 * 1024;
constexpr std::string_view kEndLine = "end";

std::optional<long long> number(const std::string &text) {
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return std::nullopt;
    return v;
}

// The entry's text parsed, or nullopt when any line is missing or damaged.
std::optional<SourceInfo> parseEntry(std::istream &in, const std::string &key) {
    std::string line;
    const auto field = [&](std::string_view name) -> std::optional<std::string> {
        if (!std::getline(in, line) || !line.starts_with(name) || line.size() <= name.size() ||
            line[name.size()] != ' ')
            return std::nullopt;
        return unescapedLine(std::string_view(line).substr(name.size() + 1));
    };
    if (!std::getline(in, line) || line != kVersion)
        return std::nullopt;
    const auto storedKey = field("key");
    if (!storedKey || *storedKey != key)
        return std::nullopt;
    SourceInfo info;
    const auto seconds = field("seconds");
    if (!seconds)
        return std::nullopt;
    char *end = nullptr;
    info.seconds = std::strtod(seconds->c_str(), &end);
    if (end == seconds->c_str() || *end != '\0' || !(info.seconds >= 0))
        return std::nullopt;
    const auto integer = [&](std::string_view name, long long most) -> std::optional<long long> {
        const auto text = field(name);
        const auto v = text ? number(*text) : std::nullopt;
        if (!v || *v < 0 || *v > most)
            return std::nullopt;
        return v;
    };
    constexpr long long kInt = INT32_MAX;
    constexpr long long kBytes = 1ll << 40;
    const auto rate = integer("rate", kInt), bitRate = integer("bitrate", kInt),
               track = integer("track", kInt), disc = integer("disc", kInt),
               tag = integer("tag", kBytes), tagCover = integer("tagcover", kBytes);
    const auto album = field("album"), title = field("title");
    if (!rate || !bitRate || !track || !disc || !tag || !tagCover || !album || !title)
        return std::nullopt;
    info.sampleRate = int(*rate);
    info.bitRateBps = int(*bitRate);
    info.track = int(*track);
    info.disc = int(*disc);
    info.tagBytes = std::uint64_t(*tag);
    info.tagBytesWithCover = std::uint64_t(*tagCover);
    info.album = *album;
    info.title = *title;
    // The last line proves the entry whole: a cut entry would still parse up to its cut.
    if (!std::getline(in, line) || line != kEndLine || std::getline(in, line))
        return std::nullopt;
    return info;
}

} // namespace

MetadataCache::MetadataCache(std::string dir) : m_dir(std::move(dir)) {}

std::string MetadataCache::defaultDir() {
    return media::ConversionCache::userCacheDir("metadata");
}

std::optional<MetadataCache::Slot> MetadataCache::slotOf(const std::string &source) const {
    std::error_code ec;
    const fs::path absolute = fs::absolute(source, ec);
    struct stat st {};
    if (ec || ::stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    std::string key = absolute.lexically_normal().string();
    key += '\0' + std::to_string(st.st_size) + '\0' + std::to_string(st.st_mtim.tv_sec) + '.' +
           std::to_string(st.st_mtim.tv_nsec) + '\0' + std::to_string(st.st_ctim.tv_sec) + '.' +
           std::to_string(st.st_ctim.tv_nsec) + '\0' + std::to_string(st.st_dev) + ':' +
           std::to_string(st.st_ino) + '\0' + std::string(kVersion);
    Slot slot;
    slot.file = m_dir + "/" + media::cacheEntryName(key);
    slot.key = escapedLine(key); // the NULs stay as they are: the key is compared whole
    return slot;
}

media::TrackNumberLookup MetadataCache::trackNumbers() {
    return [this](const std::string &path) -> std::optional<int> {
        const auto read = get(path);
        const auto *info = std::get_if<SourceInfo>(&read);
        return info != nullptr ? info->track : 0;
    };
}

std::optional<SourceInfo> MetadataCache::find(const std::string &source) const {
    const auto slot = slotOf(source);
    if (!slot)
        return std::nullopt;
    {
        const std::lock_guard lock(m_memoMutex);
        if (const auto it = m_memo.find(slot->key); it != m_memo.end())
            if (const auto *info = std::get_if<SourceInfo>(&it->second))
                return *info;
    }
    if (!privateFolder())
        return std::nullopt;
    std::ifstream in(slot->file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(kMostEntryBytes + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    if (std::size_t(in.gcount()) > kMostEntryBytes)
        return std::nullopt;
    text.resize(std::size_t(in.gcount()));
    std::istringstream entry(text);
    auto info = parseEntry(entry, slot->key);
    if (info) {
        const std::lock_guard lock(m_memoMutex);
        m_memo.emplace(slot->key, *info);
    }
    return info;
}

bool MetadataCache::privateFolder() const {
    std::call_once(m_checkOnce, [this] { m_private = !media::preparePrivateFolder(m_dir); });
    return m_private;
}

void MetadataCache::store(const Slot &slot, const SourceInfo &info) const {
    if (!privateFolder())
        return;
    std::ostringstream text;
    char seconds[40];
    std::snprintf(seconds, sizeof seconds, "%.17g", info.seconds);
    text << kVersion << '\n'
         << "key " << slot.key << '\n'
         << "seconds " << seconds << '\n'
         << "rate " << info.sampleRate << '\n'
         << "bitrate " << info.bitRateBps << '\n'
         << "track " << info.track << '\n'
         << "disc " << info.disc << '\n'
         << "tag " << info.tagBytes << '\n'
         << "tagcover " << info.tagBytesWithCover << '\n'
         << "album " << escapedLine(info.album) << '\n'
         << "title " << escapedLine(info.title) << '\n'
         << kEndLine << '\n';
    // A failure to keep it only costs the next plan a probe.
    (void)media::writeWholeFile(slot.file, text.str());
}

std::variant<SourceInfo, std::string> MetadataCache::get(const std::string &source, bool *probed) {
    if (probed != nullptr)
        *probed = false;
    if (auto info = find(source))
        return *info;
    const auto before = slotOf(source);
    if (before) {
        const std::lock_guard lock(m_memoMutex);
        if (const auto it = m_memo.find(before->key); it != m_memo.end())
            return it->second; // a source this process could not read, unchanged since
    }
    if (probed != nullptr)
        *probed = true;
    auto read = probeSource(source);
    if (before) {
        const std::lock_guard lock(m_memoMutex);
        m_memo.emplace(before->key, read);
    }
    // Kept only when the file did not change while it was read.
    if (const auto *info = std::get_if<SourceInfo>(&read); info != nullptr && before)
        if (const auto after = slotOf(source); after && after->key == before->key)
            store(*before, *info);
    return read;
}

} // namespace tunara::sync
