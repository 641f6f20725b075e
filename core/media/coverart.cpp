#include "coverart.h"

#include "avhandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

namespace tunara::media {

namespace {

constexpr int kJpegQuality = 3; // libavcodec's quantiser scale: small is fine
// PNG: the 8-byte signature, then the IHDR chunk (length, "IHDR", width, height, big-endian).
constexpr std::size_t kPngWidthAt = 16;
constexpr std::size_t kPngHeaderEnd = 24;
// GIF: the logical screen's width and height, little-endian, after "GIF89a".
constexpr std::size_t kGifWidthAt = 6;
constexpr std::size_t kGifHeaderEnd = 10;
// BMP: a BITMAPINFOHEADER's signed width and height, little-endian (a negative height is a
// picture stored top down).
constexpr std::size_t kBmpWidthAt = 18;
constexpr std::size_t kBmpHeaderEnd = 26;

using av::CodecFreer;
using av::FrameFreer;
using av::PacketFreer;
struct SwsFreer {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};

AVCodecID guessCodec(std::span<const std::uint8_t> b) {
    if (b.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF)
        return AV_CODEC_ID_MJPEG;
    if (b.size() >= 8 && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G')
        return AV_CODEC_ID_PNG;
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M')
        return AV_CODEC_ID_BMP;
    if (b.size() >= 6 && b[0] == 'G' && b[1] == 'I' && b[2] == 'F')
        return AV_CODEC_ID_GIF;
    return AV_CODEC_ID_NONE;
}

std::string why(int rc) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    return text;
}

std::uint32_t bigEndian32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
           std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}
std::uint32_t littleEndian32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t(b[at + 3]) << 24 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 1]) << 8 | b[at];
}
int clampedSide(std::int64_t v) {
    return int(std::min<std::int64_t>(std::llabs(v), 0x7FFFFFFF));
}

using Frame = std::unique_ptr<AVFrame, FrameFreer>;

std::variant<Frame, std::string> decodePicture(std::span<const std::uint8_t> bytes, AVCodecID id) {
    const AVCodec *codec = avcodec_find_decoder(id);
    if (codec == nullptr)
        return std::string("no decoder for the cover's picture format");
    std::unique_ptr<AVCodecContext, CodecFreer> cc(avcodec_alloc_context3(codec));
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    Frame frame(av_frame_alloc());
    if (!cc || !packet || !frame)
        return std::string("out of memory");
    cc->thread_count = 1;
    // For formats whose size is not read beforehand: the decoder refuses the frame itself.
    cc->max_pixels = kCoverMaxPixels;
    if (const int rc = avcodec_open2(cc.get(), codec, nullptr); rc < 0)
        return "the cover's decoder does not start: " + why(rc);
    // The decoder may read past the end: the packet carries its own padded copy.
    if (av_new_packet(packet.get(), int(bytes.size())) < 0)
        return std::string("out of memory");
    std::copy(bytes.begin(), bytes.end(), packet->data);
    int rc = avcodec_send_packet(cc.get(), packet.get());
    if (rc >= 0)
        rc = avcodec_send_packet(cc.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF)
        return "the cover cannot be decoded: " + why(rc);
    rc = avcodec_receive_frame(cc.get(), frame.get());
    if (rc < 0)
        return "the cover cannot be decoded: " + why(rc);
    if (frame->width <= 0 || frame->height <= 0)
        return std::string("the cover has no size");
    return frame;
}

} // namespace

std::pair<int, int> jpegSize(std::span<const std::uint8_t> b) {
    size_t i = 2;
    while (i + 9 < b.size()) {
        if (b[i] != 0xFF)
            return {0, 0};
        const std::uint8_t marker = b[i + 1];
        const size_t length = size_t(b[i + 2]) << 8 | b[i + 3];
        // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return {int(b[i + 7]) << 8 | b[i + 8], int(b[i + 5]) << 8 | b[i + 6]};
        i += 2 + length;
    }
    return {0, 0};
}

std::pair<int, int> pictureSize(std::span<const std::uint8_t> b) {
    switch (guessCodec(b)) {
    case AV_CODEC_ID_MJPEG:
        return jpegSize(b);
    case AV_CODEC_ID_PNG:
        if (b.size() < kPngHeaderEnd)
            return {0, 0};
        return {clampedSide(bigEndian32(b, kPngWidthAt)),
                clampedSide(bigEndian32(b, kPngWidthAt + 4))};
    case AV_CODEC_ID_GIF:
        if (b.size() < kGifHeaderEnd)
            return {0, 0};
        return {b[kGifWidthAt] | b[kGifWidthAt + 1] << 8,
                b[kGifWidthAt + 2] | b[kGifWidthAt + 3] << 8};
    case AV_CODEC_ID_BMP:
        if (b.size() < kBmpHeaderEnd)
            return {0, 0};
        return {clampedSide(std::int32_t(littleEndian32(b, kBmpWidthAt))),
                clampedSide(std::int32_t(littleEndian32(b, kBmpWidthAt + 4)))};
    default:
        return {0, 0};
    }
}

std::variant<std::vector<std::uint8_t>, std::string> coverJpeg(std::span<const std::uint8_t> bytes,
                                                               int codecId) {
    AVCodecID id = codecId != 0 ? AVCodecID(codecId) : guessCodec(bytes);
    if (id == AV_CODEC_ID_NONE)
        id = guessCodec(bytes);
    if (id == AV_CODEC_ID_NONE)
        return std::string("the cover's picture format is not known");
    if (const auto [w, h] = pictureSize(bytes); std::int64_t(w) * h > kCoverMaxPixels)
        return std::to_string(w) + "x" + std::to_string(h) + " pixels is too large (at most " +
               std::to_string(kCoverMaxPixels / 1'000'000) + " megapixels)";
    if (id == AV_CODEC_ID_MJPEG) {
        const auto [w, h] = jpegSize(bytes);
        if (w > 0 && h > 0 && w <= kCoverMaxSide && h <= kCoverMaxSide)
            return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    auto decoded = decodePicture(bytes, id);
    if (auto *error = std::get_if<std::string>(&decoded))
        return *error;
    const Frame &in = std::get<Frame>(decoded);
    const double scale =
        std::min(1.0, double(kCoverMaxSide) / double(std::max(in->width, in->height)));
    const int width = std::max(1, int(in->width * scale + 0.5));
    const int height = std::max(1, int(in->height * scale + 0.5));

    std::unique_ptr<SwsContext, SwsFreer> sws(
        sws_getContext(in->width, in->height, AVPixelFormat(in->format), width, height,
                       AV_PIX_FMT_YUVJ420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    Frame out(av_frame_alloc());
    if (!sws || !out)
        return std::string("the cover cannot be scaled");
    out->format = AV_PIX_FMT_YUVJ420P;
    out->width = width;
    out->height = height;
    if (av_frame_get_buffer(out.get(), 0) < 0)
        return std::string("out of memory");
    sws_scale(sws.get(), in->data, in->linesize, 0, in->height, out->data, out->linesize);

    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (encoder == nullptr)
        return std::string("no JPEG encoder");
    std::unique_ptr<AVCodecContext, CodecFreer> enc(avcodec_alloc_context3(encoder));
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!enc || !packet)
        return std::string("out of memory");
    enc->width = width;
    enc->height = height;
    enc->pix_fmt = AV_PIX_FMT_YUVJ420P;
    enc->time_base = AVRational{1, 25};
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = FF_QP2LAMBDA * kJpegQuality;
    out->quality = enc->global_quality;
    if (const int rc = avcodec_open2(enc.get(), encoder, nullptr); rc < 0)
        return "the JPEG encoder does not start: " + why(rc);
    int rc = avcodec_send_frame(enc.get(), out.get());
    if (rc >= 0)
        rc = avcodec_receive_packet(enc.get(), packet.get());
    if (rc < 0)
        return "the cover cannot be encoded: " + why(rc);
    return std::vector<std::uint8_t>(packet->data, packet->data + packet->size);
}

} // namespace tunara::media
