#include "folderscan.h"

#include "audiosource.h"
#include "localinput.h"
#include "playerformat.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace tunara::media {

namespace {

namespace fs = std::filesystem;

struct Found {
    fs::path path;
    int track; // INT_MAX without a number: after the numbered files
};

} // namespace

int trackNumberOf(const std::string &path) {
    silenceFfmpegLog();
    AVFormatContext *fmt = nullptr;
    if (openLocalInput(&fmt, path) < 0)
        return 0;
    int track = 0;
    const auto read = [&](const AVDictionary *d) {
        if (const AVDictionaryEntry *e = av_dict_get(d, "track", nullptr, 0); e && track == 0)
            track = std::max(0, std::atoi(e->value));
    };
    read(fmt->metadata);
    for (unsigned i = 0; i < fmt->nb_streams && track == 0; ++i)
        read(fmt->streams[i]->metadata);
    avformat_close_input(&fmt);
    return track;
}

FolderScan scanFolder(const std::string &folder, const TrackNumberLookup &known) {
    FolderScan scan;
    std::vector<Found> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
    if (ec) {
        scan.errors.push_back(folder + ": " + ec.message());
        return scan;
    }
    for (const fs::recursive_directory_iterator end; it != end;) {
        const fs::directory_entry &e = *it;
        const std::string name = e.path().filename().string();
        std::error_code typeError;
        const bool isDir = e.is_directory(typeError) && !e.is_symlink(typeError);
        if (isHiddenName(name)) {
            ++scan.hidden;
            if (isDir)
                it.disable_recursion_pending();
        } else if (!isDir && e.is_regular_file(typeError)) {
            if (audioKindOf(name) == AudioKind::NotAudio) {
                ++scan.notAudio;
            } else {
                const std::optional<int> told = known ? known(e.path().string()) : std::nullopt;
                const int track = told ? *told : trackNumberOf(e.path().string());
                found.push_back({e.path(), track > 0 ? track : INT_MAX});
            }
        }
        it.increment(ec);
        if (ec) {
            scan.errors.push_back(e.path().string() + ": " + ec.message());
            ec.clear();
        }
    }
    // Paths compare by their elements, so a folder's files stay together before its subfolders'.
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        if (const int c = a.path.parent_path().compare(b.path.parent_path()); c != 0)
            return c < 0;
        if (a.track != b.track)
            return a.track < b.track;
        return a.path.filename().string() < b.path.filename().string();
    });
    for (const Found &f : found)
        scan.files.push_back(f.path.string());
    return scan;
}

} // namespace tunara::media
