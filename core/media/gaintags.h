// ReplayGain values stored in a file's tags, read when the user asks to trust them instead of
// measuring, and the texts written into a converted file's tag. Read: REPLAYGAIN_TRACK_GAIN,
// REPLAYGAIN_ALBUM_GAIN and their _PEAK in FLAC, Vorbis and Opus comments, ID3v2 TXXX frames
// and APE items; R128_TRACK_GAIN and R128_ALBUM_GAIN in Opus comments. Built on TagLib.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace TagLib::ID3v2 {
class Tag;
}

namespace tunara::media {

// The R128 gains of Opus are to -23 LUFS; the ReplayGain reference is 5 dB louder.
inline constexpr double kR128ToReplayGainDb = 5.0;

struct StoredGain {
    std::optional<double> trackGainDb; // to -18 LUFS
    std::optional<double> albumGainDb;
    std::optional<double> trackPeak; // linear, 1.0 = full scale
    std::optional<double> albumPeak;
    // One sentence per value that is there but cannot be read ("REPLAYGAIN_TRACK_GAIN 'loud'
    // is not a gain: ignored").
    std::vector<std::string> warnings;
};

// Reads the gains stored in the file at `path`. A file TagLib cannot open gives no values and a
// warning. Blocks; any thread.
StoredGain readStoredGain(const std::string &path);

// "-6.52 dB", "+3 dB", "-6.52": a gain in dB; nullopt for anything else (or beyond +-99 dB).
std::optional<double> parseGainText(std::string_view text);
// "0.988212": a linear peak from 0 to 100; nullopt for anything else.
std::optional<double> parsePeakText(std::string_view text);
// "-1280": a Q7.8 gain to -23 LUFS (here -5 dB); returned as a gain to -18 LUFS (0 dB).
std::optional<double> parseR128Text(std::string_view text);

// The texts a tag carries: "-6.52 dB" and "0.988212".
std::string gainText(double db);
std::string peakText(double peak);

struct ReplayGainValues {
    double trackGainDb = 0;
    double trackPeak = 0;
    std::optional<double> albumGainDb;
    std::optional<double> albumPeak;
};
// The REPLAYGAIN_* items for `values`, as (description, text) pairs in writing order.
std::vector<std::pair<std::string, std::string>> replayGainItems(const ReplayGainValues &values);
// Adds (or replaces) TXXX:REPLAYGAIN_* frames in `tag` for `values`.
void addReplayGainFrames(TagLib::ID3v2::Tag &tag, const ReplayGainValues &values);

} // namespace tunara::media
