// MPEG-1 Layer III encoding through LAME, used directly rather than through libavcodec's
// wrapper: we choose CBR or VBR exactly as LAME offers them, feed it the planar float samples
// the decoder side already makes (no further sample conversion, no second resampler), and get
// its Xing/LAME info frame, which carries the frame count, the encoder delay and the padding, so
// that players and decoders know the exact duration and play albums gaplessly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace tunara::media {

struct EncoderSettings {
    int sampleRate = 44100; // MPEG-1 rates only: 32000, 44100, 48000
    int bitRateKbps = 192;  // CBR rate, or the mean of a VBR stream
    bool vbr = false;
};

class Mp3Encoder {
public:
    static std::variant<std::unique_ptr<Mp3Encoder>, std::string> create(const EncoderSettings &s);
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder &) = delete;
    Mp3Encoder &operator=(const Mp3Encoder &) = delete;

    // Appends the MP3 bytes for `frames` stereo samples (range -1..1) to `out`.
    bool encode(const float *left, const float *right, int frames, std::vector<std::uint8_t> &out);
    // Appends the last frames to `out`.
    bool finish(std::vector<std::uint8_t> &out);
    // The Xing/LAME info frame, to be written over the first frame of the stream once finish()
    // has run (LAME leaves room for it there).
    std::vector<std::uint8_t> infoFrame() const;

private:
    struct State;
    explicit Mp3Encoder(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace tunara::media
