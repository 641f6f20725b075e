#include "mpeginfo.h"

#include "mediatexts.h"
#include "mpegheader.h"

#include <array>
#include <vector>

namespace tunara::media {

namespace {

constexpr std::uint8_t kSyncByte = 0xFF;
// Eleven sync bits and the MPEG-1 version: the second byte's top five bits.
constexpr std::uint8_t kMpeg1SyncMask = 0xF8;
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::uint32_t kBitsPerKbit = 1000;

// MPEG-1 bit rates in kbit/s by layer field (Layer III, II, I) and bit-rate index 1..14.
constexpr std::array<std::array<std::uint32_t, 16>, 4> kMpeg1Kbps{{
    {},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
}};
constexpr std::array<std::uint32_t, 4> kMpeg1SampleRates{44100, 48000, 32000, 0};

bool isMpeg1Sync(const std::uint8_t *b) {
    return b[0] == kSyncByte && (b[1] & kMpeg1SyncMask) == kMpeg1SyncMask;
}

// The frame length of an MPEG-1 candidate, or 0 when the tables hold none for it: reserved
// layer, reserved sample rate, free format or the forbidden index. Such candidates are passed
// over and the scan goes on, since a sync pair inside a tag or picture is far more likely than a
// free-format stream.
std::uint32_t mpeg1FrameLength(FrameHeader h) {
    const std::uint32_t kbps = kMpeg1Kbps[h.layer()][h.bitRateIndex()];
    const std::uint32_t rate = kMpeg1SampleRates[h.sampleRateIndex()];
    if (h.layer() == kLayerReserved || kbps == 0 || rate == 0)
        return 0;
    const std::uint32_t bps = kbps * kBitsPerKbit;
    // A padded Layer I frame carries one more four-byte slot at every sample rate.
    if (h.layer() == kLayer1)
        return (12 * bps / rate + h.padding()) * 4;
    return 144 * bps / rate + h.padding();
}

MpegInfo describe(FrameHeader h, std::uint64_t offset) {
    MpegInfo info;
    info.layer = int(4 - h.layer());
    if (h.bitRateIndex() == kBitRateFree)
        info.bitRate = text::kFreeFormat;
    else if (h.bitRateIndex() == kBitRateBad || h.layer() == kLayerReserved)
        info.bitRate = text::kForbidden;
    else
        info.bitRate = std::to_string(kMpeg1Kbps[h.layer()][h.bitRateIndex()]) +
                       std::string(text::kKbitSuffix);
    info.frequency = text::kFrequencies[h.sampleRateIndex()];
    info.mode = text::kChannelModes[h.channelMode()];
    info.copyrighted = h.copyright() ? text::kYes : text::kNo;
    info.original = h.original() ? text::kYes : text::kNo;
    info.crc = h.crcPresent() ? text::kYes : text::kNo;
    info.offset = offset;
    return info;
}

} // namespace

std::optional<MpegInfo> ReadMpegInfo(const std::string &path, MessageSink &sink) {
    const auto file = FileSource::open(path);
    if (!file) {
        sink.showMessage(MessageIcon::Stop, text::kInvalidHandleCaption,
                         std::string(text::kErrorOpeningFile) + path);
        return std::nullopt;
    }
    return readMpegInfo(*file);
}

std::optional<MpegInfo> readMpegInfo(const ByteSource &source) {
    // The file is read in chunks that overlap by three bytes, so every position is looked at
    // with its four bytes in one piece.
    std::vector<std::uint8_t> chunk(kChunkBytes);
    std::uint64_t base = 0;
    for (;;) {
        const std::size_t got = source.readAt(base, chunk);
        if (got < kHeaderBytes)
            return std::nullopt;
        for (std::size_t i = 0; i + kHeaderBytes <= got; ++i) {
            if (!isMpeg1Sync(chunk.data() + i))
                continue;
            const FrameHeader h = FrameHeader::fromBytes(chunk.data() + i);
            const std::uint32_t length = mpeg1FrameLength(h);
            if (length == 0)
                continue;
            // The whole frame must be there; a cut-off first frame ends the read.
            if (base + i + length > source.size())
                return std::nullopt;
            return describe(h, base + i);
        }
        base += got - (kHeaderBytes - 1);
    }
}

std::string mpegPanelText(std::uint64_t fileSize, std::uint64_t tagSize, const MpegInfo &info) {
    const std::array<std::string, 9> values{std::to_string(fileSize),
                                            std::to_string(tagSize),
                                            std::to_string(info.layer),
                                            info.bitRate,
                                            info.frequency,
                                            info.mode,
                                            info.crc,
                                            info.copyrighted,
                                            info.original};
    const std::string_view tmpl = text::kMpegPanelTemplate;
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '%' && i + 1 < tmpl.size() && (tmpl[i + 1] == 'd' || tmpl[i + 1] == 's') &&
            next < values.size()) {
            out += values[next++];
            ++i;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

} // namespace tunara::media
