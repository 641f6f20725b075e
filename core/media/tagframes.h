// The frame flags of ID3v2.3 and 2.4 tags that the tag library does not honour on a rewrite.
// Before the library parses a tag, its frames are sorted: a grouped frame loses its group byte
// (the library would read that byte as part of the value), and a frame nobody can read here (an
// encrypted one, or one whose compressed data does not inflate) is set aside, so that the
// library neither shows nor rewrites it. Set-aside frames are later put back byte for byte. A
// frame without data is left out: the library would stop reading the tag at it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tunara::media {

struct SetAsideFrame {
    std::string id;                  // "TIT2"
    std::vector<std::uint8_t> bytes; // the whole frame, header included, as the tag held it
    bool discardWhenAltered = false; // the "tag alter preservation" status flag is set
};

struct SortedFrames {
    std::vector<std::uint8_t> body; // the frames the library may parse, then the padding
    std::vector<SetAsideFrame> setAside;
};

// Sorts the frames of a tag body of major `version` (3 or 4; other versions pass unchanged).
// `body` is the part after the tag header with the extended header removed and the whole-tag
// unsynchronisation undone. A frame that does not fit ends the walk; the rest passes unchanged.
// Frames whose id is in `known` lose their "discard when altered" flag: the flag is meant for
// frames a writer does not know, and the library would drop them on a rewrite. Other readable
// frames carrying that flag are left out.
SortedFrames sortFrames(unsigned version, std::span<const std::uint8_t> body,
                        std::span<const std::string_view> known);

// Whether `data` is one complete zlib stream.
bool inflatesCompletely(std::span<const std::uint8_t> data);

// `tag` (a rendered 2.3 tag: header, frames, padding) with `frames` (2.3 frames) added after
// its last frame, the header's size grown to match.
std::vector<std::uint8_t> withFramesAdded(std::span<const std::uint8_t> tag,
                                          const std::vector<const SetAsideFrame *> &frames);

} // namespace tunara::media
