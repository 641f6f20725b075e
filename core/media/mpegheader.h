// The compatibility check run on every local ".mp3" file before it is sent to the player: find
// the first confirmed MPEG audio frame header after a leading ID3v2 tag, describe it, and say
// whether the player can decode the stream.
#pragma once

#include "bytesource.h"
#include "messagesink.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tunara::media {

// The fields of a frame header taken as one 32-bit big-endian value.
struct FrameHeader {
    std::uint32_t value = 0;

    unsigned version() const { return (value >> 19) & 0x3u; } // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    unsigned layer() const { return (value >> 17) & 0x3u; }   // 1 Layer III ... 3 Layer I
    bool crcPresent() const { return ((value >> 16) & 0x1u) == 0; }
    unsigned bitRateIndex() const { return (value >> 12) & 0xFu; }
    unsigned sampleRateIndex() const { return (value >> 10) & 0x3u; }
    unsigned padding() const { return (value >> 9) & 0x1u; }
    unsigned channelMode() const { return (value >> 6) & 0x3u; }
    bool copyright() const { return ((value >> 3) & 0x1u) != 0; }
    bool original() const { return ((value >> 2) & 0x1u) != 0; }

    static FrameHeader fromBytes(const std::uint8_t *bytes) {
        return {(std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                (std::uint32_t(bytes[2]) << 8) | std::uint32_t(bytes[3])};
    }
};

inline constexpr unsigned kVersionMpeg25 = 0;
inline constexpr unsigned kVersionReserved = 1;
inline constexpr unsigned kVersionMpeg2 = 2;
inline constexpr unsigned kVersionMpeg1 = 3;
inline constexpr unsigned kLayerReserved = 0;
inline constexpr unsigned kLayer3 = 1;
inline constexpr unsigned kLayer2 = 2;
inline constexpr unsigned kLayer1 = 3;
inline constexpr unsigned kBitRateFree = 0;
inline constexpr unsigned kBitRateBad = 15;
inline constexpr unsigned kSampleRateReserved = 3;

// True when `value` has the eleven sync bits, a known version, layer and sample rate, and a bit
// rate other than the forbidden index 15. Free format passes.
bool IsMpegFrameHeader(std::uint32_t value);

// The description texts of a header, as the user sees them.
std::string_view versionName(FrameHeader h);
std::string_view layerName(FrameHeader h);
std::string_view sampleRateName(FrameHeader h);
std::string_view bitRateName(FrameHeader h);
// Bit rate in bit/s and sample rate in Hz, taken from the names above; 0 when the name holds no
// number ("free", "bad", "reserved").
std::uint32_t bitRateOf(FrameHeader h);
std::uint32_t sampleRateOf(FrameHeader h);
// The frame length in bytes, integer arithmetic; 0 when it cannot be computed (free format or no
// sample rate).
std::uint32_t frameLength(FrameHeader h);

enum class MpegCheckCode : int {
    Accepted = 0,
    Mpeg25 = -1,         // the player cannot decode MPEG-2.5
    NoFrameHeader = -2,  // no confirmed header in the search window
    BitRateTooHigh = -3, // 320 kbit/s or more; the caller decides whether that matters
};

struct MpegCheck {
    MpegCheckCode code = MpegCheckCode::Accepted;
    // False when the file could not be opened or held fewer than 10 bytes; the code is then
    // Accepted, so that such a file goes on as before, but callers that report may say so.
    bool opened = false;
    bool examined = false;
    std::optional<std::uint64_t> headerOffset; // the confirmed header's file offset
    FrameHeader header;
    std::uint64_t searchStart = 0; // where the search began (after a leading ID3v2 tag)
    // "path\n\nversion\nlayer\nsample rate\nbit rate"; empty without a confirmed header.
    std::string description;
};

// The number of header positions searched after the start offset.
inline constexpr std::uint64_t kSearchPositions = 2561;

// Checks the file at `path`. For NoFrameHeader and Mpeg25 the message has been shown through
// `sink` when this returns; for the other codes nothing is shown. Opens, reads and closes the
// file; reads at most the first 10 bytes and one search window.
MpegCheck CheckMpegHeader(const std::string &path, MessageSink &sink);
// The same over any byte source; `path` is only used in the texts.
MpegCheck checkMpegHeader(const ByteSource &source, std::string_view path, MessageSink &sink);

} // namespace tunara::media
