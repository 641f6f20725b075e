// The volume levelling a transfer applies: none, each track to -18 LUFS, or each album to -18
// LUFS as a whole (its tracks keep their differences). One name per mode for the command line,
// the settings and the conversion cache key.
#pragma once

#include <optional>
#include <string_view>

namespace tunara::media {

enum class LevelMode { Off, Track, Album };

constexpr std::string_view levelModeName(LevelMode mode) {
    switch (mode) {
    case LevelMode::Off:
        return "off";
    case LevelMode::Track:
        return "track";
    case LevelMode::Album:
        return "album";
    }
    return "off";
}

// "off", "track" or "album" (as written); nullopt for anything else.
constexpr std::optional<LevelMode> parseLevelMode(std::string_view text) {
    for (const LevelMode m : {LevelMode::Off, LevelMode::Track, LevelMode::Album})
        if (text == levelModeName(m))
            return m;
    return std::nullopt;
}

} // namespace tunara::media
