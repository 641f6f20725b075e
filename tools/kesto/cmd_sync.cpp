// kesto sync SOURCE... M|S [--delete] [--dry-run] [--json] [--fill] [--seed N] [--keep-free BYTES]
// [--short-names] [--yes]: makes a memory of the player hold what a music library holds, whole
// albums that fit, in the library's order.
#include "memory_arg.h"
#include "music.h"
#include "player_names.h"
#include "progress.h"
#include "sync_report.h"
#include "texts/english.h"
#include "verb.h"

#include "KestoUSB.h"

#include "conversioncache.h"
#include "conversionqueue.h"
#include "levelling.h"
#include "linkfolder.h"
#include "playerformat.h"
#include "sync/selection.h"
#include "sync/syncplan.h"
#include "synclevels.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kesto {
namespace {

namespace fs = std::filesystem;
using tunara::sync::Action;
using tunara::sync::SyncItem;
using tunara::sync::SyncPlan;

constexpr std::string_view kUsage = help::command("sync").usage;
constexpr std::string_view kVerb = "sync";
constexpr uint32_t kProgressStep = 10000; // as the program: a post per block after 10,000 bytes
// A delete of more files than this, or of more than half the memory, is asked for first.
constexpr size_t kMostQuietDeletes = 20;
constexpr int kMostNumberDigits = 19;

std::vector<tunara::sync::PlayerFile> playerFiles(const KSUSB_TOpenTable &t) {
    std::vector<tunara::sync::PlayerFile> out;
    for (unsigned i = 0; i < t.count; ++i)
        out.push_back(
            {entryName(t.entries[i]), t.entries[i].size, t.entries[i].date, t.entries[i].time});
    return out;
}

std::vector<std::string> names(const std::vector<tunara::sync::PlayerFile> &files) {
    std::vector<std::string> out;
    for (const auto &f : files)
        out.push_back(f.name);
    return out;
}

std::vector<std::string> tableNames(unsigned char mem) {
    return names(playerFiles(*copyTable(mem)));
}

bool onPlayer(unsigned char mem, const std::string &name) {
    const std::vector<std::string> now = tableNames(mem);
    return std::find(now.begin(), now.end(), name) != now.end();
}

// The table as a dry run expects it after the plan: deleted and replaced files gone, sent ones
// at the end (a real player may put a new file into a freed place; the real run orders what it
// finds).
std::vector<std::string> expectedNames(const std::vector<tunara::sync::PlayerFile> &table,
                                       const SyncPlan &plan) {
    std::vector<std::string> out = names(table);
    for (const SyncItem &s : plan.items)
        if (s.action == Action::Delete)
            std::erase(out, s.playerName);
        else if (s.action == Action::Replace)
            std::erase(out, s.replaces);
    for (const SyncItem &s : plan.items)
        if (s.action == Action::Send || s.action == Action::Replace)
            out.push_back(s.playerName);
    return out;
}

// Sends the PC file `path` under its file name, with the progress bar for `label` on a
// terminal; 0 or the library's error code.
int send(unsigned char mem, const std::string &path, const std::string &label, Report &report) {
    ProgressBar bar = terminalBar(label);
    const auto started = std::chrono::steady_clock::now();
    const int code = followTransfer(
        [&](KSNotifyTarget *window) {
            return KSUSB_Download(mem, path.c_str(), window, kProgressStep);
        },
        bar);
    report.addSendingTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return code;
}

// Replaces the player's copy without losing it before the new one has arrived: the new copy is
// sent under a staging name, then the old one is deleted and the new one renamed into its
// place. Where a step fails the result says where both copies are.
ReplaceResult replace(unsigned char mem, const SyncItem &s, const SyncPlan &plan,
                      const fs::path &file, tunara::media::LinkFolder &links, Report &report) {
    ReplaceResult r;
    // The library finds names in its cached table: every change must reach it. When it cannot
    // be read, the step ends with the last-error code (already reported) where it stands.
    const auto fresh = [&] {
        r.lost = !refreshTable(kVerb, mem, false);
        if (r.lost && r.code == 0) {
            r.code = KSUSB_GetLastError();
            r.told = true;
        }
        return !r.lost;
    };
    std::vector<std::string> taken = tableNames(mem);
    for (const SyncItem &other : plan.items)
        taken.push_back(other.playerName);
    const size_t dot = s.playerName.rfind('.');
    const std::string staging = tunara::sync::stagingName(
        taken, dot == std::string::npos ? std::string() : s.playerName.substr(dot));
    const std::string newThere = "; the new copy is on the player as " + staging;
    r.oldAs = s.replaces;
    r.outcome = "the player's " + s.replaces + " is kept as it was";
    const std::string link = links.link(file, staging);
    if (link.empty()) {
        std::fprintf(stderr, "kesto sync: %s: no link for sending it as %s: %s\n", s.source.c_str(),
                     staging.c_str(), std::strerror(errno));
        r.code = KSUSB_ERR_OPEN_FILE;
        return r;
    }
    r.code = send(mem, link, fileName(s.source), report);
    ::unlink(link.c_str());
    if (r.code != 0) {
        // A player may keep what arrived of a failed file: that part must not stay.
        if (fresh() && onPlayer(mem, staging)) {
            if (KSUSB_DeleteFileInMemory(mem, staging.c_str()) == 0)
                r.outcome += "; a part of the new copy is on the player as " + staging;
            fresh();
        }
        return r;
    }
    r.sent = true;
    r.newAs = staging;
    if (!fresh()) {
        r.outcome += newThere;
        return r;
    }
    if (KSUSB_DeleteFileInMemory(mem, s.replaces.c_str()) == 0) {
        r.code = KSUSB_GetLastError();
        r.outcome = "the player's " + s.replaces + " could not be deleted and is kept";
        if (KSUSB_DeleteFileInMemory(mem, staging.c_str()) == 0) {
            r.outcome += newThere;
        } else {
            r.outcome += "; the new copy was removed";
            r.sent = false;
            r.newAs.clear();
        }
        fresh();
        return r;
    }
    r.oldAs.clear();
    r.outcome = "the player's " + s.replaces + " was deleted" + newThere;
    if (!fresh())
        return r;
    std::vector<char> name(s.playerName.begin(), s.playerName.end()); // the library takes a buffer
    name.push_back('\0');
    if (KSUSB_RenameInMemory(mem, staging.c_str(), name.data()) == 0) {
        r.code = KSUSB_GetLastError();
        fresh();
        return r;
    }
    r.newAs.clear();
    r.outcome.clear();
    r.lost = !refreshTable(kVerb, mem, false); // the replace itself is done
    return r;
}

// Takes "--seed N" or "--keep-free BYTES" at args[i]: nullopt when args[i] is neither, else ""
// or the usage problem.
std::optional<std::string> takeNumberOption(std::span<const std::string> args, size_t &i,
                                            std::optional<uint64_t> &seed, uint64_t &keepFree) {
    const std::string &a = args[i];
    if (a != "--seed" && a != "--keep-free")
        return std::nullopt;
    if (i + 1 >= args.size())
        return a + " takes a number";
    const std::string &value = args[++i];
    const bool digits = !value.empty() && value.size() <= kMostNumberDigits &&
                        value.find_first_not_of("0123456789") == std::string::npos;
    if (!digits)
        return a + " takes a number, not '" + value + "'";
    const uint64_t n = std::stoull(value);
    if (a == "--seed")
        seed = n;
    else
        keepFree = n;
    return std::string();
}

// Whether the user lets the run delete what the plan deletes: many files, or much of the
// memory, are asked for on a terminal, or need --yes.
bool deletesAllowed(const SyncPlan &plan, bool yes, unsigned char mem) {
    const auto &c = plan.counts;
    if (c.remove == 0 || yes ||
        (c.remove <= kMostQuietDeletes && c.removeBytes * 2 <= plan.totalBytes))
        return true;
    const std::string what = "delete " + std::to_string(c.remove) + " file(s), " +
                             formatBytes(c.removeBytes) + ", from " + memoryLabel(mem);
    if (::isatty(STDIN_FILENO) == 0) {
        std::fprintf(stderr, "kesto sync: the sync would %s; add --yes to let it\n", what.c_str());
        return false;
    }
    std::fprintf(stderr, "kesto sync: %s? [y/N] ", what.c_str());
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

int sync(std::span<const std::string> allArgs) {
    ConvertChoice choice;
    std::optional<uint64_t> seed;
    uint64_t keepFree = 0;
    std::vector<std::string> args;
    for (size_t i = 0; i < allArgs.size(); ++i) {
        if (const auto problem = takeConvertOption(allArgs, i, choice)) {
            if (!problem->empty())
                return usageError(kVerb, *problem, kUsage);
        } else if (const auto bad = takeNumberOption(allArgs, i, seed, keepFree)) {
            if (!bad->empty())
                return usageError(kVerb, *bad, kUsage);
        } else {
            args.push_back(allArgs[i]);
        }
    }
    std::string unknown;
    const auto parsed = parseArgs(
        args, {"--delete", "--dry-run", "--json", "--fill", "--short-names", "--yes"}, unknown);
    if (!parsed)
        return usageError(kVerb, "unknown option " + unknown, kUsage);
    if (parsed->operands.size() < 2)
        return usageError(kVerb, "expected folders or playlists and a memory", kUsage);
    const auto mem = memoryOperand(parsed->operands.back());
    if (!mem)
        return usageError(kVerb, "the memory is M (flash) or S (card)", kUsage);
    const bool dryRun = parsed->has("--dry-run");
    const bool fill = parsed->has("--fill");
    if (seed && !fill)
        return usageError(kVerb, "--seed goes with --fill", kUsage);
    const std::vector<std::string> inputs(parsed->operands.begin(), parsed->operands.end() - 1);
    for (const std::string &input : inputs) {
        struct stat st {};
        if (::stat(input.c_str(), &st) != 0) {
            std::fprintf(stderr, "kesto sync: %s: %s\n", terminalText(input).c_str(),
                         std::strerror(errno));
            return kExitFailed;
        }
        if (!S_ISDIR(st.st_mode) && !tunara::sync::isPlaylistPath(input))
            return usageError(kVerb, input + " is neither a folder nor a playlist (.m3u, .m3u8)",
                              kUsage);
    }

    tunara::sync::MetadataCache metadata(tunara::sync::MetadataCache::defaultDir());
    const tunara::sync::Selection selection =
        tunara::sync::selectionOf(inputs, metadata.trackNumbers());
    // A folder that could not be read (gone, unplugged) ends the run before anything changes:
    // its files would count as outside the library.
    for (const auto &skip : selection.skipped)
        if (skip.reason == "cannot be read" && !tunara::sync::isPlaylistPath(skip.path)) {
            std::fprintf(stderr, "kesto sync: %s: cannot be read; nothing changed\n",
                         terminalText(skip.path).c_str());
            return kExitFailed;
        }
    if (!refreshTable(kVerb, *mem, false))
        return kExitFailed;
    const int model = connectedModel();
    if (const std::string problem = settingsProblem(choice, model, *mem); !problem.empty()) {
        std::fprintf(stderr, "kesto sync: %s\n", problem.c_str());
        return kExitUsage;
    }
    const auto table = copyTable(*mem);
    tunara::sync::PlayerState state;
    state.files = playerFiles(*table);
    state.totalBytes = table->total;
    state.freeBytes = table->free;
    const std::string levelsPath = tunara::sync::LevelRecords::defaultPath();
    tunara::sync::LevelRecords levelRecords = tunara::sync::LevelRecords::load(levelsPath);
    state.levels = levelRecords.memories[char(*mem)];

    tunara::sync::SyncSettings settings;
    settings.plan.model = model;
    settings.plan.memory = *mem;
    settings.plan.convert = choice.settings;
    settings.plan.shortNames = parsed->has("--short-names");
    settings.plan.asIs = !choice.convert;
    settings.mode = fill ? tunara::sync::SyncMode::Fill : tunara::sync::SyncMode::Mirror;
    settings.deleteExtras = parsed->has("--delete");
    settings.keepFreeBytes = keepFree;
    settings.level = choice.settings.level;
    const std::string historyPath = tunara::sync::FillHistory::defaultPath();
    if (fill) {
        std::string note;
        settings.history = tunara::sync::FillHistory::load(historyPath, &note);
        if (!note.empty())
            std::fprintf(stderr, "kesto sync: %s\n", note.c_str());
        settings.seed =
            seed ? *seed : uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    }
    const SyncPlan plan = tunara::sync::planSync(selection, state, settings, metadata);
    if (!plan.selectionHasAudio) {
        std::string where;
        for (const std::string &input : inputs)
            where += (where.empty() ? "" : ", ") + input;
        std::fprintf(stderr, "kesto sync: no audio files in %s%s\n", terminalText(where).c_str(),
                     settings.deleteExtras ? "; nothing is deleted" : "");
        return settings.deleteExtras ? kExitUsage : kExitFailed;
    }
    const auto expectedMoves =
        tunara::sync::orderMoves(expectedNames(state.files, plan), plan.order);

    Report report(*mem, dryRun, parsed->has("--json"));
    if (dryRun) {
        for (const SyncItem &s : plan.items)
            report.step(s);
        for (const auto &[name, position] : expectedMoves)
            report.move(name, position);
        report.summary(plan, settings.plan.shortNames);
        return report.anyFailed() ? kExitFailed : kExitOk;
    }

    const bool changes = !expectedMoves.empty() ||
                         std::any_of(plan.items.begin(), plan.items.end(), [](const SyncItem &s) {
                             return s.action == Action::Send || s.action == Action::Replace ||
                                    s.action == Action::Delete;
                         });
    if (changes && *mem == KSUSB_MEM_CARD && (InvokePlayer() & KSUSB_FLAG_CARD_PROTECTED) != 0) {
        std::fprintf(
            stderr, "kesto sync: %s\n",
            std::string(tunara::texts::english(tunara::res::StrId::ExternalProtected)).c_str());
        return kExitFailed;
    }
    if (!deletesAllowed(plan, parsed->has("--yes"), *mem))
        return kExitUsage;

    // Every file goes through a link of the name it gets, in a folder of short path: the
    // library takes paths of at most 255 bytes, however deep the library lies.
    tunara::media::LinkFolder links("kesto-send");
    tunara::media::ConversionCache cache(tunara::media::ConversionCache::defaultDir());
    // The run: deletions, replaces, then sends, each in the plan's order; conversions run
    // ahead of the sends, in their order.
    std::vector<size_t> run;
    for (const Action pass :
         {Action::Delete, Action::Refuse, Action::DidNotFit, Action::Replace, Action::Send})
        for (size_t k = 0; k < plan.items.size(); ++k)
            if (plan.items[k].action == pass)
                run.push_back(k);
    std::unique_ptr<tunara::media::ConversionQueue> queue;
    std::vector<size_t> jobs(plan.items.size());
    std::vector<bool> queued(plan.items.size(), false);
    // With levelling, an MP3 the player plays goes as a levelled copy made in the cache; an
    // album's gain is measured over every file of it that the player holds after the run.
    const tunara::media::LevelMode level = choice.settings.level;
    const std::vector<tunara::sync::ItemAlbum> albums = tunara::sync::itemAlbums(
        plan, choice.settings,
        std::make_shared<tunara::media::LoudnessCache>(tunara::media::LoudnessCache::defaultDir()));
    for (const size_t k : run) {
        const SyncItem &s = plan.items[k];
        if ((s.action != Action::Send && s.action != Action::Replace) ||
            !tunara::sync::throughConverter(s, level))
            continue;
        if (!queue)
            queue = std::make_unique<tunara::media::ConversionQueue>(
                cache, choice.settings, 0, 0, terminalConversionBars().reporter());
        const tunara::media::ConvertSettings perFile =
            tunara::sync::itemSettings(s, choice.settings);
        jobs[k] = albums[k].levels
                      ? queue->add(s.source, perFile, albums[k].levels, albums[k].index)
                      : queue->add(s.source, perFile);
        queued[k] = true;
    }
    std::map<std::string, tunara::media::LevelMode> sentWith; // player names this run sent
    bool stopped = false, namesFull = false;
    // Ctrl-C between two steps (while the table is read) ends the run before the next one.
    InterruptGuard interrupt;
    for (const size_t k : run) {
        if (interrupt.interrupted()) {
            std::fprintf(stderr, "kesto sync: stopped\n");
            return kExitInterrupted;
        }
        SyncItem s = plan.items[k];
        if (namesFull && s.action == Action::Send) {
            report.noNameRoom(s);
            continue;
        }
        std::string cached; // the converted file sent in the source's place
        if (queued[k]) {
            const auto awaited = awaitConversion(*queue, jobs[k], s.source);
            if (!awaited) {
                std::fprintf(stderr, "kesto sync: stopped while converting %s\n", s.source.c_str());
                return kExitInterrupted; // the queue, the links and their folder go on the way
            }
            const tunara::media::ConversionResult &r = *awaited;
            if (const auto *failure = std::get_if<tunara::media::ConvertFailure>(&r)) {
                s.action = Action::Refuse;
                // The message names the source first: the step names it already.
                const size_t after = failure->message.find(": ");
                s.reason = after == std::string::npos ? failure->message
                                                      : failure->message.substr(after + 2);
            } else {
                const auto &file = std::get<tunara::media::CachedFile>(r);
                for (const std::string &note : file.notes)
                    std::fprintf(stderr, "kesto sync: %s\n", note.c_str());
                cached = file.path;
                s.bytes = file.size;
            }
        }
        report.step(s);
        if (s.action == Action::Refuse || s.action == Action::DidNotFit)
            continue;
        if (s.action == Action::Delete) {
            if (KSUSB_DeleteFileInMemory(*mem, s.playerName.c_str()) == 0) {
                report.failed(s, KSUSB_GetLastError());
                continue;
            }
            // The library finds names in its cached table: the deleted name must leave it.
            if (!refreshTable(kVerb, *mem, false))
                return kExitFailed;
            report.done(s);
            continue;
        }
        const fs::path file = cached.empty() ? fs::absolute(s.source) : fs::path(cached);
        int code = 0;
        if (s.action == Action::Replace) {
            const ReplaceResult r = replace(*mem, s, plan, file, links, report);
            if (r.outcome.empty()) {
                report.done(s);
                sentWith[s.playerName] = level;
            } else
                report.replaceFailed(s, r);
            if (r.lost)
                return kExitFailed;
            code = r.code;
        } else {
            const std::string link = links.link(file, s.playerName);
            if (link.empty())
                std::fprintf(stderr, "kesto sync: %s: no link for sending it as %s: %s\n",
                             s.source.c_str(), s.playerName.c_str(), std::strerror(errno));
            code =
                link.empty() ? KSUSB_ERR_OPEN_FILE : send(*mem, link, fileName(s.source), report);
            if (!link.empty())
                ::unlink(link.c_str());
            if (code == KSUSB_ERR_NAME_AREA_FULL) {
                // The directory holds fewer names than planned: no more new names fit.
                namesFull = true;
                report.noNameRoom(s);
            } else if (code != 0) {
                report.failed(s, code);
            } else {
                report.done(s);
                sentWith[s.playerName] = level;
            }
            // The next file's short name must not collide with the one just sent.
            if (!refreshTable(kVerb, *mem, false))
                return kExitFailed;
            // A player may keep what arrived of a failed file: that part must not stay (a
            // later run would find it under the file's name, with its size and time).
            if (code != 0 && onPlayer(*mem, s.playerName)) {
                if (KSUSB_DeleteFileInMemory(*mem, s.playerName.c_str()) == 0)
                    std::fprintf(stderr, "kesto sync: %s: a part of it is on the player as %s\n",
                                 terminalText(fileName(s.source)).c_str(),
                                 terminalText(s.playerName).c_str());
                else if (!refreshTable(kVerb, *mem, false))
                    return kExitFailed;
            }
        }
        if (!cached.empty())
            cache.release(cached);
        if (code == KSUSB_ERR_STOPPED) {
            stopped = true;
            if (queue)
                queue->stop();
            break;
        }
    }

    if (!stopped) {
        // The play order of what the player now holds: the library's files first, in order.
        const auto moves = tunara::sync::orderMoves(tableNames(*mem), plan.order);
        for (const auto &[name, position] : moves) {
            report.move(name, position);
            if (KSUSB_ReplaceInMemory(*mem, name.c_str(), static_cast<unsigned char>(position)) ==
                0)
                report.failedMove(name, KSUSB_GetLastError());
        }
        // What each file on the player now was sent with, for the next run's comparison.
        auto &records = levelRecords.memories[char(*mem)];
        const std::map<std::string, tunara::media::LevelMode> now =
            tunara::sync::recordsAfterRun(records, tableNames(*mem), sentWith);
        if (now != records) {
            records = now;
            if (const auto error = levelRecords.save(levelsPath))
                std::fprintf(stderr, "kesto sync: the levelling records were not kept: %s\n",
                             error->c_str());
        }
        if (fill) {
            tunara::sync::FillHistory history = settings.history;
            history.add(plan.chosenAlbums);
            if (const auto error = history.save(historyPath))
                std::fprintf(stderr, "kesto sync: the fill's history was not kept: %s\n",
                             error->c_str());
        }
    }
    report.summary(plan, settings.plan.shortNames);
    return report.anyFailed() || stopped ? kExitFailed : kExitOk;
}

const Verb registration(help::command("sync"), sync);

} // namespace
} // namespace kesto
