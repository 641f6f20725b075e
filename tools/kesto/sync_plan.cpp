#include "sync_plan.h"

#include "memory_arg.h"
#include "player_names.h"
#include "texts/english.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace kesto {

namespace {

constexpr size_t kMaxLongName = 80;                   // bytes of a long name on the player
constexpr int kExtensionDotsBack[] = {2, 3, 4, 5, 6}; // where the '.' of a kept extension may be
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;        // the player's sizes are 32 bits
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

std::string differences(const LocalFile &f, const PlayerFile &p) {
    const auto [date, time] = dosStamp(f.modified);
    const bool size = f.size != p.size;
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

std::string fitLongName(std::string_view name) {
    if (name.size() <= kMaxLongName)
        return std::string(name);
    std::string_view ext;
    for (const int back : kExtensionDotsBack)
        if (name[name.size() - size_t(back)] == '.') {
            ext = name.substr(name.size() - size_t(back));
            break;
        }
    const size_t head = kMaxLongName - ext.size();
    std::string out;
    for (size_t pos = 0; pos < name.size();) {
        // The names are checked to be valid UTF-8 first; a stray byte would count as one.
        const size_t len = std::max<size_t>(1, validUtf8Length(name, pos));
        if (out.size() + len > head)
            break;
        out.append(name.substr(pos, len));
        pos += len;
    }
    out.append(head - out.size(), '_');
    out.append(ext);
    return out;
}

SyncPlan planSync(std::vector<LocalFile> folder, const std::vector<PlayerFile> &table,
                  bool deleteExtras) {
    std::sort(folder.begin(), folder.end(),
              [](const LocalFile &a, const LocalFile &b) { return a.name < b.name; });
    SyncPlan plan;
    std::vector<bool> claimed(table.size(), false);
    std::map<std::string, std::string> byKey; // folded player name -> the folder file taking it
    std::vector<SyncStep> files;

    for (const LocalFile &f : folder) {
        SyncStep step;
        step.local = f.name;
        step.size = f.size;
        step.reason = refusal(f);
        if (!step.reason.empty()) {
            step.kind = StepKind::Refuse;
            files.push_back(step);
            continue;
        }
        step.target = fitLongName(f.name);
        const std::string key = foldCase(step.target);
        if (const auto other = byKey.find(key); other != byKey.end()) {
            step.kind = StepKind::Refuse;
            step.reason = "the player would hold it under the same name as " + other->second;
            files.push_back(step);
            continue;
        }
        byKey.emplace(key, f.name);

        // The player's file of this name: the exact name, else the one that differs in case.
        std::vector<size_t> matches;
        for (size_t i = 0; i < table.size() && matches.empty(); ++i)
            if (!claimed[i] && table[i].name == step.target)
                matches = {i};
        if (matches.empty())
            for (size_t i = 0; i < table.size(); ++i)
                if (!claimed[i] && foldCase(table[i].name) == key)
                    matches.push_back(i);
        if (matches.size() > 1) {
            std::vector<std::string> names;
            for (const size_t i : matches)
                names.push_back(table[i].name);
            step.kind = StepKind::Refuse;
            step.reason = "several files of the player match it: " + quotedList(names);
            files.push_back(step);
            continue;
        }
        if (matches.empty()) {
            step.kind = StepKind::Send;
            plan.order.push_back(step.target);
            files.push_back(step);
            continue;
        }
        const PlayerFile &p = table[matches.front()];
        claimed[matches.front()] = true;
        step.player = p.name;
        step.reason = differences(f, p);
        if (step.reason.empty()) {
            ++plan.upToDate;
            plan.order.push_back(p.name);
            continue;
        }
        step.kind = StepKind::Replace;
        plan.order.push_back(step.target);
        files.push_back(step);
    }

    for (size_t i = 0; i < table.size(); ++i) {
        if (claimed[i])
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
    plan.steps.insert(plan.steps.end(), files.begin(), files.end());
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
