// kesto sync DIR M|S [--delete] [--dry-run] [--json]: makes a memory of the player hold what a
// local folder holds.
#include "memory_arg.h"
#include "music.h"
#include "player_names.h"
#include "progress.h"
#include "sync_plan.h"
#include "texts/english.h"
#include "verb.h"

#include "KestoUSB.h"

#include "conversioncache.h"
#include "conversionqueue.h"
#include "linkfolder.h"
#include "playerformat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kesto {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUsage = help::command("sync").usage;
constexpr std::string_view kVerb = "sync";
constexpr uint32_t kProgressStep = 10000; // as the program: a post per block after 10,000 bytes

// The folder's regular files (symbolic links to them included), not its subfolders.
bool readFolder(const fs::path &dir, std::vector<LocalFile> &out) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        std::fprintf(stderr, "kesto sync: %s: %s\n", dir.c_str(), ec.message().c_str());
        return false;
    }
    for (const fs::directory_entry &e : it) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        out.push_back(
            {e.path().filename().string(), uint64_t(st.st_size), int64_t(st.st_mtime), false, {}});
    }
    return true;
}

std::vector<PlayerFile> playerFiles(const KSUSB_TOpenTable &t) {
    std::vector<PlayerFile> out;
    for (unsigned i = 0; i < t.count; ++i)
        out.push_back(
            {entryName(t.entries[i]), t.entries[i].size, t.entries[i].date, t.entries[i].time});
    return out;
}

std::vector<std::string> names(const std::vector<PlayerFile> &files) {
    std::vector<std::string> out;
    for (const PlayerFile &f : files)
        out.push_back(f.name);
    return out;
}

bool onPlayer(unsigned char mem, const std::string &name) {
    const std::vector<std::string> now = names(playerFiles(*copyTable(mem)));
    return std::find(now.begin(), now.end(), name) != now.end();
}

// How a replace that did not complete left the player: where the old and the new copy are.
struct ReplaceResult {
    int code = 0;        // the first failure, or 0
    bool sent = false;   // the new copy is on the player
    bool lost = false;   // the table could not be read again: the run ends
    bool told = false;   // the code is the failed refresh's, whose message is out
    std::string outcome; // where the copies are, after a failure
    std::string oldAs;   // the old copy's name, while it is still on the player
    std::string newAs;   // the new copy's name, when it is not in its place
};

// The table as a dry run expects it after the steps: deleted and replaced files gone, sent ones
// at the end (a real player may put a new file into a freed place; the real run orders what it
// finds).
std::vector<std::string> expectedNames(const std::vector<PlayerFile> &table, const SyncPlan &plan) {
    std::vector<std::string> out = names(table);
    for (const SyncStep &s : plan.steps)
        if (s.kind == StepKind::Delete || s.kind == StepKind::Replace)
            std::erase(out, s.player);
    for (const SyncStep &s : plan.steps)
        if (s.kind == StepKind::Send || s.kind == StepKind::Replace)
            out.push_back(s.target);
    return out;
}

// One line per action on stdout, or, with --json, one object at the end; counts for the summary.
class Report {
public:
    Report(unsigned char mem, bool dryRun, bool json) : m_mem(mem), m_dry(dryRun), m_json(json) {}

    void step(const SyncStep &s) {
        std::string line;
        switch (s.kind) {
        case StepKind::Delete:
            line = "delete " + s.player;
            break;
        case StepKind::Send:
        case StepKind::Replace:
            line = s.kind == StepKind::Send ? "send " : "replace ";
            if (s.kind == StepKind::Replace && s.player != s.local)
                line += s.player + " with ";
            line += s.local;
            if (s.target != s.local)
                line += " as " + s.target;
            line +=
                " (" + std::to_string(s.size) + " bytes" + (s.converted ? ", converted" : "") + ")";
            if (s.kind == StepKind::Replace)
                line += ": " + s.reason;
            break;
        case StepKind::Refuse:
            std::fprintf(stderr, "kesto sync: %s: %s\n", s.local.c_str(), s.reason.c_str());
            ++m_failed;
            record(s, "failed", 0);
            return;
        }
        if (!m_json)
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (m_dry)
            done(s);
    }

    void move(const std::string &name, unsigned position) {
        if (!m_json)
            std::printf("order %s to %u\n", name.c_str(), position);
        std::fflush(stdout);
        m_steps.push_back("{\"action\":\"order\",\"name\":" + jsonString(name) +
                          ",\"position\":" + std::to_string(position) +
                          ",\"status\":" + (m_dry ? "\"planned\"" : "\"done\"") + "}");
        ++m_moved;
    }

    void done(const SyncStep &s) {
        if (s.kind == StepKind::Delete) {
            ++m_deleted;
        } else {
            ++m_sent;
            m_bytes += s.size;
        }
        record(s, m_dry ? "planned" : "done", 0);
    }

    void failed(const SyncStep &s, int code) {
        reportFailure(kVerb, code, s.kind == StepKind::Delete ? s.player : s.local);
        ++m_failed;
        record(s, "failed", code);
    }

    void replaceFailed(const SyncStep &s, const ReplaceResult &r) {
        if (!r.told)
            reportFailure(kVerb, r.code, s.local);
        std::fprintf(stderr, "kesto sync: %s: %s\n", s.local.c_str(), r.outcome.c_str());
        ++m_failed;
        if (r.sent) {
            ++m_sent;
            m_bytes += s.size;
        }
        std::string where = ",\"outcome\":" + jsonString(r.outcome);
        if (!r.oldAs.empty())
            where += ",\"oldAs\":" + jsonString(r.oldAs);
        if (!r.newAs.empty())
            where += ",\"newAs\":" + jsonString(r.newAs);
        record(s, "failed", r.code, where);
    }

    void failedMove(const std::string &name, int code) {
        reportFailure(kVerb, code, name);
        ++m_failed;
        m_steps.back() = "{\"action\":\"order\",\"name\":" + jsonString(name) +
                         ",\"status\":\"failed\",\"error\":" + std::to_string(code) + "}";
        --m_moved;
    }

    void addSendingTime(double seconds) { m_seconds += seconds; }

    void summary(const SyncPlan &plan) const {
        const double speed = m_seconds > 0 ? double(m_bytes) / m_seconds : 0;
        if (m_json) {
            std::string steps;
            for (const std::string &s : m_steps)
                steps += (steps.empty() ? "" : ",") + s;
            std::printf("{\"memory\":\"%c\",\"dryRun\":%s,\"steps\":[%s],\"sent\":%zu,"
                        "\"bytes\":%llu,\"deleted\":%zu,\"moved\":%zu,\"upToDate\":%zu,"
                        "\"kept\":%zu,\"failed\":%zu,\"seconds\":%.3f,\"bytesPerSecond\":%.0f}\n",
                        m_mem, m_dry ? "true" : "false", steps.c_str(), m_sent,
                        static_cast<unsigned long long>(m_bytes), m_deleted, m_moved, plan.upToDate,
                        plan.kept, m_failed, m_seconds, speed);
            return;
        }
        std::string line = std::string(1, char(m_mem)) + " (" + memoryLabel(m_mem) + "): ";
        if (m_dry) {
            line += "dry run, nothing changed: would send " + std::to_string(m_sent) +
                    " file(s), " + std::to_string(m_bytes) + " bytes; would delete " +
                    std::to_string(m_deleted) + "; would move " + std::to_string(m_moved);
        } else {
            char timing[96];
            std::snprintf(timing, sizeof timing, " in %.1f s (%s/s)", m_seconds,
                          formatBytes(uint64_t(speed)).c_str());
            line += "sent " + std::to_string(m_sent) + " file(s), " + std::to_string(m_bytes) +
                    " bytes" + timing + "; deleted " + std::to_string(m_deleted) + "; moved " +
                    std::to_string(m_moved);
        }
        line += "; " + std::to_string(plan.upToDate) + " up to date";
        if (plan.kept > 0)
            line += "; " + std::to_string(plan.kept) +
                    " not in the folder, kept (--delete removes them)";
        if (m_failed > 0)
            line += "; " + std::to_string(m_failed) + " failed";
        std::printf("%s\n", line.c_str());
    }

    bool anyFailed() const { return m_failed > 0; }

private:
    void record(const SyncStep &s, const char *status, int code, const std::string &more = {}) {
        static constexpr const char *kActions[] = {"send", "replace", "delete", "refuse"};
        std::string o = std::string("{\"action\":\"") + kActions[int(s.kind)] + "\"";
        if (!s.local.empty())
            o += ",\"file\":" + jsonString(s.local);
        if (!s.player.empty())
            o += ",\"was\":" + jsonString(s.player);
        if (!s.target.empty())
            o += ",\"name\":" + jsonString(s.target);
        if (s.kind != StepKind::Delete)
            o += ",\"size\":" + std::to_string(s.size);
        if (!s.reason.empty())
            o += ",\"reason\":" + jsonString(s.reason);
        o += std::string(",\"status\":\"") + status + "\"";
        if (code != 0)
            o += ",\"error\":" + std::to_string(code);
        m_steps.push_back(o + more + "}");
    }

    unsigned char m_mem;
    bool m_dry, m_json;
    std::vector<std::string> m_steps; // JSON objects
    size_t m_sent = 0, m_deleted = 0, m_moved = 0, m_failed = 0;
    uint64_t m_bytes = 0;
    double m_seconds = 0;
};

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

// The name the new copy has while the old one is still there: on neither the player (in any
// case) nor the plan, and with the file's extension, so that the player plays it should it stay.
std::string stagingName(unsigned char mem, const std::string &target, const SyncPlan &plan) {
    constexpr size_t kMaxExtension = 6; // the dot and five characters, as a cut name keeps
    std::string ext = target.substr(target.rfind('.')); // every name that is sent has one
    if (ext.size() > kMaxExtension)
        ext = ".tmp";
    std::vector<std::string> taken;
    for (const std::string &name : names(playerFiles(*copyTable(mem))))
        taken.push_back(foldCase(name));
    for (const SyncStep &s : plan.steps)
        taken.push_back(foldCase(s.target));
    for (unsigned n = 1;; ++n) {
        const std::string name =
            "kesto-sync-new" + (n == 1 ? std::string() : "-" + std::to_string(n)) + ext;
        if (std::find(taken.begin(), taken.end(), foldCase(name)) == taken.end())
            return name;
    }
}

// Replaces the player's copy without losing it before the new one has arrived: the new copy is
// sent under a staging name, then the old one is deleted and the new one renamed into its
// place. Where a step fails the result says where both copies are.
ReplaceResult replace(unsigned char mem, const SyncStep &s, const SyncPlan &plan,
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
    const std::string staging = stagingName(mem, s.target, plan);
    const std::string newThere = "; the new copy is on the player as " + staging;
    r.oldAs = s.player;
    r.outcome = "the player's " + s.player + " is kept as it was";
    const std::string link = links.link(file, staging);
    if (link.empty()) {
        std::fprintf(stderr, "kesto sync: %s: no link for sending it as %s: %s\n", s.local.c_str(),
                     staging.c_str(), std::strerror(errno));
        r.code = KSUSB_ERR_OPEN_FILE;
        return r;
    }
    r.code = send(mem, link, s.local, report);
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
    if (KSUSB_DeleteFileInMemory(mem, s.player.c_str()) == 0) {
        r.code = KSUSB_GetLastError();
        r.outcome = "the player's " + s.player + " could not be deleted and is kept";
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
    r.outcome = "the player's " + s.player + " was deleted" + newThere;
    if (!fresh())
        return r;
    std::vector<char> name(s.target.begin(), s.target.end()); // the library takes a buffer
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

int sync(std::span<const std::string> allArgs) {
    ConvertChoice choice;
    std::vector<std::string> args;
    for (size_t i = 0; i < allArgs.size(); ++i) {
        if (const auto problem = takeConvertOption(allArgs, i, choice)) {
            if (!problem->empty())
                return usageError(kVerb, *problem, kUsage);
        } else {
            args.push_back(allArgs[i]);
        }
    }
    std::string unknown;
    const auto parsed = parseArgs(args, {"--delete", "--dry-run", "--json"}, unknown);
    if (!parsed)
        return usageError(kVerb, "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 2)
        return usageError(kVerb, "expected a folder and a memory", kUsage);
    const auto mem = memoryOperand(parsed->operands[1]);
    if (!mem)
        return usageError(kVerb, "the memory is M (flash) or S (card)", kUsage);
    const fs::path dir = parsed->operands[0];
    const bool dryRun = parsed->has("--dry-run");

    std::vector<LocalFile> folder;
    if (!readFolder(dir, folder))
        return kExitFailed;
    if (!refreshTable(kVerb, *mem, false))
        return kExitFailed;
    const int model = connectedModel();
    if (const std::string problem = settingsProblem(choice, model, *mem); !problem.empty()) {
        std::fprintf(stderr, "kesto sync: %s\n", problem.c_str());
        return kExitUsage;
    }
    if (choice.convert)
        for (LocalFile &f : folder)
            if (tunara::media::routeFor((dir / f.name).string(), model, *mem).route ==
                tunara::media::Route::Convert) {
                f.converted = true;
                f.playerName = tunara::media::convertedName(f.name);
            }
    const std::vector<PlayerFile> table = playerFiles(*copyTable(*mem));
    const SyncPlan plan = planSync(folder, table, parsed->has("--delete"));
    const auto expectedMoves = orderMoves(expectedNames(table, plan), plan.order);

    Report report(*mem, dryRun, parsed->has("--json"));
    if (dryRun) {
        for (const SyncStep &s : plan.steps)
            report.step(s);
        for (const auto &[name, position] : expectedMoves)
            report.move(name, position);
        report.summary(plan);
        return report.anyFailed() ? kExitFailed : kExitOk;
    }

    const bool changes =
        !expectedMoves.empty() || std::any_of(plan.steps.begin(), plan.steps.end(),
                                              [](auto &s) { return s.kind != StepKind::Refuse; });
    if (changes && *mem == KSUSB_MEM_CARD && (InvokePlayer() & KSUSB_FLAG_CARD_PROTECTED) != 0) {
        std::fprintf(
            stderr, "kesto sync: %s\n",
            std::string(tunara::texts::english(tunara::res::StrId::ExternalProtected)).c_str());
        return kExitFailed;
    }

    // The library takes paths of at most 255 bytes: sent from inside the folder, each file is
    // named by its own name only, however deep the folder lies.
    std::error_code ec;
    const fs::path source = fs::absolute(dir, ec); // for links to a file under another name
    tunara::media::LinkFolder links("kesto-send");
    if (ec || ::chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "kesto sync: %s: %s\n", dir.c_str(),
                     ec ? ec.message().c_str() : std::strerror(errno));
        return kExitFailed;
    }
    // Conversions run ahead of the sends, in their order.
    tunara::media::ConversionCache cache(tunara::media::ConversionCache::defaultDir());
    std::unique_ptr<tunara::media::ConversionQueue> queue;
    std::vector<size_t> jobs(plan.steps.size());
    for (size_t k = 0; k < plan.steps.size(); ++k) {
        const SyncStep &s = plan.steps[k];
        if (!s.converted || (s.kind != StepKind::Send && s.kind != StepKind::Replace))
            continue;
        if (!queue)
            queue = std::make_unique<tunara::media::ConversionQueue>(
                cache, choice.settings, 0, 0, terminalConversionBars().reporter());
        jobs[k] = queue->add((source / s.local).string());
    }
    bool stopped = false;
    for (size_t k = 0; k < plan.steps.size(); ++k) {
        SyncStep s = plan.steps[k];
        std::string cached; // the converted file sent in the folder file's place
        if (queue && s.converted && (s.kind == StepKind::Send || s.kind == StepKind::Replace)) {
            const std::filesystem::path local = source / s.local;
            std::error_code sizeError;
            const auto sourceSize = std::filesystem::file_size(local, sizeError);
            terminalConversionBars().await(jobs[k], local.string(), sizeError ? 0 : sourceSize);
            const tunara::media::ConversionResult r = queue->wait(jobs[k]);
            terminalConversionBars().finish();
            if (const auto *failure = std::get_if<tunara::media::ConvertFailure>(&r)) {
                s.kind = StepKind::Refuse;
                s.reason = failure->message.substr(failure->message.find(": ") + 2);
            } else {
                const auto &file = std::get<tunara::media::CachedFile>(r);
                for (const std::string &note : file.notes)
                    std::fprintf(stderr, "kesto sync: %s\n", note.c_str());
                cached = file.path;
                s.size = file.size;
            }
        }
        report.step(s);
        if (s.kind == StepKind::Refuse)
            continue;
        if (s.kind == StepKind::Delete) {
            if (KSUSB_DeleteFileInMemory(*mem, s.player.c_str()) == 0) {
                report.failed(s, KSUSB_GetLastError());
                continue;
            }
            // The library finds names in its cached table: the deleted name must leave it.
            if (!refreshTable(kVerb, *mem, false))
                return kExitFailed;
            report.done(s);
            continue;
        }
        int code = 0;
        if (s.kind == StepKind::Replace) {
            const ReplaceResult r = replace(
                *mem, s, plan, cached.empty() ? source / s.local : fs::path(cached), links, report);
            if (r.outcome.empty())
                report.done(s);
            else
                report.replaceFailed(s, r);
            if (r.lost)
                return kExitFailed;
            code = r.code;
        } else {
            std::string link;
            if (!cached.empty()) {
                link = links.link(cached, s.target);
                if (link.empty())
                    std::fprintf(stderr, "kesto sync: %s: no link for sending it as %s: %s\n",
                                 s.local.c_str(), s.target.c_str(), std::strerror(errno));
            }
            code = !cached.empty() && link.empty()
                       ? KSUSB_ERR_OPEN_FILE
                       : send(*mem, link.empty() ? s.local : link, s.local, report);
            if (!link.empty())
                ::unlink(link.c_str());
            if (code != 0)
                report.failed(s, code);
            else
                report.done(s);
            // The next file's short name must not collide with the one just sent.
            if (!refreshTable(kVerb, *mem, false))
                return kExitFailed;
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
        // The play order of what the player now holds: the folder's files first, sorted.
        const auto moves = orderMoves(names(playerFiles(*copyTable(*mem))), plan.order);
        for (const auto &[name, position] : moves) {
            report.move(name, position);
            if (KSUSB_ReplaceInMemory(*mem, name.c_str(), static_cast<unsigned char>(position)) ==
                0)
                report.failedMove(name, KSUSB_GetLastError());
        }
    }
    report.summary(plan);
    return report.anyFailed() || stopped ? kExitFailed : kExitOk;
}

const Verb registration(help::command("sync"), sync);

} // namespace
} // namespace kesto
