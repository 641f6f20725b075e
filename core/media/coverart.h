// The front cover a converted file carries: a JPEG of at most 300 x 300 pixels, made from the
// picture the source holds (JPEG, PNG or any image format libavcodec decodes).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tunara::media {

inline constexpr int kCoverMaxSide = 300;

// `bytes` in the format of libavcodec's codec id `codecId` (0: told by its first bytes). A JPEG
// already small enough is kept byte for byte; anything else is decoded, scaled down keeping its
// aspect and encoded as JPEG. The error names the decoder's reason.
std::variant<std::vector<std::uint8_t>, std::string> coverJpeg(std::span<const std::uint8_t> bytes,
                                                               int codecId);

// The pixel size of a baseline or progressive JPEG, from its SOF marker; {0, 0} when none.
std::pair<int, int> jpegSize(std::span<const std::uint8_t> bytes);

} // namespace tunara::media
