// What the plan needs to know of an audio file without decoding it: its length, rates, numbers
// and names, and the size of the ID3v2 tag its converted MP3 would start with.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tunara::sync {

struct SourceInfo {
    double seconds = 0; // the length the container declares or the bit rate implies
    int sampleRate = 0; // Hz
    int bitRateBps = 0; // the stream's (or the file's mean) bit rate, 0 when not known
    int track = 0;      // 0 without one
    int disc = 0;       // 0 without one
    std::string album, title;
    // The ID3v2 tag the converter writes for it, without and with its front cover (the cover as
    // the converter keeps it: scaled to at most 300 x 300). Equal when it has no cover.
    std::uint64_t tagBytes = 0;
    std::uint64_t tagBytesWithCover = 0;
};

// Reads `path` (a local file only: no other protocol is opened) with FFmpeg. The error names
// why it cannot be read. Blocks; any thread.
std::variant<SourceInfo, std::string> probeSource(const std::string &path);

} // namespace tunara::sync
