// The albums the last fills sent, so that the next fill prefers others: their keys (folders),
// one group per fill, kept in a small file beside the conversion cache.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tunara::sync {

inline constexpr std::size_t kDefaultHistoryFills = 5;

struct FillHistory {
    std::vector<std::vector<std::string>> fills; // oldest first

    bool contains(const std::string &key) const;
    // Adds a fill's album keys, dropping the oldest fills beyond `keep`.
    void add(std::vector<std::string> keys, std::size_t keep = kDefaultHistoryFills);

    // $XDG_CACHE_HOME/tunara/fill-history (beside the conversion cache's folder).
    static std::string defaultPath();
    // The history in `path`: empty when there is none; empty with `note` set when the file is
    // damaged (it is then ignored, and replaced on the next save). Blocks.
    static FillHistory load(const std::string &path, std::string *note = nullptr);
    // Writes the history to `path` whole or not at all (a temporary file renamed into place).
    // The error, or nullopt. Blocks.
    std::optional<std::string> save(const std::string &path) const;
};

} // namespace tunara::sync
