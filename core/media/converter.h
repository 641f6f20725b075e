// One audio file made into an MP3 the player plays: MPEG-1 Layer III, stereo, at the bit rate
// asked for, with an ID3v2.3 tag carrying the source's tags and front cover. Used through the
// conversion cache and queue; any thread, one conversion per call.
#pragma once

#include "levelling.h"
#include "sourcestamp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tunara::media {

inline constexpr int kDefaultBitRateKbps = 192;
// The player keeps file sizes in 32 bits: no converted file may reach 4 GiB.
inline constexpr std::uint64_t kMaxOutputBytes = 0xFFFFFFFFull;
// The samples a conversion that measures its track holds: about six minutes at 44.1 kHz.
inline constexpr std::size_t kHeldTrackBytes = std::size_t(128) * 1024 * 1024;

struct ConvertSettings {
    int bitRateKbps = kDefaultBitRateKbps; // CBR rate, or the highest rate of a VBR stream
    bool vbr = false;
    int sampleRate = 44100;
    bool cover = true; // carry the front cover, scaled to at most 300 x 300
    // The largest converted file, in bytes: a source whose MP3 would be larger is refused before
    // it is converted, and a conversion stops once its output passes this (a source that
    // declares a wrong length). Not part of the key: it changes no byte of a file made.
    std::uint64_t maxOutputBytes = kMaxOutputBytes;
    // The free room of the memory the file goes to, when known: the same as maxOutputBytes, when
    // it is the lower, but named so in the failure. Not part of the key.
    std::uint64_t roomBytes = kMaxOutputBytes;
    // Volume levelling: the gain is applied to the decoded samples ahead of the encoder, held
    // back so that the peak stays at or below -1 dBFS, and the tag carries the ReplayGain values
    // of the file as it is written. `levelGain` is what was measured beforehand (an album's
    // files together); without it the converter measures the track first, by a decode of its
    // own. Off leaves every byte as it was.
    LevelMode level = LevelMode::Off;
    std::optional<LevelGain> levelGain;
    // A track measured by the converter is decoded once: its samples, up to this many bytes, are
    // held while the meter reads them and encoded once its gain is known. A longer track is
    // decoded twice (measured at its own rate then, so a gain may differ in its last digit).
    // Not part of the key.
    std::size_t heldTrackBytes = kHeldTrackBytes;
    // The gains a source's tags hold (storedLevelGain) are taken instead of measuring it, when
    // they are whole; part of the key.
    bool useStoredGain = false;
    // An MP3 the player plays as it is: nothing is decoded or encoded, only its global gains
    // are moved for `level` (levelledMp3Copy); the bit rate, rate and cover do not apply.
    bool keepEncoding = false;

    // A short text naming every setting, part of the cache key ("cbr192-44100-cover"; levelling
    // adds its mode and gains, so that a file converted without it keeps its key).
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
// at `output`. The source is checked not to have changed (see SourceStamp) while it was read.
// `notes` receives what was left out on the way (a cover that cannot be decoded or is too
// large). Only local files are opened: a name such as "pipe:x.flac" names a file. Blocks.
std::optional<ConvertFailure> convertFile(const std::string &source, const std::string &output,
                                          const ConvertSettings &settings,
                                          const ConvertProgress &progress,
                                          const std::atomic<bool> *stop,
                                          std::vector<std::string> *notes = nullptr);
// The same with the source's stamp read by the caller beforehand (the one its cache key was
// made of): the conversion fails when the source no longer matches it at the end.
std::optional<ConvertFailure>
convertFile(const std::string &source, const SourceStamp &before, const std::string &output,
            const ConvertSettings &settings, const ConvertProgress &progress,
            const std::atomic<bool> *stop, std::vector<std::string> *notes = nullptr);

} // namespace tunara::media
