#include "sizeprediction.h"

#include <algorithm>
#include <cmath>

namespace tunara::sync {

namespace {

// LAME's encoder delay: the samples it puts in front of the stream, which the last frame's
// padding rounds up.
constexpr std::uint64_t kEncoderDelaySamples = 576;
constexpr std::uint64_t kLayer3SlotFactor = 144; // bytes per frame = 144 x bit rate / rate
// Longer than 4 GiB at the lowest rate: such a file fits no memory.
constexpr double kLongestSeconds = 1e7;

} // namespace

int outputSampleRate(int sourceRate) {
    return sourceRate == 48000 || sourceRate == 32000 ? sourceRate : 44100;
}

std::uint64_t predictedAudioBytes(double seconds, int sampleRate, int bitRateKbps, bool vbr) {
    if (sampleRate <= 0 || bitRateKbps <= 0 || !(seconds >= 0))
        return 0;
    // A damaged header may claim any length; no file the player holds lasts this long, and a
    // length past it would overflow the sample count.
    seconds = std::min(seconds, kLongestSeconds);
    const auto samples = std::uint64_t(std::llround(seconds * sampleRate));
    // The stream's frames and the Xing/Info frame written over the room LAME leaves before
    // them.
    const std::uint64_t frames =
        (samples + kEncoderDelaySamples + kSamplesPerFrame - 1) / kSamplesPerFrame + 1;
    const std::uint64_t bitsPerSecond = std::uint64_t(bitRateKbps) * 1000;
    if (vbr) // every frame at the highest rate, with its padding byte
        return frames * (kLayer3SlotFactor * bitsPerSecond / std::uint64_t(sampleRate) + 1);
    // CBR frames are padded so that their mean length is exactly 144 x bit rate / rate.
    return frames * kLayer3SlotFactor * bitsPerSecond / std::uint64_t(sampleRate);
}

std::uint64_t predictedConvertedBytes(const SourceInfo &source,
                                      const media::ConvertSettings &settings) {
    return predictedAudioBytes(source.seconds, settings.sampleRate, settings.bitRateKbps,
                               settings.vbr) +
           (settings.cover ? source.tagBytesWithCover : source.tagBytes);
}

} // namespace tunara::sync
