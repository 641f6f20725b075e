#include "mp3encoder.h"

#include <lame/lame.h>

#include <algorithm>

namespace tunara::media {

namespace {

// LAME's advice for its output buffer: 1.25 x samples + 7200 bytes.
size_t outputRoom(int frames) {
    return size_t(frames) * 5 / 4 + 7200;
}

constexpr int kInfoFrameRoom = 2880; // the largest MPEG-1 Layer III frame and then some

} // namespace

struct Mp3Encoder::State {
    lame_global_flags *lame = nullptr;
    ~State() {
        if (lame != nullptr)
            lame_close(lame);
    }
};

Mp3Encoder::Mp3Encoder(std::unique_ptr<State> state) : m_state(std::move(state)) {}
Mp3Encoder::~Mp3Encoder() = default;

std::variant<std::unique_ptr<Mp3Encoder>, std::string>
Mp3Encoder::create(const EncoderSettings &s) {
    auto state = std::make_unique<State>();
    state->lame = lame_init();
    if (state->lame == nullptr)
        return std::string("the MP3 encoder cannot start");
    lame_global_flags *g = state->lame;
    lame_set_in_samplerate(g, s.sampleRate);
    lame_set_out_samplerate(g, s.sampleRate);
    lame_set_num_channels(g, 2);
    lame_set_mode(g, JOINT_STEREO);
    // The tag is written by the tag engine; LAME writes only its info frame.
    lame_set_write_id3tag_automatic(g, 0);
    lame_set_bWriteVbrTag(g, 1);
    if (s.vbr) {
        lame_set_VBR(g, vbr_default);
        lame_set_VBR_mean_bitrate_kbps(g, s.bitRateKbps);
        // A VBR stream never goes above the rate asked for.
        lame_set_VBR_max_bitrate_kbps(g, s.bitRateKbps);
    } else {
        lame_set_VBR(g, vbr_off);
        lame_set_brate(g, s.bitRateKbps);
    }
    if (lame_init_params(g) < 0)
        return "the MP3 encoder refuses " + std::to_string(s.bitRateKbps) + " kbit/s at " +
               std::to_string(s.sampleRate) + " Hz";
    return std::unique_ptr<Mp3Encoder>(new Mp3Encoder(std::move(state)));
}

bool Mp3Encoder::encode(const float *left, const float *right, int frames,
                        std::vector<std::uint8_t> &out) {
    const size_t start = out.size();
    out.resize(start + outputRoom(frames));
    const int n = lame_encode_buffer_ieee_float(m_state->lame, left, right, frames,
                                                out.data() + start, int(out.size() - start));
    out.resize(start + size_t(std::max(n, 0)));
    return n >= 0;
}

bool Mp3Encoder::finish(std::vector<std::uint8_t> &out) {
    const size_t start = out.size();
    out.resize(start + 7200);
    const int n = lame_encode_flush(m_state->lame, out.data() + start, 7200);
    out.resize(start + size_t(std::max(n, 0)));
    return n >= 0;
}

std::vector<std::uint8_t> Mp3Encoder::infoFrame() const {
    std::vector<std::uint8_t> frame(kInfoFrameRoom);
    const size_t n = lame_get_lametag_frame(m_state->lame, frame.data(), frame.size());
    frame.resize(n <= frame.size() ? n : 0);
    return frame;
}

} // namespace tunara::media
