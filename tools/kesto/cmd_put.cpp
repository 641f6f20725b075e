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
#include "playerformat.h"

#include "KestoUSB.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
    bool named = false;     // given on the command line, not found in a folder
    bool convert = false;   // sent as an MP3 made from it
    std::string reason;     // why it is converted
    std::string playerName; // the long name it gets on the player
    size_t job = 0;         // its conversion in the queue
};

struct Counts {
    size_t hidden = 0, notAudio = 0, sent = 0, converted = 0, failed = 0;
};

int put(std::span<const std::string> args) {
    unsigned char mem = KSUSB_MEM_FLASH;
    ConvertChoice choice;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-m") {
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
            named.named = true;
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
        for (std::string &f : scan.files) {
            Item found;
            found.path = std::move(f);
            items.push_back(std::move(found));
        }
    }

    // The library checks names against its cached table, so it must be fresh, and fresh again
    // after each file: the next file's short name must not collide with the one just sent.
    if (!refreshTable(kVerb, mem, false))
        return kExitFailed;
    const int model = connectedModel();
    if (const std::string problem = settingsProblem(choice, model, mem); !problem.empty()) {
        std::fprintf(stderr, "kesto put: %s\n", problem.c_str());
        return kExitUsage;
    }

    // The player's folder is flat: a name the run already gave, or (for a file found in a
    // folder or converted) one the player holds, gets a free name instead; a file named on the
    // command line under its own name is refused by the library when the player holds it.
    std::set<std::string> onPlayer, inRun;
    {
        const auto table = copyTable(mem);
        for (unsigned k = 0; k < table->count; ++k)
            onPlayer.insert(foldCase(entryName(table->entries[k])));
    }
    ConversionCache cache(ConversionCache::defaultDir());
    std::unique_ptr<ConversionQueue> queue;
    for (Item &item : items) {
        if (choice.convert) {
            RouteDecision route = routeFor(item.path, model, mem);
            item.convert = route.route == Route::Convert;
            item.reason = std::move(route.reason);
        }
        const std::string own = fs::path(item.path).filename().string();
        // Named as the player will keep it, so that a long name meets the names it would take.
        const std::string desired = item.convert ? convertedName(item.path) : fitLongName(own);
        if (item.named && !item.convert) {
            item.playerName = freeName(desired, inRun);
        } else {
            std::set<std::string> taken = inRun;
            taken.insert(onPlayer.begin(), onPlayer.end());
            item.playerName = freeName(desired, taken);
            inRun.insert(foldCase(item.playerName));
        }
        if (item.convert) {
            if (!queue)
                queue = std::make_unique<ConversionQueue>(cache, choice.settings, 0, 0,
                                                          terminalConversionBars().reporter());
            item.job = queue->add(item.path);
        }
    }

    LinkFolder links("kesto-send");
    int result = listed ? kExitOk : kExitFailed;
    for (const Item &item : items) {
        std::string send = item.path;
        std::string cached;
        if (item.convert) {
            std::error_code sizeError;
            const auto sourceSize = fs::file_size(item.path, sizeError);
            terminalConversionBars().await(item.job, item.path, sizeError ? 0 : sourceSize);
            ConversionResult converted = queue->wait(item.job);
            terminalConversionBars().finish();
            if (const auto *failure = std::get_if<ConvertFailure>(&converted)) {
                std::fprintf(stderr, "kesto put: %s\n", failure->message.c_str());
                ++counts.failed;
                result = kExitFailed;
                continue;
            }
            const CachedFile &file = std::get<CachedFile>(converted);
            for (const std::string &note : file.notes)
                std::fprintf(stderr, "kesto put: %s\n", note.c_str());
            send = cached = file.path;
        }
        std::string link;
        if (item.convert || item.playerName != fs::path(item.path).filename().string()) {
            std::error_code ec;
            link = links.link(fs::absolute(send, ec), item.playerName);
            if (link.empty()) {
                std::fprintf(stderr, "kesto put: %s: no link for sending it as %s: %s\n",
                             item.path.c_str(), item.playerName.c_str(), std::strerror(errno));
                ++counts.failed;
                result = kExitFailed;
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
        if (!cached.empty())
            cache.release(cached);
        if (code != 0) {
            reportFailure(kVerb, code, item.path);
            ++counts.failed;
            result = kExitFailed;
            if (code == KSUSB_ERR_STOPPED)
                break;
            continue;
        }
        ++counts.sent;
        if (item.convert) {
            ++counts.converted;
            std::printf("%s -> %c as %s (converted: %s)\n", item.path.c_str(), mem,
                        item.playerName.c_str(), item.reason.c_str());
        } else if (item.playerName != fs::path(item.path).filename().string()) {
            std::printf("%s -> %c as %s\n", item.path.c_str(), mem, item.playerName.c_str());
        } else {
            std::printf("%s -> %c\n", item.path.c_str(), mem);
        }
        std::fflush(stdout);
        if (!refreshTable(kVerb, mem, false))
            return kExitFailed;
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
