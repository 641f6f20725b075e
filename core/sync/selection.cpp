#include "selection.h"

#include "folderscan.h"
#include "playerformat.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace tunara::sync {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kFileUrl = "file://";

std::string lowerAscii(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "file:///music/a%20b.mp3" -> "/music/a b.mp3"; "file://localhost/x" -> "/x". Empty for a
// URL of another host or with a %00.
std::string pathOfFileUrl(std::string_view url) {
    std::string_view rest = url.substr(kFileUrl.size());
    if (rest.starts_with("localhost/"))
        rest.remove_prefix(std::string_view("localhost").size());
    if (!rest.starts_with('/'))
        return {};
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size()) {
            const int hi = hexValue(rest[i + 1]);
            const int lo = hexValue(rest[i + 2]);
            if (hi >= 0 && lo >= 0) {
                const char c = char(hi << 4 | lo);
                if (c == '\0')
                    return {};
                path += c;
                i += 2;
                continue;
            }
        }
        path += rest[i];
    }
    return path;
}

struct Reader {
    Selection &selection;
    std::set<std::string> playlistsRead; // by their normal absolute path
    const media::TrackNumberLookup &known;

    void add(SourceFile file) {
        const std::string key = fs::path(file.path).parent_path().string();
        if (selection.albums.empty() || selection.albums.back().key != key)
            selection.albums.push_back(Album{key, {}});
        selection.albums.back().files.push_back(std::move(file));
    }

    void skip(std::string path, std::string reason) {
        selection.skipped.push_back({std::move(path), std::move(reason)});
    }

    // The file of a playlist's entry, or why it is left out.
    void entry(const std::string &named, const fs::path &path, int depth) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            skip(named, errno == ENOENT || errno == ENOTDIR
                            ? "missing"
                            : "cannot be read: " + std::string(std::strerror(errno)));
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            skip(named, "a folder; a playlist names files");
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            skip(named, "not a regular file");
            return;
        }
        if (isPlaylistPath(path.string())) {
            playlist(path, depth + 1, named);
            return;
        }
        if (media::audioKindOf(path.string()) == media::AudioKind::NotAudio) {
            skip(named, "not audio");
            return;
        }
        if (::access(path.c_str(), R_OK) != 0) {
            skip(named, "cannot be read: " + std::string(std::strerror(errno)));
            return;
        }
        add(SourceFile{path.string(), std::uint64_t(st.st_size),
                       std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec});
    }

    void playlist(const fs::path &path, int depth, const std::string &named) {
        std::error_code ec;
        const std::string normal = fs::absolute(path, ec).lexically_normal().string();
        if (depth > kMostPlaylistDepth) {
            skip(named, "playlists nested deeper than " + std::to_string(kMostPlaylistDepth));
            return;
        }
        if (!playlistsRead.insert(normal).second) {
            skip(named, "a playlist read already (playlists that include each other)");
            return;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            skip(named, "not a playlist file that can be read");
            return;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            skip(named, "cannot be read: " + std::string(std::strerror(errno)));
            return;
        }
        const fs::path folder = fs::path(normal).parent_path();
        std::string line;
        bool first = true;
        while (std::getline(in, line)) {
            if (first && line.starts_with(kUtf8Bom))
                line.erase(0, kUtf8Bom.size());
            first = false;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#')
                continue; // blank, #EXTM3U, #EXTINF and other comments
            line.erase(0, start);
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
                line.pop_back();
            std::string target = line;
            if (lowerAscii(line.substr(0, kFileUrl.size())) == kFileUrl) {
                target = pathOfFileUrl(line);
                if (target.empty()) {
                    skip(line, "a URL the player's computer cannot open as a local file");
                    continue;
                }
            } else if (line.find("://") != std::string::npos) {
                skip(line, "not a local file");
                continue;
            }
            fs::path p(target);
            if (p.is_relative())
                p = folder / p;
            entry(line, p.lexically_normal(), depth);
        }
    }

    void folder(const std::string &path) {
        media::FolderScan scan = media::scanFolder(path, known);
        selection.hidden += scan.hidden;
        selection.notAudio += scan.notAudio;
        for (std::string &error : scan.errors)
            skip(error, "cannot be read");
        for (const std::string &file : scan.files) {
            struct stat st {};
            if (::stat(file.c_str(), &st) != 0) {
                skip(file, "cannot be read: " + std::string(std::strerror(errno)));
                continue;
            }
            add(SourceFile{file, std::uint64_t(st.st_size),
                           std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec});
        }
    }
};

} // namespace

bool isPlaylistPath(const std::string &path) {
    const std::string ext = lowerAscii(fs::path(path).extension().string());
    return ext == ".m3u" || ext == ".m3u8";
}

void addToSelection(Selection &selection, const std::string &input,
                    const media::TrackNumberLookup &known) {
    Reader reader{selection, {}, known};
    std::error_code ec;
    if (isPlaylistPath(input) && !fs::is_directory(input, ec))
        reader.playlist(input, 0, input);
    else
        reader.folder(input);
}

Selection selectionOf(const std::vector<std::string> &inputs,
                      const media::TrackNumberLookup &known) {
    Selection selection;
    for (const std::string &input : inputs)
        addToSelection(selection, input, known);
    return selection;
}

} // namespace tunara::sync
