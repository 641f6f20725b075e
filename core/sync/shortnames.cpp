#include "shortnames.h"

#include "playerformat.h"
#include "recordcost.h"

#include <cstdio>

namespace tunara::sync {

namespace {

constexpr std::string_view kNoTitle = "Track";
constexpr unsigned kMostTries = 100000;

// The first whole characters of `text` that make at most `units` UTF-16 units.
std::string cutToUnits(std::string_view text, std::size_t units) {
    std::size_t used = 0, end = 0;
    while (end < text.size()) {
        const std::size_t len = std::max<std::size_t>(1, media::validUtf8Length(text, end));
        const std::size_t cost = len == 4 ? 2 : 1;
        if (used + cost > units || end + len > text.size())
            break;
        used += cost;
        end += len;
    }
    return std::string(text.substr(0, end));
}

std::string trimmedEnd(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return s;
}

std::string extensionOf(const std::string &name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

} // namespace

std::string shortPlayerName(int track, std::string_view title, std::string_view extension,
                            std::set<std::string> &taken,
                            std::map<std::string, unsigned> *nextNumber) {
    std::string prefix;
    if (track > 0) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d ", track);
        prefix = number;
    }
    const std::string ext = extension.empty() ? std::string() : "." + media::legalName(extension);
    std::string body = trimmedEnd(media::legalName(title));
    if (body.empty())
        body = kNoTitle;
    const std::size_t fixed = utf16Length(prefix) + utf16Length(ext);
    const std::size_t room = kShortNameUnits > fixed ? kShortNameUnits - fixed : 0;
    std::string name;
    // Titles cut to the same name have the same numbered names: the cut name is the key.
    unsigned first = 1;
    std::string plain = trimmedEnd(prefix + cutToUnits(body, room));
    plain = media::foldCase(plain.empty() ? "_" + ext : plain + ext);
    if (nextNumber != nullptr)
        first = nextNumber->try_emplace(plain, 1).first->second;
    for (unsigned n = first; n <= kMostTries; ++n) {
        const std::string tail = n == 1 ? std::string() : "~" + std::to_string(n);
        const std::size_t left = room > tail.size() ? room - tail.size() : 0;
        std::string head = trimmedEnd(prefix + cutToUnits(body, left));
        if (head.empty())
            head = "_";
        name = head + tail + ext;
        if (taken.insert(media::foldCase(name)).second) {
            if (nextNumber != nullptr)
                (*nextNumber)[plain] = n + 1;
            return name;
        }
    }
    return name; // every one taken: the player refuses the duplicate and the run says so
}

void useShortNames(std::vector<PlanAlbum> &albums, std::set<std::string> taken) {
    std::map<std::string, unsigned> nextNumber;
    for (PlanAlbum &album : albums)
        for (PlanTrack &t : album.tracks)
            if (!t.present) {
                t.playerName = shortPlayerName(t.trackNumber, t.title, extensionOf(t.playerName),
                                               taken, &nextNumber);
                t.records = recordCost(t.playerName);
            }
}

NameCounts filesThatFit(const std::vector<PlanAlbum> &albums, const Room &room,
                        const std::set<std::string> &taken, std::uint64_t keepFreeBytes) {
    NameCounts counts;
    counts.withNames = fitAlbums(albums, room, FitMode::StopAtFirst, keepFreeBytes).files;
    std::vector<PlanAlbum> shortened = albums;
    useShortNames(shortened, taken);
    counts.withShortNames = fitAlbums(shortened, room, FitMode::StopAtFirst, keepFreeBytes).files;
    return counts;
}

} // namespace tunara::sync
