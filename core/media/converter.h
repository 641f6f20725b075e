// One audio file made into an MP3 the player plays: MPEG-1 Layer III, stereo, at the bit rate
// asked for, with an ID3v2.3 tag carrying the source's tags and front cover. Used through the
// conversion cache and queue; any thread, one conversion per call.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tunara::media {

inline constexpr int kDefaultBitRateKbps = 192;

struct ConvertSettings {
    int bitRateKbps = kDefaultBitRateKbps; // CBR rate, or the highest rate of a VBR stream
    bool vbr = false;
    int sampleRate = 44100;
    bool cover = true; // carry the front cover, scaled to at most 300 x 300

    // A short text naming every setting, part of the cache key ("cbr192-44100-cover").
    std::string key() const;
};

// The MPEG-1 Layer III bit rates (kbit/s) a setting may name.
bool isLayer3BitRate(int kbps);

struct ConvertFailure {
    std::string message; // names the source file and says why
    bool stopped = false;
};

// Fraction done, 0..1.
using ConvertProgress = std::function<void(double)>;

// Converts `source` into a new file `output` (which must not exist). On failure nothing is left
// at `output`. The source is checked not to have changed (size, time) while it was read.
// `notes` receives what was left out on the way (a cover that cannot be decoded). Blocks.
std::optional<ConvertFailure> convertFile(const std::string &source, const std::string &output,
                                          const ConvertSettings &settings,
                                          const ConvertProgress &progress,
                                          const std::atomic<bool> *stop,
                                          std::vector<std::string> *notes = nullptr);

} // namespace tunara::media
