#include "sync_report.h"

#include "memory_arg.h"
#include "progress.h"

#include "KestoUSB.h"

#include <cstdio>
#include <filesystem>

namespace kesto {

using tunara::sync::Action;
using tunara::sync::SyncItem;
using tunara::sync::SyncPlan;

namespace {

constexpr std::string_view kVerb = "sync";

std::string recordsText(unsigned records) {
    return std::to_string(records) + (records == 1 ? " record" : " records");
}

std::string roomText(const tunara::sync::Room &room, uint64_t total) {
    const uint64_t used = total > room.freeBytes ? total - room.freeBytes : 0;
    std::string text = formatBytes(used) + " of " + formatBytes(total) + ", " +
                       std::to_string(room.usedRecords) + " of " +
                       std::to_string(room.totalRecords) + " name records";
    return text;
}

const char *roomSource(tunara::sync::RoomSource source) {
    switch (source) {
    case tunara::sync::RoomSource::Default512:
        return "records assumed: a FAT16 root";
    case tunara::sync::RoomSource::Layout:
        return "records of the memory's format";
    case tunara::sync::RoomSource::Learned:
        return "records as the player's refusal showed";
    }
    return "";
}

} // namespace

std::string fileName(const std::string &path) {
    return std::filesystem::path(path).filename().string();
}

void Report::step(const SyncItem &s) {
    std::string line;
    switch (s.action) {
    case Action::Keep:
        return;
    case Action::Delete:
        line = "delete " + s.playerName;
        break;
    case Action::DidNotFit:
        line = "did not fit: " + fileName(s.source) + " (" + std::to_string(s.bytes) +
               " bytes): " + s.reason;
        ++m_didNotFit;
        record(s, "skipped", 0);
        break;
    case Action::Send:
    case Action::Replace: {
        line = s.action == Action::Send ? "send " : "replace ";
        const std::string local = fileName(s.source);
        if (s.action == Action::Replace && s.replaces != local)
            line += s.replaces + " with ";
        line += local;
        if (s.playerName != local)
            line += " as " + s.playerName;
        line += " (" + std::to_string(s.bytes) + " bytes, " + recordsText(s.records) +
                (s.converted ? ", converted" : "") + ")";
        if (s.action == Action::Replace)
            line += ": " + s.reason;
        break;
    }
    case Action::Refuse:
        std::fprintf(stderr, "kesto sync: %s: %s\n", terminalText(fileName(s.source)).c_str(),
                     terminalText(s.reason).c_str());
        ++m_failed;
        record(s, "failed", 0);
        return;
    }
    if (!m_json)
        std::printf("%s\n", terminalText(line).c_str());
    std::fflush(stdout);
    if (m_dry && s.action != Action::DidNotFit)
        done(s);
}

void Report::move(const std::string &name, unsigned position) {
    if (!m_json)
        std::printf("order %s to %u\n", terminalText(name).c_str(), position);
    std::fflush(stdout);
    m_steps.push_back("{\"action\":\"order\",\"name\":" + jsonString(name) +
                      ",\"position\":" + std::to_string(position) +
                      ",\"status\":" + (m_dry ? "\"planned\"" : "\"done\"") + "}");
    ++m_moved;
}

void Report::done(const SyncItem &s) {
    if (s.action == Action::Delete) {
        ++m_deleted;
    } else {
        ++m_sent;
        m_bytes += s.bytes;
    }
    record(s, m_dry ? "planned" : "done", 0);
}

void Report::failed(const SyncItem &s, int code) {
    reportFailure(kVerb, code, s.action == Action::Delete ? s.playerName : fileName(s.source));
    ++m_failed;
    record(s, "failed", code);
}

void Report::noNameRoom(const SyncItem &s) {
    ++m_didNotFit;
    record(s, "skipped", KSUSB_ERR_NAME_AREA_FULL);
    if (!m_json)
        std::printf("did not fit: %s (%llu bytes): the player's name records are full\n",
                    terminalText(fileName(s.source)).c_str(),
                    static_cast<unsigned long long>(s.bytes));
}

void Report::replaceFailed(const SyncItem &s, const ReplaceResult &r) {
    if (!r.told)
        reportFailure(kVerb, r.code, fileName(s.source));
    std::fprintf(stderr, "kesto sync: %s: %s\n", terminalText(fileName(s.source)).c_str(),
                 terminalText(r.outcome).c_str());
    ++m_failed;
    if (r.sent) {
        ++m_sent;
        m_bytes += s.bytes;
    }
    std::string where = ",\"outcome\":" + jsonString(r.outcome);
    if (!r.oldAs.empty())
        where += ",\"oldAs\":" + jsonString(r.oldAs);
    if (!r.newAs.empty())
        where += ",\"newAs\":" + jsonString(r.newAs);
    record(s, "failed", r.code, where);
}

void Report::failedMove(const std::string &name, int code) {
    reportFailure(kVerb, code, name);
    ++m_failed;
    m_steps.back() = "{\"action\":\"order\",\"name\":" + jsonString(name) +
                     ",\"status\":\"failed\",\"error\":" + std::to_string(code) + "}";
    --m_moved;
}

void Report::summary(const SyncPlan &plan, bool shortNames) const {
    const double speed = m_seconds > 0 ? double(m_bytes) / m_seconds : 0;
    const auto &c = plan.counts;
    if (m_json) {
        std::string steps;
        for (const std::string &s : m_steps)
            steps += (steps.empty() ? "" : ",") + s;
        std::printf("{\"memory\":\"%c\",\"dryRun\":%s,\"steps\":[%s],\"sent\":%zu,"
                    "\"bytes\":%llu,\"deleted\":%zu,\"moved\":%zu,\"upToDate\":%zu,"
                    "\"kept\":%zu,\"didNotFit\":%zu,\"failed\":%zu,\"seconds\":%.3f,"
                    "\"bytesPerSecond\":%.0f,\"room\":{\"totalBytes\":%llu,\"freeBefore\":%llu,"
                    "\"freeAfter\":%llu,\"records\":%u,\"recordsBefore\":%u,\"recordsAfter\":%u},"
                    "\"filesThatFit\":%zu,\"filesThatFitWithShortNames\":%zu,\"skipped\":%zu}\n",
                    m_mem, m_dry ? "true" : "false", steps.c_str(), m_sent,
                    static_cast<unsigned long long>(m_bytes), m_deleted, m_moved, c.keep, plan.kept,
                    m_didNotFit, m_failed, m_seconds, speed,
                    static_cast<unsigned long long>(plan.totalBytes),
                    static_cast<unsigned long long>(plan.before.freeBytes),
                    static_cast<unsigned long long>(plan.after.freeBytes), plan.after.totalRecords,
                    plan.before.usedRecords, plan.after.usedRecords, plan.nameCounts.withNames,
                    plan.nameCounts.withShortNames, plan.skipped.size());
        return;
    }
    for (const auto &skip : plan.skipped)
        std::fprintf(stderr, "kesto sync: skipped %s: %s\n", terminalText(skip.path).c_str(),
                     terminalText(skip.reason).c_str());
    std::string line = std::string(1, char(m_mem)) + " (" + memoryLabel(m_mem) + "): ";
    if (m_dry) {
        line += "dry run, nothing changed: would send " + std::to_string(m_sent) + " file(s), " +
                std::to_string(m_bytes) + " bytes; would delete " + std::to_string(m_deleted) +
                "; would move " + std::to_string(m_moved);
    } else {
        char timing[96];
        std::snprintf(timing, sizeof timing, " in %.1f s (%s/s)", m_seconds,
                      formatBytes(uint64_t(speed)).c_str());
        line += "sent " + std::to_string(m_sent) + " file(s), " + std::to_string(m_bytes) +
                " bytes" + timing + "; deleted " + std::to_string(m_deleted) + "; moved " +
                std::to_string(m_moved);
    }
    line += "; " + std::to_string(c.keep) + " up to date";
    if (m_didNotFit > 0)
        line += "; " + std::to_string(m_didNotFit) + " did not fit";
    if (plan.kept > 0)
        line +=
            "; " + std::to_string(plan.kept) + " not in the library, kept (--delete removes them)";
    if (plan.hidden + plan.notAudio > 0)
        line +=
            "; " + std::to_string(plan.hidden + plan.notAudio) + " hidden or not audio, left out";
    if (m_failed > 0)
        line += "; " + std::to_string(m_failed) + " failed";
    std::printf("%s\n", line.c_str());
    std::printf("room before: %s; after: %s (%s)\n", roomText(plan.before, plan.totalBytes).c_str(),
                roomText(plan.after, plan.totalBytes).c_str(), roomSource(plan.after.source));
    if (plan.nameCounts.withShortNames > plan.nameCounts.withNames || shortNames)
        std::printf(
            "of the files not on the player, the memory takes %zu with these names, %zu with "
            "--short-names\n",
            plan.nameCounts.withNames, plan.nameCounts.withShortNames);
}

void Report::record(const SyncItem &s, const char *status, int code, const std::string &more) {
    static constexpr const char *kActions[] = {"send",   "replace", "keep",
                                               "delete", "skip",    "refuse"};
    std::string o = std::string("{\"action\":\"") + kActions[int(s.action)] + "\"";
    if (!s.source.empty())
        o += ",\"file\":" + jsonString(s.source);
    if (!s.replaces.empty())
        o += ",\"was\":" + jsonString(s.replaces);
    if (!s.playerName.empty())
        o += ",\"name\":" + jsonString(s.playerName);
    o += ",\"size\":" + std::to_string(s.bytes) + ",\"records\":" + std::to_string(s.records);
    if (s.converted)
        o += ",\"converted\":true";
    if (!s.reason.empty())
        o += ",\"reason\":" + jsonString(s.reason);
    o += std::string(",\"status\":\"") + status + "\"";
    if (code != 0)
        o += ",\"error\":" + std::to_string(code);
    m_steps.push_back(o + more + "}");
}

} // namespace kesto
