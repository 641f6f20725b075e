// Owners of FFmpeg's objects, each freed by its own call, and FFmpeg's text for an error code.
// The converter, the cover reader, the loudness decoder and the sync's probe share them, and the
// reading of a source's tags.
#pragma once

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
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

// The first of `keys` with a value that is not empty: the container's tags `a` first, then the
// stream's `b`. The converter and the sync's probe read a source's tags alike.
inline std::string tagValue(const AVDictionary *a, const AVDictionary *b,
                            std::initializer_list<const char *> keys) {
    for (const char *key : keys)
        for (const AVDictionary *d : {a, b})
            if (const AVDictionaryEntry *e = av_dict_get(d, key, nullptr, 0);
                e != nullptr && e->value != nullptr && *e->value != '\0')
                return e->value;
    return {};
}

// "2011-05-03" and "2011" both give the year; other text is kept as it stands.
inline std::string yearOf(std::string date) {
    if (date.size() >= 4 && std::all_of(date.begin(), date.begin() + 4, ::isdigit) &&
        (date.size() == 4 || !std::isdigit(static_cast<unsigned char>(date[4]))))
        return date.substr(0, 4);
    return date;
}

} // namespace tunara::media::av
