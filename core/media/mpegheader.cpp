#include "mpegheader.h"

#include "id3header.h"
#include "mediatexts.h"

#include <array>
#include <span>

namespace tunara::media {

namespace {

constexpr std::uint32_t kSyncMask = 0xFFE00000u;
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kPrefixBytes = 10; // "ID3", version, flags, four size bytes
constexpr std::uint32_t kUnitsPerThousand = 1000;
// A bit rate of 300 kbit/s or more is too much for the player from a memory card.
constexpr std::uint32_t kHighBitRateKbps = 300;

// The numeric prefix of a table text (leading blanks skipped) times 1000, truncated: "44.1KHz"
// gives 44100, "11.025KHz" 11025, " 64Kbps" 64000. Decimal digits are taken one by one so that
// no binary fraction rounds 11.025 down to 11024.
constexpr std::uint32_t thousandsOf(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::uint32_t whole = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
        whole = whole * 10 + std::uint32_t(s[i++] - '0');
    std::uint32_t fraction = 0;
    std::uint32_t scale = kUnitsPerThousand;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9' && scale > 1) {
            scale /= 10;
            fraction += std::uint32_t(s[i++] - '0') * scale;
        }
    }
    return whole * kUnitsPerThousand + fraction;
}

constexpr std::string_view bitRateText(unsigned version, unsigned layer, unsigned index) {
    if (version == kVersionReserved)
        return index == 0 ? text::kBitRateReservedVersion : std::string_view{};
    if (layer == kLayerReserved)
        return index == 0 ? text::kBitRateReservedLayer : std::string_view{};
    if (version == kVersionMpeg1) {
        if (layer == kLayer1)
            return text::kBitRatesV1L1[index];
        return layer == kLayer2 ? text::kBitRatesV1L2[index] : text::kBitRatesV1L3[index];
    }
    return layer == kLayer1 ? text::kBitRatesV2L1[index] : text::kBitRatesV2L23[index];
}

constexpr std::size_t tableIndex(unsigned version, unsigned layer, unsigned index) {
    return (std::size_t(version) * 4 + layer) * 16 + index;
}

constexpr auto kBitRateNames = [] {
    std::array<std::string_view, 256> names{};
    for (unsigned v = 0; v < 4; ++v)
        for (unsigned l = 0; l < 4; ++l)
            for (unsigned i = 0; i < 16; ++i)
                names[tableIndex(v, l, i)] = bitRateText(v, l, i);
    return names;
}();

constexpr auto kBitRates = [] {
    std::array<std::uint32_t, 256> rates{};
    for (std::size_t i = 0; i < rates.size(); ++i)
        rates[i] = thousandsOf(kBitRateNames[i]);
    return rates;
}();

constexpr auto kSampleRates = [] {
    std::array<std::uint32_t, 16> rates{};
    for (std::size_t i = 0; i < rates.size(); ++i)
        rates[i] = thousandsOf(text::kSampleRateNames[i]);
    return rates;
}();

static_assert(kSampleRates[3 * 4 + 0] == 44100 && kSampleRates[0] == 11025 &&
              kSampleRates[2 * 4 + 0] == 22050);
static_assert(kBitRates[tableIndex(kVersionMpeg2, kLayer3, 1)] == 8000);

constexpr std::uint32_t lengthOf(unsigned version, unsigned layer, unsigned bitRateIndex,
                                 unsigned sampleRateIndex, unsigned padding) {
    const std::uint64_t b = kBitRates[tableIndex(version, layer, bitRateIndex)];
    const std::uint64_t s = kSampleRates[version * 4 + sampleRateIndex];
    if (s == 0)
        return 0;
    if (layer == kLayer1)
        return std::uint32_t((12 * b / s + padding) * 4);
    if (layer == kLayer3 && version != kVersionMpeg1)
        return std::uint32_t(72 * b / s + padding);
    return std::uint32_t(144 * b / s + padding);
}

// The longest frame any header can claim; the search window is read in one piece that covers
// every confirmation read.
constexpr std::uint32_t kMaxFrameLength = [] {
    std::uint32_t longest = 0;
    for (unsigned v = 0; v < 4; ++v)
        for (unsigned l = 0; l < 4; ++l)
            for (unsigned i = 0; i < 16; ++i)
                for (unsigned s = 0; s < 4; ++s) {
                    const std::uint32_t len = lengthOf(v, l, i, s, 1);
                    longest = len > longest ? len : longest;
                }
    return longest;
}();
constexpr std::size_t kWindowBytes = kSearchPositions - 1 + kMaxFrameLength + 1 + kHeaderBytes;

bool headerAt(std::span<const std::uint8_t> window, std::size_t available, std::uint64_t at) {
    if (at + kHeaderBytes > available)
        return false;
    return IsMpegFrameHeader(FrameHeader::fromBytes(window.data() + at).value);
}

} // namespace

bool IsMpegFrameHeader(std::uint32_t value) {
    const FrameHeader h{value};
    return (value & kSyncMask) == kSyncMask && h.version() != kVersionReserved &&
           h.layer() != kLayerReserved && h.sampleRateIndex() != kSampleRateReserved &&
           h.bitRateIndex() != kBitRateBad;
}

std::string_view versionName(FrameHeader h) {
    return text::kVersionNames[h.version()];
}
std::string_view layerName(FrameHeader h) {
    return text::kLayerNames[h.layer()];
}
std::string_view sampleRateName(FrameHeader h) {
    return text::kSampleRateNames[h.version() * 4 + h.sampleRateIndex()];
}
std::string_view bitRateName(FrameHeader h) {
    return kBitRateNames[tableIndex(h.version(), h.layer(), h.bitRateIndex())];
}
std::uint32_t bitRateOf(FrameHeader h) {
    return kBitRates[tableIndex(h.version(), h.layer(), h.bitRateIndex())];
}
std::uint32_t sampleRateOf(FrameHeader h) {
    return kSampleRates[h.version() * 4 + h.sampleRateIndex()];
}
std::uint32_t frameLength(FrameHeader h) {
    return lengthOf(h.version(), h.layer(), h.bitRateIndex(), h.sampleRateIndex(), h.padding());
}

MpegCheck CheckMpegHeader(const std::string &path, MessageSink &sink) {
    const auto file = FileSource::open(path);
    if (!file)
        return {};
    return checkMpegHeader(*file, path, sink);
}

MpegCheck checkMpegHeader(const ByteSource &source, std::string_view path, MessageSink &sink) {
    MpegCheck result;
    result.opened = true;
    // One read covers the first ten bytes and, for a file without a leading tag, the whole
    // search window with every confirmation read.
    std::array<std::uint8_t, kWindowBytes> window{};
    std::size_t available = source.readAt(0, window);
    if (available < kPrefixBytes)
        return result;
    result.examined = true;

    // A leading tag is stepped over by its header alone; nothing inside it is looked at.
    if (const auto tag = Id3Header::parse(std::span(window).first(kPrefixBytes))) {
        result.searchStart = tag->completeSize();
        available = source.readAt(result.searchStart, window);
    }
    for (std::uint64_t p = 0; p < kSearchPositions; ++p) {
        if (p + kHeaderBytes > available)
            break; // the search ran into the end of the file
        const FrameHeader h = FrameHeader::fromBytes(window.data() + p);
        if (!IsMpegFrameHeader(h.value))
            continue;
        // A free-format header says nothing about where the next frame begins; its padding
        // slot alone would put the "next" header on top of itself, so it is never confirmed.
        if (h.bitRateIndex() == kBitRateFree)
            continue;
        const std::uint32_t length = frameLength(h);
        if (length == 0)
            continue;
        const std::uint64_t next = p + length;
        if (headerAt(window, available, next - 1) || headerAt(window, available, next) ||
            headerAt(window, available, next + 1)) {
            result.headerOffset = result.searchStart + p;
            result.header = h;
            break;
        }
    }

    if (!result.headerOffset) {
        result.code = MpegCheckCode::NoFrameHeader;
        std::string message(text::kNoFrameHeader);
        message += text::kNoFrameHeaderSeparator;
        message += path;
        sink.showMessage(MessageIcon::Stop, {}, message);
        return result;
    }

    const FrameHeader h = result.header;
    result.description = std::string(path) + "\n\n" + std::string(versionName(h)) + "\n" +
                         std::string(layerName(h)) + "\n" + std::string(sampleRateName(h)) + "\n" +
                         std::string(bitRateName(h));
    if (h.version() == kVersionMpeg25) {
        result.code = MpegCheckCode::Mpeg25;
        std::string message(text::kMpeg25NotSupported);
        message += text::kMpeg25Separator;
        message += result.description;
        sink.showMessage(MessageIcon::Warning, {}, message);
        return result;
    }
    if (bitRateOf(h) / kUnitsPerThousand >= kHighBitRateKbps)
        result.code = MpegCheckCode::BitRateTooHigh;
    return result;
}

} // namespace tunara::media
