#include "pcmdecoder.h"

#include "avhandles.h"

#include "localinput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <vector>

namespace tunara::media {

namespace {

constexpr int kLowestRate = 1000;    // Hz
constexpr int kHighestRate = 768000; // Hz
constexpr int kMostChannels = 64;

using av::CodecFreer;
using av::FormatCloser;
using av::FrameFreer;
using av::PacketFreer;
using av::SwrFreer;

std::string avError(int code) {
    return av::errorText(code);
}

} // namespace

struct PcmDecoder::Impl {
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecFreer> codec;
    std::unique_ptr<SwrContext, SwrFreer> swr; // sample format only: same rate and layout
    int stream = -1;
    int rate = 0;
    int channels = 0;
    int damaged = 0;
};

PcmDecoder::PcmDecoder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
PcmDecoder::~PcmDecoder() = default;

int PcmDecoder::sampleRate() const {
    return m_impl->rate;
}
int PcmDecoder::channels() const {
    return m_impl->channels;
}
int PcmDecoder::damagedPackets() const {
    return m_impl->damaged;
}

std::variant<std::unique_ptr<PcmDecoder>, DecodeFailure> PcmDecoder::open(const std::string &path) {
    silenceFfmpegLog();
    auto impl = std::make_unique<Impl>();
    AVFormatContext *raw = nullptr;
    if (const int rc = openLocalInput(&raw, path); rc < 0)
        return DecodeFailure{"cannot be read as audio: " + avError(rc)};
    impl->format.reset(raw);
    if (const int rc = avformat_find_stream_info(raw, nullptr); rc < 0)
        return DecodeFailure{"no stream information: " + avError(rc)};
    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (index == AVERROR_STREAM_NOT_FOUND)
        return DecodeFailure{"holds no audio stream"};
    if (index < 0 || decoder == nullptr)
        return DecodeFailure{"no decoder for its audio format"};
    impl->stream = index;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (int(i) != index)
            raw->streams[i]->discard = AVDISCARD_ALL;
    impl->codec.reset(avcodec_alloc_context3(decoder));
    if (!impl->codec)
        return DecodeFailure{"out of memory"};
    AVCodecContext *cc = impl->codec.get();
    if (const int rc = avcodec_parameters_to_context(cc, raw->streams[index]->codecpar); rc < 0)
        return DecodeFailure{"bad stream parameters: " + avError(rc)};
    cc->thread_count = 1;
    cc->pkt_timebase = raw->streams[index]->time_base;
    if (const int rc = avcodec_open2(cc, decoder, nullptr); rc < 0)
        return DecodeFailure{"the decoder refuses the stream: " + avError(rc)};
    if (cc->sample_rate < kLowestRate || cc->sample_rate > kHighestRate ||
        cc->ch_layout.nb_channels <= 0 || cc->ch_layout.nb_channels > kMostChannels)
        return DecodeFailure{"the stream claims " + std::to_string(cc->sample_rate) + " Hz and " +
                             std::to_string(cc->ch_layout.nb_channels) +
                             " channels, which no audio file has"};
    impl->rate = cc->sample_rate;
    impl->channels = cc->ch_layout.nb_channels;
    return std::unique_ptr<PcmDecoder>(new PcmDecoder(std::move(impl)));
}

std::optional<DecodeFailure> PcmDecoder::decode(const Sink &sink, const std::atomic<bool> *stop) {
    Impl &d = *m_impl;
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!packet || !frame)
        return DecodeFailure{"out of memory"};
    std::vector<float> samples;
    // A stream may change its sample format, channels or rate on the way (joined MP3 files, a
    // chained Ogg stream): the converter is made for the first frame, made anew when they
    // change, and brings every frame to the stream's first rate and channels.
    AVSampleFormat swrFormat = AV_SAMPLE_FMT_NONE;
    int swrChannels = 0;
    int swrRate = 0;

    const auto deliver = [&](const AVFrame *in) -> std::optional<DecodeFailure> {
        if (in != nullptr && in->nb_samples <= 0)
            return std::nullopt;
        if (in != nullptr &&
            (!d.swr || in->format != swrFormat || in->ch_layout.nb_channels != swrChannels ||
             in->sample_rate != swrRate)) {
            if (in->sample_rate < kLowestRate || in->sample_rate > kHighestRate ||
                in->ch_layout.nb_channels <= 0 || in->ch_layout.nb_channels > kMostChannels)
                return DecodeFailure{"the stream changes to a rate or channels no audio has"};
            AVChannelLayout out{}, from{};
            av_channel_layout_default(&out, d.channels);
            av_channel_layout_default(&from, in->ch_layout.nb_channels);
            SwrContext *swr = nullptr;
            const int rc =
                swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLT, d.rate, &from,
                                    AVSampleFormat(in->format), in->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&out);
            av_channel_layout_uninit(&from);
            d.swr.reset(swr);
            if (rc < 0 || swr_init(swr) < 0)
                return DecodeFailure{"cannot read the decoder's samples"};
            swrFormat = AVSampleFormat(in->format);
            swrChannels = in->ch_layout.nb_channels;
            swrRate = in->sample_rate;
        }
        if (!d.swr)
            return std::nullopt;
        const int inSamples = in != nullptr ? in->nb_samples : 0;
        const int room = swr_get_out_samples(d.swr.get(), inSamples);
        if (room <= 0)
            return room < 0 ? std::optional(DecodeFailure{"cannot read the decoder's samples"})
                            : std::nullopt;
        samples.resize(std::size_t(room) * std::size_t(d.channels));
        uint8_t *out[1] = {reinterpret_cast<uint8_t *>(samples.data())};
        const int got = swr_convert(
            d.swr.get(), out, room,
            in != nullptr ? const_cast<const uint8_t **>(in->extended_data) : nullptr, inSamples);
        if (got < 0)
            return DecodeFailure{"cannot read the decoder's samples: " + avError(got)};
        if (got > 0 && !sink(samples.data(), std::size_t(got)))
            return DecodeFailure{"stopped", true};
        return std::nullopt;
    };
    const auto drain = [&]() -> std::optional<DecodeFailure> {
        for (;;) {
            const int rc = avcodec_receive_frame(d.codec.get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return std::nullopt;
            if (rc == AVERROR_INVALIDDATA) {
                ++d.damaged;
                continue;
            }
            if (rc < 0)
                return DecodeFailure{"damaged audio: " + avError(rc)};
            auto failed = deliver(frame.get());
            av_frame_unref(frame.get());
            if (failed)
                return failed;
        }
    };

    for (;;) {
        if (stop != nullptr && stop->load())
            return DecodeFailure{"stopped", true};
        const int rc = av_read_frame(d.format.get(), packet.get());
        if (rc == AVERROR_EOF)
            break;
        if (rc < 0)
            return DecodeFailure{"cannot read the file: " + avError(rc)};
        if (packet->stream_index != d.stream) {
            av_packet_unref(packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(d.codec.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent == AVERROR_INVALIDDATA)
            ++d.damaged;
        else if (sent < 0 && sent != AVERROR(EAGAIN))
            return DecodeFailure{"damaged audio: " + avError(sent)};
        if (auto failed = drain())
            return failed;
    }
    if (const int rc = avcodec_send_packet(d.codec.get(), nullptr); rc < 0 && rc != AVERROR_EOF)
        return DecodeFailure{"damaged audio at the end: " + avError(rc)};
    if (auto failed = drain())
        return failed;
    return deliver(nullptr); // what a rate change left in the resampler
}

} // namespace tunara::media
