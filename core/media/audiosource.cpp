#include "audiosource.h"

#include "avhandles.h"

#include "coverart.h"
#include "leadinginteger.h"
#include "localinput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/encryption_info.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tunara::media {

namespace {

constexpr int kOutChannels = 2;
constexpr int kLowestRate = 1000;    // Hz
constexpr int kHighestRate = 768000; // Hz, the highest rate studio files use
constexpr int kMostChannels = 64;
// A source that ends this much before the length its container declares is truncated.
constexpr double kTruncationSlackSeconds = 0.5;
// An MP3 stream often carries a damaged frame or two (joined files, a tag in the middle) that
// the decoder skips; a stream of another format is taken whole or not at all.
constexpr int kMp3FramesSkippable = 3;

using av::CodecFreer;
using av::FormatCloser;
using av::FrameFreer;
using av::PacketFreer;
using av::SwrFreer;

std::string avError(int code) {
    return av::errorText(code);
}

using av::tagValue;
using av::yearOf;

// The disc number as TPOS holds it: "n/total" or "n". Vorbis comments and some taggers keep the
// total apart ("disctotal", "totaldiscs"); MP4's "disk" and ID3's TPOS arrive as "n/total".
std::string discOf(const AVDictionary *a, const AVDictionary *b) {
    const std::string text = tagValue(a, b, {"disc", "discnumber"});
    const std::optional<int> number = leadingInteger(text);
    if (!number || *number <= 0)
        return {};
    std::optional<int> total;
    if (const auto slash = text.find('/'); slash != std::string::npos)
        total = leadingInteger(std::string_view(text).substr(slash + 1));
    if (!total)
        total = leadingInteger(tagValue(a, b, {"disctotal", "totaldiscs"}));
    std::string disc = std::to_string(*number);
    if (total && *total > 0)
        disc += "/" + std::to_string(*total);
    return disc;
}

struct DictionariesFreer {
    unsigned count = 0;
    void operator()(AVDictionary **d) const {
        for (unsigned i = 0; i < count; ++i)
            av_dict_free(&d[i]);
        av_freep(&d);
    }
};

bool protectedStream(const AVStream *st) {
    if (st->codecpar->codec_tag == MKTAG('d', 'r', 'm', 's'))
        return true;
    size_t size = 0;
    return av_stream_get_side_data(st, AV_PKT_DATA_ENCRYPTION_INIT_INFO, &size) != nullptr;
}

} // namespace

struct AudioSource::Impl {
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecFreer> codec;
    std::unique_ptr<SwrContext, SwrFreer> swr;
    int stream = -1;
    int sampleRate = 0;
    int64_t fileSize = 0;
    bool mp3 = false;
};

void silenceFfmpegLog() {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
}

AudioSource::AudioSource(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
AudioSource::~AudioSource() = default;

std::variant<std::unique_ptr<AudioSource>, DecodeFailure> AudioSource::open(const std::string &path,
                                                                            int sampleRate) {
    silenceFfmpegLog();
    auto impl = std::make_unique<Impl>();
    impl->sampleRate = sampleRate;
    AVFormatContext *raw = nullptr;
    if (const int rc = openLocalInput(&raw, path); rc < 0) {
        if (const std::string script = refusedFormatOf(path); !script.empty())
            return DecodeFailure{"is a playlist or script naming other files (" + script +
                                 "), not an audio file"};
        return DecodeFailure{"cannot be read as audio: " + avError(rc)};
    }
    impl->format.reset(raw);
    AVFormatContext *fmt = raw;
    // Finding the streams' parameters decodes a frame of each, the attached cover too: a small
    // picture file can claim a size whose pixels take gigabytes. Its decoder gets the cover's
    // limit; the cover is refused later with that size named (see coverJpeg).
    const unsigned streams = fmt->nb_streams;
    std::unique_ptr<AVDictionary *, DictionariesFreer> streamOptions(
        static_cast<AVDictionary **>(av_calloc(std::max(1u, streams), sizeof(AVDictionary *))),
        DictionariesFreer{streams});
    if (!streamOptions)
        return DecodeFailure{"out of memory"};
    for (unsigned i = 0; i < streams; ++i)
        if (av_dict_set_int(&streamOptions.get()[i], "max_pixels", kCoverMaxPixels, 0) < 0)
            return DecodeFailure{"out of memory"};
    if (const int rc = avformat_find_stream_info(fmt, streamOptions.get()); rc < 0)
        return DecodeFailure{"no stream information: " + avError(rc)};
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (index == AVERROR_STREAM_NOT_FOUND)
        return DecodeFailure{"holds no audio stream"};
    AVStream *st = index >= 0 ? fmt->streams[index] : nullptr;
    if (st != nullptr && protectedStream(st))
        return DecodeFailure{"its audio is protected (DRM) and cannot be converted"};
    if (index == AVERROR_DECODER_NOT_FOUND || decoder == nullptr)
        return DecodeFailure{"no decoder for its audio format"};
    if (index < 0)
        return DecodeFailure{"no audio stream: " + avError(index)};
    impl->stream = index;
    impl->mp3 = st->codecpar->codec_id == AV_CODEC_ID_MP3;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (int(i) != index)
            fmt->streams[i]->discard = AVDISCARD_ALL;

    impl->codec.reset(avcodec_alloc_context3(decoder));
    if (!impl->codec)
        return DecodeFailure{"out of memory"};
    AVCodecContext *cc = impl->codec.get();
    if (const int rc = avcodec_parameters_to_context(cc, st->codecpar); rc < 0)
        return DecodeFailure{"bad stream parameters: " + avError(rc)};
    // Conversions run one per core already: a decoder's own threads would only compete.
    cc->thread_count = 1;
    cc->pkt_timebase = st->time_base;
    if (const int rc = avcodec_open2(cc, decoder, nullptr); rc < 0)
        return DecodeFailure{"the decoder refuses the stream: " + avError(rc)};
    if (cc->sample_rate <= 0 || cc->ch_layout.nb_channels <= 0)
        return DecodeFailure{"the stream has no sample rate or no channels"};
    // A damaged header can claim any rate; resampling from hundreds of MHz would take minutes
    // and gigabytes for nothing.
    if (cc->sample_rate < kLowestRate || cc->sample_rate > kHighestRate ||
        cc->ch_layout.nb_channels > kMostChannels)
        return DecodeFailure{"the stream claims " + std::to_string(cc->sample_rate) + " Hz and " +
                             std::to_string(cc->ch_layout.nb_channels) +
                             " channels, which no audio file has"};

    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    AVChannelLayout in{};
    if (cc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in, cc->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&in, &cc->ch_layout);
    SwrContext *swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLTP, sampleRate, &in,
                                       cc->sample_fmt, cc->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    impl->swr.reset(swr);
    if (rc < 0 || swr_init(swr) < 0)
        return DecodeFailure{"cannot resample the stream"};

    if (fmt->pb != nullptr)
        impl->fileSize = avio_size(fmt->pb);
    std::unique_ptr<AudioSource> source(new AudioSource(std::move(impl)));
    // A length guessed from the bit rate (an MP3 without a frame count) proves nothing, unless
    // every sample has the same size (PCM in WAV and AIFF).
    if (fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE &&
        av_get_exact_bits_per_sample(st->codecpar->codec_id) <= 0)
        source->m_declaredSeconds = 0;
    else if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        source->m_declaredSeconds = double(st->duration) * av_q2d(st->time_base);
    else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
        source->m_declaredSeconds = double(fmt->duration) / AV_TIME_BASE;

    const AVDictionary *global = fmt->metadata;
    const AVDictionary *own = st->metadata;
    SourceTags &t = source->m_tags;
    t.title = tagValue(global, own, {"title"});
    t.artist = tagValue(global, own, {"artist", "album_artist"});
    t.album = tagValue(global, own, {"album"});
    t.year = yearOf(tagValue(global, own, {"date", "year", "TYER", "TDRC"}));
    t.genre = tagValue(global, own, {"genre"});
    t.comment = tagValue(global, own, {"comment", "description"});
    t.composer = tagValue(global, own, {"composer"});
    t.track = std::atoi(tagValue(global, own, {"track", "tracknumber"}).c_str());
    t.disc = discOf(global, own);

    // The front cover where the source marks one, else its first picture.
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream *pic = fmt->streams[i];
        if ((pic->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0 || pic->attached_pic.size <= 0)
            continue;
        const AVDictionaryEntry *kind = av_dict_get(pic->metadata, "comment", nullptr, 0);
        const bool front = kind != nullptr && std::string_view(kind->value) == "Cover (front)";
        if (!source->m_cover.bytes.empty() && !front)
            continue;
        source->m_cover.bytes.assign(pic->attached_pic.data,
                                     pic->attached_pic.data + pic->attached_pic.size);
        source->m_cover.codecId = pic->codecpar->codec_id;
        if (front)
            break;
    }
    return source;
}

std::optional<DecodeFailure> AudioSource::decode(const Sink &sink, const Progress &progress,
                                                 const std::atomic<bool> *stop) {
    Impl &d = *m_impl;
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!packet || !frame)
        return DecodeFailure{"out of memory"};
    std::vector<float> left, right;
    int64_t delivered = 0;
    int skipped = 0;

    // Resamples `in` (nullptr flushes the resampler) and hands the result on.
    const auto deliver = [&](const AVFrame *in) -> std::optional<DecodeFailure> {
        const int inSamples = in != nullptr ? in->nb_samples : 0;
        const int room = swr_get_out_samples(d.swr.get(), inSamples);
        if (room < 0)
            return DecodeFailure{"cannot resample the stream"};
        if (room == 0)
            return std::nullopt;
        left.resize(size_t(room));
        right.resize(size_t(room));
        uint8_t *out[kOutChannels] = {reinterpret_cast<uint8_t *>(left.data()),
                                      reinterpret_cast<uint8_t *>(right.data())};
        const int got = swr_convert(
            d.swr.get(), out, room,
            in != nullptr ? const_cast<const uint8_t **>(in->extended_data) : nullptr, inSamples);
        if (got < 0)
            return DecodeFailure{"cannot resample the stream: " + avError(got)};
        if (got > 0 && !sink(left.data(), right.data(), got))
            return DecodeFailure{"stopped", true};
        delivered += got;
        return std::nullopt;
    };
    const auto drain = [&]() -> std::optional<DecodeFailure> {
        for (;;) {
            const int rc = avcodec_receive_frame(d.codec.get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return std::nullopt;
            if (rc < 0) {
                if (d.mp3 && rc == AVERROR_INVALIDDATA && ++skipped <= kMp3FramesSkippable)
                    continue;
                return DecodeFailure{"damaged audio: " + avError(rc)};
            }
            auto failed = deliver(frame.get());
            av_frame_unref(frame.get());
            if (failed)
                return failed;
        }
    };

    // A stream that breaks off before the length its container declares is truncated; that
    // says more than the decoder's complaint about the last, partial packet.
    const auto ended = [&](std::optional<DecodeFailure> failure) -> std::optional<DecodeFailure> {
        if (failure && failure->stopped)
            return failure;
        const double seconds = double(delivered) / d.sampleRate;
        if (m_declaredSeconds > 0 && seconds + kTruncationSlackSeconds < m_declaredSeconds) {
            char text[128];
            std::snprintf(text, sizeof text, "truncated: the audio ends at %.1f s of %.1f s",
                          seconds, m_declaredSeconds);
            std::string reason = text;
            if (failure)
                reason += " (" + failure->reason + ")";
            return DecodeFailure{reason};
        }
        if (!failure && delivered == 0)
            return DecodeFailure{"no audio could be decoded"};
        return failure;
    };

    int64_t lastReported = -1;
    for (;;) {
        if (stop != nullptr && stop->load())
            return DecodeFailure{"stopped", true};
        const int rc = av_read_frame(d.format.get(), packet.get());
        if (rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return ended(DecodeFailure{"cannot read the file: " + avError(rc)});
        if (packet->stream_index != d.stream) {
            av_packet_unref(packet.get());
            continue;
        }
        size_t sideSize = 0;
        if (av_packet_get_side_data(packet.get(), AV_PKT_DATA_ENCRYPTION_INFO, &sideSize) !=
            nullptr) {
            av_packet_unref(packet.get());
            return DecodeFailure{"its audio is protected (DRM) and cannot be converted"};
        }
        const int64_t position = packet->pos;
        const int sent = avcodec_send_packet(d.codec.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            if (!(d.mp3 && sent == AVERROR_INVALIDDATA && ++skipped <= kMp3FramesSkippable))
                return ended(DecodeFailure{"damaged audio: " + avError(sent)});
        }
        if (auto failed = drain())
            return ended(failed);
        if (progress && d.fileSize > 0 && position > lastReported + d.fileSize / 100) {
            lastReported = position;
            progress(std::min(1.0, double(position) / double(d.fileSize)));
        }
    }
    if (const int rc = avcodec_send_packet(d.codec.get(), nullptr); rc < 0 && rc != AVERROR_EOF)
        return ended(DecodeFailure{"damaged audio at the end: " + avError(rc)});
    if (auto failed = drain())
        return ended(failed);
    if (auto failed = deliver(nullptr))
        return ended(failed);
    if (auto failed = ended(std::nullopt))
        return failed;
    if (progress)
        progress(1.0);
    return std::nullopt;
}

} // namespace tunara::media
