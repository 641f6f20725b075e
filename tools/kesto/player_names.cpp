#include "player_names.h"

#include "memory_arg.h"
#include "verb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kesto {

namespace {

constexpr size_t kMaxCloseEdits = 2;

// Levenshtein distance, given up once it exceeds `limit` (then limit + 1).
size_t editDistance(std::string_view a, std::string_view b, size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit)
        return limit + 1;
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        size_t best = row[0];
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
            best = std::min(best, row[j]);
        }
        if (best > limit)
            return limit + 1;
    }
    return row[b.size()];
}

// The name with the dot a file without extension shows dropped: "README." -> "README".
std::string_view withoutTrailingDot(std::string_view name) {
    return name.ends_with('.') ? name.substr(0, name.size() - 1) : name;
}

} // namespace

std::unique_ptr<KSUSB_TOpenTable> copyTable(unsigned char mem) {
    auto table = std::make_unique<KSUSB_TOpenTable>();
    GetFileInfo(mem, table.get());
    return table;
}

std::string entryName(const KSUSB_TFileEntry &e) {
    return std::string(e.name, strnlen(e.name, sizeof e.name));
}

std::vector<std::string> matchingNames(const KSUSB_TOpenTable &table, std::string_view typed) {
    const std::string key = foldCase(withoutTrailingDot(typed));
    std::vector<std::string> out;
    for (unsigned i = 0; i < table.count; ++i) {
        const std::string name = entryName(table.entries[i]);
        if (name == typed)
            return {name};
        if (foldCase(withoutTrailingDot(name)) == key)
            out.push_back(name);
    }
    return out;
}

std::vector<std::string> closeNames(const KSUSB_TOpenTable &table, std::string_view typed) {
    const std::string key = foldCase(typed);
    std::vector<std::string> out;
    for (unsigned i = 0; i < table.count; ++i) {
        const std::string name = entryName(table.entries[i]);
        if (editDistance(foldCase(name), key, kMaxCloseEdits) <= kMaxCloseEdits)
            out.push_back(name);
    }
    return out;
}

std::string quotedList(const std::vector<std::string> &names) {
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "'" : ", '") + n + "'";
    return out;
}

bool resolvePlayerName(std::string_view verb, unsigned char mem, std::string &name) {
    const auto table = copyTable(mem);
    const std::vector<std::string> matches = matchingNames(*table, name);
    if (matches.size() == 1) {
        name = matches.front();
        return true;
    }
    if (matches.empty())
        return true;
    std::fprintf(stderr, "kesto %.*s: '%s' matches several files of the %s memory: %s\n",
                 int(verb.size()), verb.data(), name.c_str(), memoryLabel(mem),
                 quotedList(matches).c_str());
    return false;
}

int failOnPlayerName(std::string_view verb, unsigned char mem, std::string_view name) {
    const int code = KSUSB_GetLastError();
    failWithLastError(verb, mem);
    if (code != KSUSB_ERR_NOT_FOUND)
        return kExitFailed;
    const std::vector<std::string> close = closeNames(*copyTable(mem), name);
    if (!close.empty())
        std::fprintf(stderr, "kesto %.*s: close names on the %s memory: %s\n", int(verb.size()),
                     verb.data(), memoryLabel(mem), quotedList(close).c_str());
    return kExitFailed;
}

} // namespace kesto
