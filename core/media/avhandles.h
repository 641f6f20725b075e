// Owners of FFmpeg's objects, each freed by its own call, and FFmpeg's text for an error code.
// The converter, the cover reader and the loudness decoder share them.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace tunara::media::av {

struct FormatCloser {
    void operator()(AVFormatContext *f) const { avformat_close_input(&f); }
};
struct CodecFreer {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct SwrFreer {
    void operator()(SwrContext *s) const { swr_free(&s); }
};
struct PacketFreer {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};

inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace tunara::media::av
