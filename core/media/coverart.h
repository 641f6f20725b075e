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
// The most pixels a source's picture may have to be decoded: a few hundred kilobytes of PNG can
// claim 16000 x 16000 pixels, a gigabyte once decoded. Larger covers are left out.
inline constexpr int kCoverMaxPixels = 50'000'000;

// `bytes` in the format of libavcodec's codec id `codecId` (0: told by its first bytes). A JPEG
// already small enough is kept byte for byte; anything else is decoded, scaled down keeping its
// aspect and encoded as JPEG. A picture of more than kCoverMaxPixels is refused before it is
// decoded ("16000x16000 pixels is too large ..."). The error names the reason.
std::variant<std::vector<std::uint8_t>, std::string> coverJpeg(std::span<const std::uint8_t> bytes,
                                                               int codecId);

// The pixel size of a baseline or progressive JPEG, from its SOF marker; {0, 0} when none.
std::pair<int, int> jpegSize(std::span<const std::uint8_t> bytes);
// The pixel size a JPEG, PNG, GIF or BMP picture declares in its header, without decoding it;
// {0, 0} when the format is another or the header is cut short.
std::pair<int, int> pictureSize(std::span<const std::uint8_t> bytes);

} // namespace tunara::media
