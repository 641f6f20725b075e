// Lossless volume change of an MP3: every Layer III granule's global_gain is moved by whole
// steps of 2^(1/4) in amplitude (1.505 dB), so the audio is never decoded and encoded again.
// The input is untrusted: every read is bounds-checked, and whatever is not a sound frame
// (tags, damaged or truncated frames, junk between frames) is copied as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tunara::media {

// One global_gain unit: 20 * log10(2^(1/4)) dB.
inline constexpr double kGainStepDb = 1.5051499783199060;
// The highest peak a levelled file may reach, in dBFS: room for the overshoot between samples
// and for decoders that round.
inline constexpr double kLevelCeilingDbfs = -1.0;

// The frames of an MPEG audio stream, as the rewriter sees them.
struct Mp3Frame {
    std::size_t offset = 0;
    std::size_t length = 0;
    enum class Kind {
        Levelled,   // a Layer III frame whose gains are changed
        InfoFrame,  // the Xing/Info/VBRI frame at the start: holds no audio and a checksum
        OtherLayer, // Layer I or II: no global_gain
        BadCrc,     // its CRC does not match: left as the decoder will find it
    } kind = Kind::Levelled;
};

struct Mp3Layout {
    std::size_t audioStart = 0; // after a leading ID3v2 tag
    std::size_t audioEnd = 0;   // before a trailing ID3v1 tag and APEv2 tag
    std::vector<Mp3Frame> frames;
    std::size_t skippedBytes = 0;     // bytes in the audio range that belong to no frame
    std::size_t freeFormatFrames = 0; // free-format headers found (left as they are)
};

// Finds the frames of `bytes`: a frame is a valid header whose whole frame lies inside the
// audio range and that is followed by a header of the same version, layer and sample rate, by a
// tag, or by the end of the audio range (so the frame before a damaged header is not one).
// Free-format frames (no length in the header) are not frames here. Never reads outside
// `bytes`; any thread.
Mp3Layout scanMp3(std::span<const std::uint8_t> bytes);

struct Mp3LevelReport {
    std::size_t levelledFrames = 0;
    std::size_t untouchedFrames = 0; // info frame, other layers, bad CRC
    std::size_t clampedGains = 0;    // global_gain values held at 0 or 255
    std::size_t skippedBytes = 0;
    // One sentence per kind of thing left as it was ("3 frames with a bad CRC are left as they
    // are"), for the user.
    std::vector<std::string> notes;
};

// The bytes of `in` with every Layer III granule's global_gain moved by `steps` units
// (negative: quieter), each kept within 0..255, and the CRC of a protected frame made anew.
// The result has the length of `in`; with `steps` 0 it is `in` byte for byte. `report` may be
// null. Any thread.
std::vector<std::uint8_t> levelMp3(std::span<const std::uint8_t> in, int steps,
                                   Mp3LevelReport *report = nullptr);

// The same from the file `source` into the new file `output` (which must not exist; it is never
// the source). On failure nothing is left at `output` and the reason is returned. Blocks.
std::optional<std::string> levelMp3File(const std::string &source, const std::string &output,
                                        int steps, Mp3LevelReport *report = nullptr);

// The steps for a gain of `gainDb`, rounded to the nearest step. When that change would take
// the peak (linear, 1.0 = full scale; 0 when not known) above `ceilingDbfs`, it goes toward the
// quieter side: a louder change is cut (to no change at most), a quieter one goes deeper until
// the peak is under the ceiling. No change stays no change. Within -255..255.
int mp3GainSteps(double gainDb, double peak, double ceilingDbfs = kLevelCeilingDbfs);

} // namespace tunara::media
