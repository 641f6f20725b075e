// The size of the MP3 a source becomes, told before it is converted: from its length, the bit
// rate asked for and the tag the converter writes.
#pragma once

#include "converter.h"
#include "sourceprobe.h"

#include <cstdint>

namespace tunara::sync {

// Samples of one MPEG-1 Layer III frame.
inline constexpr std::uint64_t kSamplesPerFrame = 1152;

// The rate a source is converted at: 48 and 32 kHz sources keep theirs (MPEG-1 rates), every
// other source is made 44.1 kHz.
int outputSampleRate(int sourceRate);

// Bytes of the audio frames LAME writes for `seconds` at `sampleRate` and `bitRateKbps` CBR,
// the Xing/Info frame included. For VBR (`vbr`), the largest the stream can be: every frame at
// the highest rate (the converter caps VBR at the rate asked for).
std::uint64_t predictedAudioBytes(double seconds, int sampleRate, int bitRateKbps, bool vbr);

// Bytes of the converted file of `source` with `settings`: the audio as above at
// settings.sampleRate and the ID3v2 tag (with the cover when settings.cover). CBR: within a few
// per cent of what the conversion writes; VBR: an upper bound.
std::uint64_t predictedConvertedBytes(const SourceInfo &source,
                                      const media::ConvertSettings &settings);

} // namespace tunara::sync
