#include "localinput.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <string_view>

namespace tunara::media {

namespace {

constexpr const char *kFileProtocol = "file";
constexpr const char *kFilePrefix = "file:";
// Demuxers that open further files or streams named in the file they read, or run it.
constexpr std::string_view kNamingOthers[] = {"avisynth", "concat", "dash", "hls", "image2",
                                              "imf",      "rtp",    "rtsp", "sdp", "vapoursynth"};

bool namesOthers(std::string_view name) {
    return std::find(std::begin(kNamingOthers), std::end(kNamingOthers), name) !=
           std::end(kNamingOthers);
}

// libavformat takes a whitelist only: every demuxer it has but those above, comma-separated
// (a name such as "mov,mp4,m4a,3gp,3g2,mj2" stands for each of its parts).
const std::string &formatWhitelist() {
    static const std::string list = [] {
        std::string joined;
        void *state = nullptr;
        while (const AVInputFormat *format = av_demuxer_iterate(&state)) {
            const std::string_view name(format->name);
            if (namesOthers(name))
                continue;
            if (!joined.empty())
                joined += ',';
            joined += name;
        }
        return joined;
    }();
    return list;
}

} // namespace

int openLocalInput(AVFormatContext **format, const std::string &path) {
    *format = nullptr;
    AVDictionary *options = nullptr;
    // The whitelist is the format context's: it holds for every file a demuxer opens as well.
    if (const int rc = av_dict_set(&options, "protocol_whitelist", kFileProtocol, 0); rc < 0)
        return rc;
    if (const int rc = av_dict_set(&options, "format_whitelist", formatWhitelist().c_str(), 0);
        rc < 0) {
        av_dict_free(&options);
        return rc;
    }
    const std::string url = kFilePrefix + path;
    AVFormatContext *opened = nullptr;
    const int rc = avformat_open_input(&opened, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0)
        return rc; // libavformat freed the context
    *format = opened;
    return 0;
}

std::string refusedFormatOf(const std::string &path) {
    AVDictionary *options = nullptr;
    if (av_dict_set(&options, "protocol_whitelist", kFileProtocol, 0) < 0)
        return {};
    const std::string url = kFilePrefix + path;
    AVIOContext *io = nullptr;
    const int opened = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return {};
    // Probing reads the start of the file only; no demuxer is started.
    const AVInputFormat *format = nullptr;
    const int probed = av_probe_input_buffer2(io, &format, url.c_str(), nullptr, 0, 0);
    avio_closep(&io);
    if (probed < 0 || format == nullptr || !namesOthers(format->name))
        return {};
    return format->name;
}

} // namespace tunara::media
