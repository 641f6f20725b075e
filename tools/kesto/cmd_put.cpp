// kesto put [-m M|S] [conversion options] FILE|FOLDER...: downloads PC files into a memory of the
// player; folders give their music in album order, audio the player cannot play is converted.
#include "memory_arg.h"
#include "music.h"
#include "player_names.h"
#include "progress.h"
#include "verb.h"

#include "conversioncache.h"
#include "conversionqueue.h"
#include "folderscan.h"
#include "linkfolder.h"
#include "loudnesscache.h"
#include "playerformat.h"

#include "KestoUSB.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace kesto {
namespace {

namespace fs = std::filesystem;
using namespace tunara::media;

constexpr std::string_view kVerb = "put";
// The step the program uses too: the first progress post after 10,000 bytes.
constexpr uint32_t kProgressStep = 10000;

struct Item {
    std::string path;
    bool convert = false;   // sent as an MP3 made from it
    bool level = false;     // an MP3 sent as it is, but for its gain (levelled losslessly)
    std::string reason;     // why it is converted
    std::string playerName; // the long name it gets on the player
    size_t job = 0;         // its conversion in the queue
};

struct Counts {
    size_t hidden = 0, notAudio = 0, sent = 0, converted = 0, failed = 0;
};

// Puts the items that are converted or levelled into the queue, in their order. With levelling
// by album, the files of one folder among them are measured together, by the first of their
// conversions that runs.
void addConversions(std::vector<Item> &items, const ConvertSettings &settings,
                    ConversionCache &cache, std::unique_ptr<ConversionQueue> &queue) {
    struct Album {
        std::vector<LevelSource> files;
        std::shared_ptr<AlbumLevels> levels;
    };
    std::map<std::string, Album> albums; // by folder
    const auto folderOf = [](const std::string &path) {
        std::error_code ec;
        return fs::absolute(path, ec).lexically_normal().parent_path().string();
    };
    const bool byAlbum = settings.level == LevelMode::Album;
    // What earlier runs measured of an album in its present state is not measured again.
    const auto loudness = std::make_shared<const LoudnessCache>(LoudnessCache::defaultDir());
    if (byAlbum)
        for (const Item &item : items)
            if (item.convert || item.level)
                albums[folderOf(item.path)].files.push_back(
                    LevelSource{item.path, PeakMode::Sample, settings.useStoredGain});
    std::map<std::string, std::size_t> taken; // files of each album given a job so far
    for (Item &item : items) {
        if (!item.convert && !item.level)
            continue;
        if (!queue)
            queue = std::make_unique<ConversionQueue>(cache, settings, 0, 0,
                                                      terminalConversionBars().reporter());
        ConvertSettings own = settings;
        own.keepEncoding = item.level;
        if (!byAlbum) {
            item.job = queue->add(item.path, own);
            continue;
        }
        const std::string folder = folderOf(item.path);
        Album &album = albums[folder];
        if (!album.levels)
            album.levels = std::make_shared<AlbumLevels>(album.files, loudness);
        item.job = queue->add(item.path, own, album.levels, taken[folder]++);
    }
}

int put(std::span<const std::string> args) {
    unsigned char mem = KSUSB_MEM_FLASH;
    ConvertChoice choice;
    std::vector<std::string> operands;
    bool operandsOnly = false; // after "--" every argument is a file (names may start with '-')
    for (size_t i = 0; i < args.size(); ++i) {
        if (operandsOnly) {
            operands.push_back(args[i]);
        } else if (args[i] == "--") {
            operandsOnly = true;
        } else if (args[i] == "-m") {
            const auto parsed = i + 1 < args.size() ? memoryOperand(args[i + 1]) : std::nullopt;
            if (!parsed) {
                std::fprintf(stderr, "kesto put: -m takes M or S\n");
                return kExitUsage;
            }
            mem = *parsed;
            ++i;
        } else if (const auto problem = takeConvertOption(args, i, choice)) {
            if (!problem->empty())
                return usageError(kVerb, *problem, help::command("put").usage);
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError(kVerb, std::string("unknown option ") + args[i],
                              help::command("put").usage);
        } else {
            operands.push_back(args[i]);
        }
    }
    if (operands.empty())
        return usageError(kVerb, "no file given", help::command("put").usage);

    Counts counts;
    std::vector<Item> items;
    bool listed = true;
    for (const std::string &operand : operands) {
        std::error_code ec;
        if (!fs::is_directory(operand, ec)) {
            Item named;
            named.path = operand;
            items.push_back(std::move(named));
            continue;
        }
        FolderScan scan = scanFolder(operand);
        for (const std::string &e : scan.errors) {
            std::fprintf(stderr, "kesto put: %s\n", e.c_str());
            listed = false;
        }
        counts.hidden += scan.hidden;
        counts.notAudio += scan.notAudio;
        if (scan.files.empty() && scan.errors.empty()) {
            std::fprintf(stderr, "kesto put: no audio files in %s\n",
                         terminalText(operand).c_str());
            listed = false;
        }
        for (std::string &f : scan.files) {
            Item found;
            found.path = std::move(f);
            items.push_back(std::move(found));
        }
    }

    if (items.empty())
        return kExitFailed; // nothing to send: the player is not touched

    // The library checks names against its cached table, so it must be fresh, and fresh again
    // after each file: the next file's short name must not collide with the one just sent.
    if (!refreshTable(kVerb, mem, false))
        return kExitFailed;
    const int model = connectedModel();
    if (const std::string problem = settingsProblem(choice, model, mem); !problem.empty()) {
        std::fprintf(stderr, "kesto put: %s\n", problem.c_str());
        return kExitUsage;
    }

    // The player's folder is flat and its FAT compares names without regard to letter case: a
    // name the run already gave or one the player holds, in any case, gets a free name instead.
    std::set<std::string> onPlayer, inRun;
    // A file that cannot fit the memory fails before it is converted.
    ConvertSettings settings = choice.settings;
    {
        const auto table = copyTable(mem);
        for (unsigned k = 0; k < table->count; ++k)
            onPlayer.insert(foldCase(entryName(table->entries[k])));
        settings.roomBytes = table->free;
    }
    ConversionCache cache(ConversionCache::defaultDir());
    std::unique_ptr<ConversionQueue> queue;
    for (Item &item : items) {
        if (choice.convert) {
            RouteDecision route = routeFor(item.path, model, mem);
            item.convert = route.route == Route::Convert;
            item.reason = std::move(route.reason);
        }
        // Named as the player will keep it (legal characters, 80 bytes), before any conversion,
        // so that the name meets the names it would take.
        const std::string desired = item.convert ? convertedName(item.path) : sentName(item.path);
        std::set<std::string> taken = inRun;
        taken.insert(onPlayer.begin(), onPlayer.end());
        item.playerName = freeName(desired, taken);
        inRun.insert(foldCase(item.playerName));
        if (!item.convert && choice.settings.level != LevelMode::Off) {
            item.level = audioKindOf(item.path) == AudioKind::Mp3;
            if (!item.level)
                std::fprintf(stderr,
                             "kesto put: %s: sent as it is, not levelled (only MP3 files and "
                             "converted files are)\n",
                             terminalText(item.path).c_str());
        }
    }
    addConversions(items, settings, cache, queue);

    LinkFolder links("kesto-send");
    int result = listed ? kExitOk : kExitFailed;
    std::vector<std::string> missed; // the files that failed, in their order
    const auto failed = [&](const Item &item) {
        ++counts.failed;
        result = kExitFailed;
        missed.push_back(item.path);
    };
    // Once the player is gone every further file would fail the same way: the run ends and
    // lists every file that did not arrive.
    const auto abandon = [&](size_t from) {
        result = kExitFailed;
        for (size_t k = from; k < items.size(); ++k)
            failed(items[k]);
        if (missed.empty())
            return;
        std::fprintf(stderr, "kesto put: did not arrive:\n");
        for (const std::string &path : missed)
            std::fprintf(stderr, "  %s\n", terminalText(path).c_str());
    };
    // Ctrl-C between two files (while the table is read) ends the run before the next one.
    InterruptGuard interrupt;
    for (size_t at = 0; at < items.size(); ++at) {
        const Item &item = items[at];
        if (interrupt.interrupted()) {
            std::fprintf(stderr, "kesto put: stopped\n");
            abandon(at);
            return kExitInterrupted;
        }
        std::string send = item.path;
        std::string cached;
        if (item.convert || item.level) {
            const std::optional<ConversionResult> awaited =
                awaitConversion(*queue, item.job, item.path);
            if (!awaited) {
                std::fprintf(stderr, "kesto put: stopped while converting %s\n",
                             terminalText(item.path).c_str());
                abandon(at);
                return kExitInterrupted; // the queue, the links and their folder go on the way
            }
            const ConversionResult &converted = *awaited;
            if (const auto *failure = std::get_if<ConvertFailure>(&converted)) {
                std::fprintf(stderr, "kesto put: %s\n", failure->message.c_str());
                failed(item);
                continue;
            }
            const CachedFile &file = std::get<CachedFile>(converted);
            for (const std::string &note : file.notes)
                std::fprintf(stderr, "kesto put: %s\n", note.c_str());
            send = cached = file.path;
        }
        std::string link;
        if (item.convert || item.level ||
            item.playerName != fs::path(item.path).filename().string()) {
            std::error_code ec;
            link = links.link(fs::absolute(send, ec), item.playerName);
            if (link.empty()) {
                std::fprintf(stderr, "kesto put: %s: no link for sending it as %s: %s\n",
                             terminalText(item.path).c_str(), terminalText(item.playerName).c_str(),
                             std::strerror(errno));
                failed(item);
                if (!cached.empty())
                    cache.release(cached);
                continue;
            }
            send = link;
        }
        ProgressBar bar = terminalBar(item.path);
        const int code = followTransfer(
            [&](KSNotifyTarget *window) {
                return KSUSB_Download(mem, send.c_str(), window, kProgressStep);
            },
            bar);
        if (!link.empty())
            ::unlink(link.c_str());
        // The library cannot tell the source from the converted copy it was handed: a copy
        // removed from the cache (by hand: runs hold theirs) must not read as a missing source.
        const bool copyGone =
            code == KSUSB_ERR_OPEN_FILE && !cached.empty() && ::access(cached.c_str(), R_OK) != 0;
        if (!cached.empty())
            cache.release(cached);
        if (copyGone)
            std::fprintf(stderr,
                         "kesto put: %s: its converted copy left the cache before it was "
                         "sent; put it again to convert it anew\n",
                         terminalText(item.path).c_str());
        else if (code != 0)
            reportFailure(kVerb, code, item.path);
        if (code != 0) {
            if (code == KSUSB_ERR_NOT_CONNECTED) { // the player is gone
                abandon(at);
                break;
            }
            if (code == KSUSB_ERR_STOPPED) {
                abandon(at);
                break;
            }
            failed(item);
            continue;
        }
        ++counts.sent;
        const std::string shown = terminalText(item.path);
        if (item.convert) {
            ++counts.converted;
            std::printf("%s -> %c as %s (converted: %s)\n", shown.c_str(), mem,
                        terminalText(item.playerName).c_str(), item.reason.c_str());
        } else if (item.level) {
            std::printf("%s -> %c as %s (levelled)\n", shown.c_str(), mem,
                        terminalText(item.playerName).c_str());
        } else if (item.playerName != fs::path(item.path).filename().string()) {
            std::printf("%s -> %c as %s\n", shown.c_str(), mem,
                        terminalText(item.playerName).c_str());
        } else {
            std::printf("%s -> %c\n", shown.c_str(), mem);
        }
        std::fflush(stdout);
        if (!refreshTable(kVerb, mem, false)) {
            abandon(at + 1);
            break;
        }
    }
    if (queue)
        queue->stop();
    if (items.size() > 1 || counts.hidden + counts.notAudio > 0)
        std::printf("%c (%s): sent %zu file(s), %zu converted, %zu failed; skipped %zu hidden, "
                    "%zu not audio\n",
                    mem, memoryLabel(mem), counts.sent, counts.converted, counts.failed,
                    counts.hidden, counts.notAudio);
    return result;
}

const Verb registration(help::command("put"), put);

} // namespace
} // namespace kesto
