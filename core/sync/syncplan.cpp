#include "syncplan.h"

#include "fill.h"
#include "nameallocator.h"
#include "playerformat.h"
#include "recordcost.h"
#include "texts/english.h"
#include "wholefile.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace tunara::sync {

namespace {

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu; // the player's sizes are 32 bits
constexpr int kDosEpochYear = 1980;
constexpr int kDosLastYear = 127; // years after 1980 a DOS date holds
constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint64_t kSmallVolumeSectors = 2048; // below this the root holds 224 records
constexpr unsigned kSmallRootRecords = 224;
constexpr std::uint64_t kFat12OnlySectors = 8400;
constexpr std::uint64_t kFat12MostClusters = 4084;
constexpr std::uint32_t kMostSectorsPerCluster = 64;
constexpr std::size_t kNone = std::size_t(-1);
constexpr std::size_t kMostExtension = 6; // the dot and five characters, as a cut name keeps

struct Track {
    std::size_t album = 0;
    SourceFile file;
    PlanTrack t;           // t.bytes: the file's bytes
    std::string shortName; // the short name it asks for (short names only)
    std::size_t match = kNone;
    Action action = Action::Send;
    std::string reason;
};

std::string extensionOf(const std::string &name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

// The short name of a track (its number, its title's start, the extension of the name it asks
// for), not in `taken`.
std::string shortNameOf(const PlanTrack &t, std::set<std::string> &taken,
                        std::map<std::string, unsigned> *nextNumber = nullptr) {
    const std::string ext = extensionOf(t.playerName);
    return shortPlayerName(t.trackNumber, t.title, ext.empty() ? ext : ext.substr(1), taken,
                           nextNumber);
}

// Splits "base<open>N<close>.ext" into base + ext when N is a number of 2 or more: the numbered
// forms free names take (" (N)", and "~N" of short names).
std::optional<std::string> numberedRoot(const std::string &folded, std::string_view open,
                                        std::string_view close) {
    const std::string ext = extensionOf(folded);
    const std::string stem = folded.substr(0, folded.size() - ext.size());
    if (!stem.ends_with(close))
        return std::nullopt;
    std::size_t end = stem.size() - close.size(), digits = end;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(stem[digits - 1])) != 0)
        --digits;
    if (digits == end || digits < open.size() ||
        stem.compare(digits - open.size(), open.size(), open) != 0)
        return std::nullopt;
    if (std::stoul(stem.substr(digits, std::min<std::size_t>(end - digits, 9))) < 2)
        return std::nullopt;
    return stem.substr(0, digits - open.size()) + ext;
}

std::string refusalOf(const PlanTrack &t) {
    const std::string name = std::filesystem::path(t.source).filename().string();
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size())
        return std::string(texts::english(res::StrId::NoExtension));
    if (t.bytes > kMaxFileSize)
        return "the file is 4 GiB or larger; the player takes smaller files only";
    return {};
}

// The player files a track may be: by name and numbered forms of it.
class PlayerIndex {
public:
    explicit PlayerIndex(const std::vector<PlayerFile> &files) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string folded = media::foldCase(files[i].name);
            m_byName[folded].push_back(i);
            if (const auto root = numberedRoot(folded, " (", ")"))
                m_numbered[*root].push_back(i);
            if (const auto root = numberedRoot(folded, "~", ""))
                m_tilde[*root].push_back(i);
        }
    }

    // The files of `name` exactly first, then its numbered forms; with `shortName`, also that
    // name and its "~N" forms.
    std::vector<std::size_t> candidates(const std::string &name,
                                        const std::string &shortName) const {
        std::vector<std::size_t> out;
        const auto add = [&](const std::map<std::string, std::vector<std::size_t>> &map,
                             const std::string &key) {
            if (const auto it = map.find(key); it != map.end())
                for (const std::size_t i : it->second)
                    if (std::find(out.begin(), out.end(), i) == out.end())
                        out.push_back(i);
        };
        const std::string folded = media::foldCase(name);
        add(m_byName, folded);
        add(m_numbered, folded);
        if (!shortName.empty()) {
            const std::string s = media::foldCase(shortName);
            add(m_byName, s);
            // A "~N" name cuts the title shorter: its head is a start of the plain name's.
            const std::string ext = extensionOf(s);
            const std::string stem = s.substr(0, s.size() - ext.size());
            for (std::size_t len = stem.size(); len > 0; --len)
                add(m_tilde, stem.substr(0, len) + ext);
        }
        return out;
    }

private:
    std::map<std::string, std::vector<std::size_t>> m_byName, m_numbered, m_tilde;
};

bool sameStamp(const Track &tr, const PlayerFile &p) {
    const auto [date, time] = dosStamp(tr.file.mtimeNs / 1'000'000'000);
    return date == p.date && time == p.time && (tr.t.converted || tr.file.size == p.size);
}

std::string differences(const Track &tr, const PlayerFile &p) {
    const auto [date, time] = dosStamp(tr.file.mtimeNs / 1'000'000'000);
    const bool size = !tr.t.converted && tr.file.size != p.size;
    const bool stamp = date != p.date || time != p.time;
    if (size && stamp)
        return "the size and the time differ";
    if (size)
        return "the size differs";
    if (stamp)
        return "the time differs";
    return "another file has its name";
}

} // namespace

Geometry formattedGeometry(std::uint64_t totalBytes) {
    Geometry g;
    const std::uint64_t sectors = totalBytes / kSectorBytes;
    if (sectors == 0)
        return g;
    g.rootRecords = sectors < kSmallVolumeSectors ? kSmallRootRecords : kFat16RootRecords;
    std::uint32_t perCluster = 1;
    if (sectors <= kFat12OnlySectors) {
        while (perCluster < kMostSectorsPerCluster && sectors / perCluster > kFat12MostClusters)
            perCluster *= 2;
    } else {
        // The steps a FAT16 volume's cluster grows by with its size.
        static constexpr std::pair<std::uint64_t, std::uint32_t> kSteps[] = {
            {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}};
        perCluster = kMostSectorsPerCluster;
        for (const auto &[upTo, per] : kSteps)
            if (sectors <= upTo) {
                perCluster = per;
                break;
            }
    }
    g.clusterBytes = perCluster * kSectorBytes;
    return g;
}

std::uint64_t occupiedBytes(std::uint64_t bytes, std::uint32_t clusterBytes) {
    if (clusterBytes == 0)
        return bytes;
    return (bytes + clusterBytes - 1) / clusterBytes * clusterBytes;
}

std::pair<std::uint16_t, std::uint16_t> dosStamp(std::int64_t seconds) {
    std::tm tm{};
    const auto t = static_cast<std::time_t>(seconds);
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 < kDosEpochYear)
        return {std::uint16_t(1 << 5 | 1), 0};
    const int year = std::min(tm.tm_year + 1900 - kDosEpochYear, kDosLastYear);
    return {std::uint16_t(year << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday),
            std::uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2)};
}

std::vector<std::pair<std::string, unsigned>> orderMoves(std::vector<std::string> current,
                                                         const std::vector<std::string> &wanted) {
    std::vector<std::pair<std::string, unsigned>> moves;
    std::size_t place = 0;
    for (const std::string &name : wanted) {
        const auto at = std::find(current.begin() + std::ptrdiff_t(place), current.end(), name);
        if (at == current.end())
            continue; // not on the player (its send failed)
        if (at != current.begin() + std::ptrdiff_t(place)) {
            current.erase(at);
            current.insert(current.begin() + std::ptrdiff_t(place), name);
            moves.emplace_back(name, unsigned(place + 1));
        }
        ++place;
    }
    return moves;
}

std::string stagingName(const std::vector<std::string> &taken, std::string ext) {
    if (ext.size() < 2 || ext.size() > kMostExtension || ext.front() != '.')
        ext = ".tmp";
    std::set<std::string> folded;
    for (const std::string &name : taken)
        folded.insert(media::foldCase(name));
    for (unsigned n = 1;; ++n) {
        const std::string name =
            "kesto-sync-new" + (n == 1 ? std::string() : "-" + std::to_string(n)) + ext;
        if (!folded.contains(media::foldCase(name)))
            return name;
    }
}

SyncPlan planSync(const Selection &selection, const PlayerState &state,
                  const SyncSettings &settings, MetadataCache &cache) {
    SyncPlan plan;
    plan.skipped = selection.skipped;
    plan.hidden = selection.hidden;
    plan.notAudio = selection.notAudio;
    plan.totalBytes = state.totalBytes;
    plan.geometry = formattedGeometry(state.totalBytes);
    const std::uint32_t cluster = plan.geometry.clusterBytes;
    const bool shortNames = settings.plan.shortNames;
    const bool fill = settings.mode == SyncMode::Fill;
    const std::vector<PlayerFile> &files = state.files;

    // What each file of the selection is.
    std::vector<Track> tracks;
    std::vector<std::string> unreadable; // names of sources that could not be read
    for (std::size_t a = 0; a < selection.albums.size(); ++a) {
        plan.albumKeys.push_back(selection.albums[a].key);
        for (const SourceFile &file : selection.albums[a].files) {
            Track tr;
            tr.album = a;
            tr.file = file;
            bool probed = false;
            const std::string why =
                describeTrack(file, settings.plan, cache, shortNames, tr.t, probed);
            plan.probed += probed ? 1 : 0;
            if (!why.empty()) {
                plan.skipped.push_back({file.path, why});
                unreadable.push_back(tr.t.playerName);
                continue;
            }
            plan.selectionHasAudio = true;
            tr.reason = refusalOf(tr.t);
            if (!tr.reason.empty())
                tr.action = Action::Refuse;
            if (shortNames) {
                std::set<std::string> none;
                tr.shortName = shortNameOf(tr.t, none);
            }
            tracks.push_back(std::move(tr));
        }
    }

    // Which player file each is. First the name the file gets when the whole selection is
    // named on an empty memory (what an earlier sync of it gave), with its time (and size);
    // then, files sent as they are before converted ones, its own name in any case or a
    // numbered form of it with its time (and size): two files of one size and time in one
    // family of names must not take each other's place.
    const PlayerIndex index(files);
    std::map<std::string, std::vector<std::size_t>> exactNames;
    for (std::size_t i = 0; i < files.size(); ++i)
        exactNames[files[i].name].push_back(i);
    std::vector<bool> claimed(files.size(), false), shielded(files.size(), false);
    const auto claim = [&](Track &tr, std::size_t i) {
        claimed[i] = true;
        tr.match = i;
        tr.action = Action::Keep;
        tr.t.playerName = files[i].name;
    };
    {
        NameAllocator expected({});
        std::set<std::string> expectedShort;
        std::map<std::string, unsigned> nextExpected;
        for (const bool converted : {false, true})
            for (Track &tr : tracks) {
                if (tr.t.converted != converted || tr.action == Action::Refuse)
                    continue;
                const std::string name = shortNames
                                             ? shortNameOf(tr.t, expectedShort, &nextExpected)
                                             : expected.take(tr.t.playerName);
                if (const auto it = exactNames.find(name); it != exactNames.end())
                    for (const std::size_t i : it->second)
                        if (!claimed[i] && sameStamp(tr, files[i])) {
                            claim(tr, i);
                            break;
                        }
            }
    }
    for (const bool converted : {false, true})
        for (Track &tr : tracks) {
            if (tr.t.converted != converted || tr.action != Action::Send)
                continue;
            for (const std::size_t i : index.candidates(tr.t.playerName, tr.shortName))
                if (!claimed[i] && sameStamp(tr, files[i])) {
                    claim(tr, i);
                    break;
                }
        }
    // A file on the player with another levelling than asked for is sent again.
    for (Track &tr : tracks) {
        if (tr.action != Action::Keep ||
            (!tr.t.converted && media::audioKindOf(tr.file.path) != media::AudioKind::Mp3))
            continue;
        const auto it = state.levels.find(files[tr.match].name);
        const media::LevelMode was = it == state.levels.end() ? media::LevelMode::Off : it->second;
        if (was != settings.level) {
            tr.action = Action::Replace;
            tr.reason = "the volume levelling differs";
        }
    }
    // A refused file keeps every player file it could be: a delete must not remove what was
    // not replaced.
    for (const Track &tr : tracks)
        if (tr.action == Action::Refuse)
            for (const std::size_t i : index.candidates(tr.t.playerName, tr.shortName))
                shielded[i] = shielded[i] || !claimed[i];
    // So does a source that could not be read now (gone while the plan ran, or damaged).
    for (const std::string &name : unreadable)
        for (const std::size_t i : index.candidates(name, {}))
            shielded[i] = shielded[i] || !claimed[i];

    // The others get free names, as they are first; a name a player file has replaces it.
    std::map<std::string, std::vector<std::size_t>> unclaimed; // folded name -> player files
    std::set<std::string> taken;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string folded = media::foldCase(files[i].name);
        if (claimed[i] || shielded[i])
            taken.insert(folded);
        else
            unclaimed[folded].push_back(i);
    }
    NameAllocator names(taken);
    std::map<std::string, unsigned> nextShort;
    // A file whose very name a player file has gets that name before one equal but for case.
    std::vector<bool> exact(tracks.size(), false);
    for (const bool converted : {false, true})
        for (std::size_t k = 0; k < tracks.size() && !shortNames; ++k) {
            Track &tr = tracks[k];
            const auto it = unclaimed.find(media::foldCase(tr.t.playerName));
            if (tr.t.converted != converted || tr.action != Action::Send || it == unclaimed.end() ||
                it->second.size() != 1 || files[it->second.front()].name != tr.t.playerName ||
                taken.contains(it->first))
                continue;
            taken.insert(it->first);
            names.take(tr.t.playerName);
            exact[k] = true;
        }
    for (const bool converted : {false, true})
        for (std::size_t k = 0; k < tracks.size(); ++k) {
            Track &tr = tracks[k];
            if (tr.t.converted != converted || tr.action != Action::Send)
                continue;
            if (shortNames)
                tr.t.playerName = shortNameOf(tr.t, taken, &nextShort);
            else if (!exact[k]) // else its name is taken for it already
                tr.t.playerName = names.take(tr.t.playerName);
            const auto it = unclaimed.find(media::foldCase(tr.t.playerName));
            if (it == unclaimed.end())
                continue;
            if (it->second.size() > 1) {
                // Names equal but for case, which one FAT directory should not hold: which of
                // them is the file is not known, so none is replaced or deleted.
                std::string found;
                for (const std::size_t i : it->second) {
                    found += (found.empty() ? "'" : ", '") + files[i].name + "'";
                    shielded[i] = true;
                }
                tr.action = Action::Refuse;
                tr.reason = "several files of the player match it: " + found;
                continue;
            }
            const std::size_t i = it->second.front();
            if (!claimed[i] && !shielded[i]) {
                tr.match = i;
                claimed[i] = true;
                tr.action = Action::Replace;
                tr.reason = differences(tr, files[i]);
            }
        }

    // The room: before the run, and what the fit may use (deletions freed first).
    std::vector<std::string> playerNames;
    for (const PlayerFile &p : files)
        playerNames.push_back(p.name);
    const std::optional<unsigned> records =
        state.learnedRecords
            ? state.learnedRecords
            : (state.totalBytes > 0 ? std::optional(plan.geometry.rootRecords) : std::nullopt);
    plan.before = Room::of(state.freeBytes, playerNames, records);
    if (state.learnedRecords)
        plan.before.source = RoomSource::Learned;
    plan.before.capacityBytes = state.totalBytes;
    // Fill with deletions may free every player file but those it cannot touch.
    const auto deletable = [&](std::size_t i) {
        return settings.deleteExtras && !shielded[i] && (fill || !claimed[i]);
    };
    Room room = plan.before;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (deletable(i)) {
            room.freeBytes += occupiedBytes(files[i].size, cluster);
            room.usedRecords -= std::min(room.usedRecords, recordCost(files[i].name));
        }

    // The albums as the fit sees them.
    std::vector<PlanAlbum> albums(selection.albums.size());
    std::vector<std::vector<std::size_t>> trackOf(selection.albums.size());
    for (std::size_t a = 0; a < albums.size(); ++a)
        albums[a].key = selection.albums[a].key;
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        const Track &tr = tracks[k];
        if (tr.action == Action::Refuse)
            continue;
        PlanTrack t = tr.t;
        t.records = recordCost(t.playerName);
        const bool gone = tr.match != kNone && deletable(tr.match);
        if (tr.action == Action::Keep && !gone) {
            t.present = true;
        } else if (tr.action == Action::Replace && !gone) {
            const std::uint64_t was = occupiedBytes(files[tr.match].size, cluster);
            const std::uint64_t now = occupiedBytes(t.bytes, cluster);
            t.bytes = now > was ? now - was : 0;
            t.records = 0;
        } else if (tr.action == Action::Keep) {
            t.bytes = occupiedBytes(files[tr.match].size, cluster);
        } else {
            t.bytes = occupiedBytes(t.bytes, cluster);
        }
        albums[tr.album].tracks.push_back(std::move(t));
        trackOf[tr.album].push_back(k);
    }

    // Which albums go.
    std::vector<std::vector<Verdict>> verdicts(albums.size());
    if (fill) {
        const FillResult chosen =
            fillAlbums(albums, room, settings.seed, settings.history, settings.keepFreeBytes);
        for (std::size_t k = 0; k < chosen.order.size(); ++k)
            verdicts[chosen.order[k]] = chosen.fit.verdicts[k];
        plan.chosenAlbums = chosen.chosenKeys;
    } else {
        const FitResult fit = fitAlbums(albums, room, FitMode::StopAtFirst, settings.keepFreeBytes);
        verdicts = fit.verdicts;
        plan.nameCounts = filesThatFit(albums, room, taken, settings.keepFreeBytes);
    }
    std::vector<bool> stays(files.size(), false); // player files that stay or are replaced
    for (std::size_t a = 0; a < albums.size(); ++a)
        for (std::size_t j = 0; j < trackOf[a].size(); ++j) {
            Track &tr = tracks[trackOf[a][j]];
            const bool fits = verdicts[a][j] != Verdict::DidNotFit;
            if (fits && tr.match != kNone)
                stays[tr.match] = true;
            if (fits)
                continue;
            if (tr.action == Action::Keep) {
                // Not chosen by a fill that deletes: it goes with the rest.
                tr.action = Action::DidNotFit;
                tr.reason = "not chosen";
            } else {
                tr.action = Action::DidNotFit;
                tr.reason = "the memory has no room for its album";
            }
            if (tr.match != kNone && !deletable(tr.match))
                stays[tr.match] = true; // a replace that does not happen keeps the old copy
        }

    // The run: deletions, then replaces (each needs room for both copies a moment), then sends.
    Room after = plan.before;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (stays[i] || shielded[i] || !deletable(i)) {
            if (!claimed[i] && !shielded[i])
                ++plan.kept;
            continue;
        }
        SyncItem item;
        item.action = Action::Delete;
        item.playerName = files[i].name;
        item.bytes = files[i].size;
        item.records = recordCost(files[i].name);
        after.freeBytes += occupiedBytes(files[i].size, cluster);
        after.usedRecords -= std::min(after.usedRecords, item.records);
        ++plan.counts.remove;
        plan.counts.removeBytes += item.bytes;
        plan.items.push_back(std::move(item));
    }
    for (Track &tr : tracks) {
        if (tr.action != Action::Replace)
            continue;
        const std::string staging = stagingName(playerNames, extensionOf(tr.t.playerName));
        const std::uint64_t now = occupiedBytes(tr.t.bytes, cluster);
        const std::uint64_t was = occupiedBytes(files[tr.match].size, cluster);
        if (!after.holds(now, recordCost(staging))) {
            tr.action = Action::DidNotFit;
            tr.reason = "no room for the new copy beside the old one";
            continue;
        }
        after.freeBytes = after.freeBytes + was - now;
        after.usedRecords += recordCost(tr.t.playerName);
        after.usedRecords -= std::min(after.usedRecords, recordCost(files[tr.match].name));
    }
    for (const Track &tr : tracks)
        if (tr.action == Action::Send)
            after.take(occupiedBytes(tr.t.bytes, cluster), recordCost(tr.t.playerName));
    plan.after = after;

    for (const Track &tr : tracks) {
        SyncItem item;
        item.action = tr.action;
        item.source = tr.file.path;
        item.playerName = tr.t.playerName;
        if (tr.action == Action::Replace)
            item.replaces = files[tr.match].name;
        item.bytes = tr.t.bytes;
        item.records = recordCost(tr.t.playerName);
        item.converted = tr.t.converted;
        item.sampleRate = tr.t.sampleRate;
        item.reason = tr.reason;
        item.album = tr.album;
        switch (tr.action) {
        case Action::Send:
            ++plan.counts.send;
            plan.counts.convert += tr.t.converted ? 1 : 0;
            plan.counts.sendBytes += tr.t.bytes;
            break;
        case Action::Replace:
            ++plan.counts.replace;
            plan.counts.convert += tr.t.converted ? 1 : 0;
            plan.counts.sendBytes += tr.t.bytes;
            break;
        case Action::Keep:
            ++plan.counts.keep;
            break;
        case Action::DidNotFit:
            ++plan.counts.didNotFit;
            break;
        case Action::Refuse:
            ++plan.counts.refuse;
            break;
        case Action::Delete:
            break;
        }
        if (tr.action == Action::Send || tr.action == Action::Replace || tr.action == Action::Keep)
            plan.order.push_back(tr.t.playerName);
        plan.items.push_back(std::move(item));
    }
    return plan;
}

std::string LevelRecords::defaultPath() {
    const std::string history = FillHistory::defaultPath();
    return (std::filesystem::path(history).parent_path() / "sync-levels").string();
}

LevelRecords LevelRecords::load(const std::string &path) {
    LevelRecords records;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        // "M<TAB>track<TAB>name": a line of another form is left out.
        const std::size_t tab = line.find('\t', 2);
        if (line.size() < 3 || (line[0] != 'M' && line[0] != 'S') || line[1] != '\t' ||
            tab == std::string::npos)
            continue;
        const auto mode = media::parseLevelMode(std::string_view(line).substr(2, tab - 2));
        if (mode && *mode != media::LevelMode::Off)
            records.memories[line[0]][line.substr(tab + 1)] = *mode;
    }
    return records;
}

std::optional<std::string> LevelRecords::save(const std::string &path) const {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ostringstream out;
    for (const auto &[memory, files] : memories)
        for (const auto &[name, mode] : files)
            if (mode != media::LevelMode::Off && name.find('\n') == std::string::npos)
                out << memory << '\t' << media::levelModeName(mode) << '\t' << name << '\n';
    if (const auto why = media::writeWholeFile(path, out.str()))
        return "cannot write " + path + ": " + *why;
    return std::nullopt;
}

} // namespace tunara::sync
