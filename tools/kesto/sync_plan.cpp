#include "sync_plan.h"

#include "memory_arg.h"
#include "player_names.h"
#include "playerformat.h"
#include "texts/english.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace kesto {

using tunara::media::fitLongName;

namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu; // the player's sizes are 32 bits
constexpr int kDosEpochYear = 1980;
constexpr int kDosLastYear = 127; // years after 1980 a DOS date holds

// Characters a FAT long name cannot hold, besides control characters.
constexpr std::string_view kForbiddenInName = "\"*/:<>?\\|";

// Why the player cannot take a file of this name and size, or "" when it can.
std::string refusal(const LocalFile &f) {
    for (size_t i = 0; i < f.name.size();) {
        const size_t len = validUtf8Length(f.name, i);
        if (len == 0)
            return "the name is not valid UTF-8";
        const auto c = static_cast<unsigned char>(f.name[i]);
        if (len == 1 && (c < 0x20 || c == 0x7F))
            return "the name holds a control character, which the player's names cannot hold";
        if (len == 1 && kForbiddenInName.find(char(c)) != std::string_view::npos)
            return std::string("the name holds '") + char(c) +
                   "', which the player's names cannot hold";
        i += len;
    }
    const size_t dot = f.name.rfind('.');
    if (dot == std::string::npos || dot + 1 == f.name.size())
        return std::string(tunara::texts::english(tunara::res::StrId::NoExtension));
    if (f.size > kMaxFileSize)
        return "the file is 4 GiB or larger; the player takes smaller files only";
    return {};
}

const std::string &playerNameOf(const LocalFile &f) {
    return f.converted ? f.playerName : f.name;
}

std::string differences(const LocalFile &f, const PlayerFile &p) {
    const auto [date, time] = dosStamp(f.modified);
    const bool size = !f.converted && f.size != p.size;
    const bool stamp = date != p.date || time != p.time;
    if (size && stamp)
        return "the size and the time differ";
    if (size)
        return "the size differs";
    if (stamp)
        return "the time differs";
    return {};
}

} // namespace

std::pair<uint16_t, uint16_t> dosStamp(int64_t seconds) {
    std::tm tm{};
    const auto t = static_cast<std::time_t>(seconds);
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 < kDosEpochYear)
        return {uint16_t(1 << 5 | 1), 0};
    const int year = std::min(tm.tm_year + 1900 - kDosEpochYear, kDosLastYear);
    return {uint16_t(year << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday),
            uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2)};
}

SyncPlan planSync(std::vector<LocalFile> folder, const std::vector<PlayerFile> &table,
                  bool deleteExtras) {
    std::sort(folder.begin(), folder.end(),
              [](const LocalFile &a, const LocalFile &b) { return a.name < b.name; });
    constexpr size_t kNone = size_t(-1);
    std::vector<bool> claimed(table.size(), false);
    std::map<std::string, std::string> byKey; // folded player name -> the folder file taking it
    std::vector<SyncStep> files(folder.size());
    std::vector<size_t> match(folder.size(), kNone); // the player file each folder file is
    const auto key = [](const SyncStep &s) { return foldCase(s.target); };

    for (size_t k = 0; k < folder.size(); ++k) {
        SyncStep &step = files[k];
        step.local = folder[k].name;
        step.size = folder[k].size;
        step.converted = folder[k].converted;
        step.reason = refusal(folder[k]);
        if (!step.reason.empty())
            step.kind = StepKind::Refuse;
        else
            step.target = fitLongName(playerNameOf(folder[k]));
    }
    // Exact names first, over all files: a player file is the folder file of its very name,
    // whatever other folder file differs from it only in letter case.
    for (size_t k = 0; k < files.size(); ++k) {
        if (files[k].kind == StepKind::Refuse || byKey.contains(key(files[k])))
            continue;
        for (size_t i = 0; i < table.size(); ++i)
            if (!claimed[i] && table[i].name == files[k].target) {
                claimed[i] = true;
                match[k] = i;
                byKey.emplace(key(files[k]), files[k].local);
                break;
            }
    }
    // Then the rest, in sorted order: the one player file whose name differs only in case.
    for (size_t k = 0; k < files.size(); ++k) {
        SyncStep &step = files[k];
        if (step.kind == StepKind::Refuse || match[k] != kNone)
            continue;
        if (const auto other = byKey.find(key(step)); other != byKey.end()) {
            step.kind = StepKind::Refuse;
            step.reason = "the player would hold it under the same name as " + other->second;
            continue;
        }
        byKey.emplace(key(step), step.local);
        std::vector<size_t> matches;
        for (size_t i = 0; i < table.size(); ++i)
            if (!claimed[i] && foldCase(table[i].name) == key(step))
                matches.push_back(i);
        if (matches.size() > 1) {
            std::vector<std::string> names;
            for (const size_t i : matches)
                names.push_back(table[i].name);
            step.kind = StepKind::Refuse;
            step.reason = "several files of the player match it: " + quotedList(names);
        } else if (matches.size() == 1) {
            claimed[matches.front()] = true;
            match[k] = matches.front();
        }
    }
    // A refused file keeps every player file it could be, in any case and with or without the
    // dot a name without extension shows: --delete must not remove what was not replaced.
    const auto loose = [](std::string_view name) {
        return foldCase(name.ends_with('.') ? name.substr(0, name.size() - 1) : name);
    };
    std::vector<bool> shielded(table.size(), false);
    for (size_t k = 0; k < files.size(); ++k)
        if (files[k].kind == StepKind::Refuse)
            for (size_t i = 0; i < table.size(); ++i)
                shielded[i] = shielded[i] ||
                              loose(table[i].name) == loose(fitLongName(playerNameOf(folder[k])));

    SyncPlan plan;
    for (size_t i = 0; i < table.size(); ++i) {
        if (claimed[i] || shielded[i])
            continue;
        if (!deleteExtras) {
            ++plan.kept;
            continue;
        }
        SyncStep step;
        step.kind = StepKind::Delete;
        step.player = table[i].name;
        plan.steps.push_back(step);
    }
    for (size_t k = 0; k < files.size(); ++k) {
        SyncStep &step = files[k];
        if (step.kind != StepKind::Refuse && match[k] != kNone) { // else a Send, or refused
            const PlayerFile &p = table[match[k]];
            step.player = p.name;
            step.reason = differences(folder[k], p);
            if (step.reason.empty()) {
                ++plan.upToDate;
                plan.order.push_back(p.name);
                continue;
            }
            step.kind = StepKind::Replace;
        }
        if (step.kind != StepKind::Refuse)
            plan.order.push_back(step.target);
        plan.steps.push_back(step);
    }
    return plan;
}

std::vector<std::pair<std::string, unsigned>> orderMoves(std::vector<std::string> current,
                                                         const std::vector<std::string> &wanted) {
    std::vector<std::pair<std::string, unsigned>> moves;
    size_t place = 0;
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

} // namespace kesto
