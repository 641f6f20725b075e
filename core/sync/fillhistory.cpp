#include "fillhistory.h"

#include "conversioncache.h"

#include "lineescape.h"
#include "wholefile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace tunara::sync {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMagic = "tunara-fill-history 1";
constexpr std::string_view kFillLine = "fill";
constexpr std::string_view kKeyPrefix = "album ";
constexpr std::size_t kMostHistoryBytes = 16u << 20; // a longer file is not ours

} // namespace

bool FillHistory::contains(const std::string &key) const {
    for (const auto &fill : fills)
        if (std::find(fill.begin(), fill.end(), key) != fill.end())
            return true;
    return false;
}

void FillHistory::add(std::vector<std::string> keys, std::size_t keep) {
    fills.push_back(std::move(keys));
    if (fills.size() > keep)
        fills.erase(fills.begin(), fills.end() - std::ptrdiff_t(keep));
}

std::string FillHistory::defaultPath() {
    return media::ConversionCache::userCacheDir("fill-history");
}

FillHistory FillHistory::load(const std::string &path, std::string *note) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    const auto damaged = [&](const std::string &why) {
        if (note != nullptr)
            *note = "The fill history " + path + " is ignored: " + why + ".";
        return FillHistory{};
    };
    std::error_code ec;
    if (fs::file_size(path, ec) > kMostHistoryBytes)
        return damaged("it is larger than a history can be");
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return damaged("it does not start as a history does");
    FillHistory history;
    while (std::getline(in, line)) {
        if (line == kFillLine) {
            history.fills.emplace_back();
        } else if (line.starts_with(kKeyPrefix) && !history.fills.empty()) {
            auto key = unescapedLine(std::string_view(line).substr(kKeyPrefix.size()));
            if (!key || key->empty())
                return damaged("an album's folder is damaged");
            history.fills.back().push_back(std::move(*key));
        } else {
            return damaged("a line is not part of a history");
        }
    }
    return history;
}

std::optional<std::string> FillHistory::save(const std::string &path) const {
    std::error_code ec;
    const fs::path target(path);
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    std::ostringstream text;
    text << kMagic << '\n';
    for (const auto &fill : fills) {
        text << kFillLine << '\n';
        for (const std::string &key : fill)
            text << kKeyPrefix << escapedLine(key) << '\n';
    }
    if (const auto why = media::writeWholeFile(path, text.str()))
        return "The fill history " + path + " cannot be written: " + *why;
    return std::nullopt;
}

} // namespace tunara::sync
