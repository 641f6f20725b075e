#include "mp3level.h"

#include "bytesource.h"
#include "id3header.h"
#include "mpegheader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace tunara::media {

namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kCrcBytes = 2;
constexpr unsigned kModeSingleChannel = 3;
constexpr std::size_t kId3v1Bytes = 128;
constexpr std::size_t kApeFooterBytes = 32;
constexpr std::uint32_t kApeHasHeader = 0x80000000u;
constexpr int kMaxGain = 255;
// The Layer III side information: its size, where its first granule/channel block starts and
// how long each block is, in bits. global_gain follows part2_3_length (12) and big_values (9).
constexpr std::size_t kGlobalGainBit = 21;
constexpr std::size_t kVbriOffset = 32; // after the header
// The largest file read whole into memory for levelling.
constexpr std::uint64_t kLargestFile = std::uint64_t(1) << 30;

struct SideInfo {
    std::size_t bytes;
    std::size_t firstBlockBit;
    std::size_t blockBits;
    int granules;
    int channels;
};

SideInfo sideInfoOf(FrameHeader h) {
    const bool mono = h.channelMode() == kModeSingleChannel;
    if (h.version() == kVersionMpeg1)
        return mono ? SideInfo{17, 18, 59, 2, 1} : SideInfo{32, 20, 59, 2, 2};
    // MPEG-2 and MPEG-2.5 (lower sampling frequencies) share one granule per frame.
    return mono ? SideInfo{9, 9, 63, 1, 1} : SideInfo{17, 10, 63, 1, 2};
}

std::size_t sideInfoStart(FrameHeader h) {
    return kHeaderBytes + (h.crcPresent() ? kCrcBytes : 0);
}

std::uint32_t le32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// The CRC-16 (polynomial 0x8005, start 0xFFFF) of a protected frame covers the last two header
// bytes and the side information.
std::uint16_t frameCrc(const std::uint8_t *frame, std::size_t sideBytes) {
    std::uint16_t crc = 0xFFFF;
    const auto add = [&crc](std::uint8_t byte) {
        crc = std::uint16_t(crc ^ (std::uint16_t(byte) << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc =
                (crc & 0x8000) != 0 ? std::uint16_t((crc << 1) ^ 0x8005) : std::uint16_t(crc << 1);
    };
    add(frame[2]);
    add(frame[3]);
    for (std::size_t i = 0; i < sideBytes; ++i)
        add(frame[kHeaderBytes + kCrcBytes + i]);
    return crc;
}

// Eight bits at bit `bit` of `p` (big-endian bit order, as the side information is written).
unsigned readByteAt(const std::uint8_t *p, std::size_t bit) {
    const std::size_t i = bit / 8;
    const unsigned shift = unsigned(bit % 8);
    const unsigned two = (unsigned(p[i]) << 8) | p[i + 1];
    return (two >> (8 - shift)) & 0xFFu;
}

void writeByteAt(std::uint8_t *p, std::size_t bit, unsigned value) {
    const std::size_t i = bit / 8;
    const unsigned shift = unsigned(bit % 8);
    unsigned two = (unsigned(p[i]) << 8) | p[i + 1];
    const unsigned mask = 0xFFu << (8 - shift);
    two = (two & ~mask) | ((value & 0xFFu) << (8 - shift));
    p[i] = std::uint8_t(two >> 8);
    p[i + 1] = std::uint8_t(two);
}

struct Candidate {
    FrameHeader header;
    std::size_t length;
};

// A header at `at` whose whole frame lies before `end`.
std::optional<Candidate> frameAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t end) {
    if (at > end || end - at < kHeaderBytes)
        return std::nullopt;
    const FrameHeader h = FrameHeader::fromBytes(b.data() + at);
    if (!IsMpegFrameHeader(h.value) || h.bitRateIndex() == kBitRateFree)
        return std::nullopt;
    const std::size_t length = frameLength(h);
    std::size_t least = kHeaderBytes;
    if (h.layer() == kLayer3)
        least = sideInfoStart(h) + sideInfoOf(h).bytes;
    if (length < least || length > end - at)
        return std::nullopt;
    return Candidate{h, length};
}

bool sameStream(FrameHeader a, FrameHeader b) {
    return a.version() == b.version() && a.layer() == b.layer() &&
           a.sampleRateIndex() == b.sampleRateIndex();
}

// A header of the same version, layer and sample rate (free format too) at `at`.
bool headerOfStreamAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t end,
                      FrameHeader stream) {
    if (end - at < kHeaderBytes)
        return false;
    const FrameHeader h = FrameHeader::fromBytes(b.data() + at);
    return IsMpegFrameHeader(h.value) && sameStream(h, stream);
}

bool isFreeFormatHeader(std::span<const std::uint8_t> b, std::size_t at, std::size_t end) {
    if (end - at < kHeaderBytes)
        return false;
    const FrameHeader h = FrameHeader::fromBytes(b.data() + at);
    return IsMpegFrameHeader(h.value) && h.bitRateIndex() == kBitRateFree;
}

bool hasText(std::span<const std::uint8_t> b, std::size_t at, std::size_t end, const char *text) {
    const std::size_t n = std::strlen(text);
    return at <= end && end - at >= n && std::memcmp(b.data() + at, text, n) == 0;
}

// A tag the end of the audio range did not take off (an ID3v1 tag before an APE tag, a second
// ID3v2 tag, lyrics) ends the stream as the end of the range does.
bool trailingTagAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t end) {
    return hasText(b, at, end, "TAG") || hasText(b, at, end, "ID3") ||
           hasText(b, at, end, "APETAGEX") || hasText(b, at, end, "LYRICSBEGIN");
}

Mp3Frame::Kind kindOf(std::span<const std::uint8_t> b, const Candidate &c, std::size_t at,
                      bool first) {
    const FrameHeader h = c.header;
    if (h.layer() != kLayer3)
        return Mp3Frame::Kind::OtherLayer;
    const SideInfo si = sideInfoOf(h);
    const std::size_t end = at + c.length;
    if (first) {
        // Encoders place the Xing/Info tag after the side information, some counting the CRC
        // and some not.
        for (const std::size_t tag :
             {at + sideInfoStart(h) + si.bytes, at + kHeaderBytes + si.bytes})
            if (hasText(b, tag, end, "Xing") || hasText(b, tag, end, "Info"))
                return Mp3Frame::Kind::InfoFrame;
        if (hasText(b, at + kHeaderBytes + kVbriOffset, end, "VBRI"))
            return Mp3Frame::Kind::InfoFrame;
    }
    if (h.crcPresent()) {
        const std::uint16_t stored = std::uint16_t((b[at + 4] << 8) | b[at + 5]);
        if (frameCrc(b.data() + at, si.bytes) != stored)
            return Mp3Frame::Kind::BadCrc;
    }
    return Mp3Frame::Kind::Levelled;
}

void levelFrame(std::uint8_t *frame, int steps, std::size_t &clamped) {
    const FrameHeader h = FrameHeader::fromBytes(frame);
    const SideInfo si = sideInfoOf(h);
    std::uint8_t *side = frame + sideInfoStart(h);
    for (int g = 0; g < si.granules; ++g)
        for (int ch = 0; ch < si.channels; ++ch) {
            const std::size_t bit = si.firstBlockBit +
                                    std::size_t(g * si.channels + ch) * si.blockBits +
                                    kGlobalGainBit;
            const int wanted = int(readByteAt(side, bit)) + steps;
            const int gain = std::clamp(wanted, 0, kMaxGain);
            if (gain != wanted)
                ++clamped;
            writeByteAt(side, bit, unsigned(gain));
        }
    if (h.crcPresent()) {
        const std::uint16_t crc = frameCrc(frame, si.bytes);
        frame[4] = std::uint8_t(crc >> 8);
        frame[5] = std::uint8_t(crc);
    }
}

bool sameFrames(const Mp3Layout &a, const Mp3Layout &b, std::size_t &firstDifference) {
    const std::size_t n = std::min(a.frames.size(), b.frames.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a.frames[i].offset != b.frames[i].offset || a.frames[i].length != b.frames[i].length) {
            firstDifference = std::min(a.frames[i].offset, b.frames[i].offset);
            return false;
        }
    if (a.frames.size() == b.frames.size())
        return true;
    firstDifference = a.frames.size() > n ? a.frames[n].offset : b.frames[n].offset;
    return false;
}

std::string plural(std::size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

Mp3Layout scanMp3(std::span<const std::uint8_t> b) {
    Mp3Layout layout;
    std::size_t start = 0;
    std::size_t end = b.size();
    if (const auto tag = Id3Header::parse(b))
        start = std::size_t(std::min<std::uint64_t>(tag->completeSize(), end));
    if (end - start >= kId3v1Bytes && hasText(b, end - kId3v1Bytes, end, "TAG"))
        end -= kId3v1Bytes;
    if (end - start >= kApeFooterBytes && hasText(b, end - kApeFooterBytes, end, "APETAGEX")) {
        const std::uint8_t *footer = b.data() + end - kApeFooterBytes;
        const std::uint64_t size = le32(footer + 12);
        const std::uint64_t whole = size + ((le32(footer + 20) & kApeHasHeader) != 0 ? 32 : 0);
        if (size >= kApeFooterBytes && whole <= end - start)
            end -= std::size_t(whole);
    }
    layout.audioStart = start;
    layout.audioEnd = end;

    std::size_t at = start;
    bool expected = true; // `at` is where a frame should start: the start, or after a frame
    while (at < end && end - at >= kHeaderBytes) {
        if (const auto c = frameAt(b, at, end)) {
            // A frame counts when another of its stream, or the end of the audio, follows it:
            // a stray sync in junk is then never taken for a frame and written into.
            const std::size_t next = at + c->length;
            if (next == end || headerOfStreamAt(b, next, end, c->header) ||
                trailingTagAt(b, next, end)) {
                layout.frames.push_back({at, c->length, kindOf(b, *c, at, layout.frames.empty())});
                at = next;
                expected = true;
                continue;
            }
        }
        if (expected && isFreeFormatHeader(b, at, end))
            ++layout.freeFormatFrames;
        expected = false;
        ++layout.skippedBytes;
        ++at;
    }
    layout.skippedBytes += end - std::min(at, end);
    return layout;
}

std::vector<std::uint8_t> levelMp3(std::span<const std::uint8_t> in, int steps,
                                   Mp3LevelReport *report) {
    std::vector<std::uint8_t> out(in.begin(), in.end());
    const Mp3Layout layout = scanMp3(in);
    Mp3LevelReport r;
    r.skippedBytes = layout.skippedBytes;
    std::size_t badCrc = 0, otherLayer = 0, reverted = 0;
    std::vector<bool> changed(layout.frames.size(), false);
    for (std::size_t i = 0; i < layout.frames.size(); ++i) {
        const Mp3Frame &f = layout.frames[i];
        if (f.kind == Mp3Frame::Kind::BadCrc)
            ++badCrc;
        if (f.kind == Mp3Frame::Kind::OtherLayer)
            ++otherLayer;
        if (f.kind != Mp3Frame::Kind::Levelled) {
            ++r.untouchedFrames;
            continue;
        }
        if (steps != 0) {
            levelFrame(out.data() + f.offset, steps, r.clampedGains);
            changed[i] = true;
        }
        ++r.levelledFrames;
    }

    // A new gain byte can complete a header that a stray sync in the junk before it was
    // missing, so that the levelled file would split into frames differently. Such frames keep
    // their old gains; the frames of the copy are then exactly those of the source.
    for (;;) {
        std::size_t difference = 0;
        if (steps == 0 || sameFrames(layout, scanMp3(out), difference))
            break;
        constexpr std::size_t kReach = 2 * 2881 + kHeaderBytes; // two of the longest frames
        bool any = false;
        for (std::size_t i = 0; i < layout.frames.size(); ++i) {
            const Mp3Frame &f = layout.frames[i];
            if (!changed[i] || f.offset + f.length <= difference || f.offset > difference + kReach)
                continue;
            std::copy_n(in.begin() + std::ptrdiff_t(f.offset), f.length,
                        out.begin() + std::ptrdiff_t(f.offset));
            changed[i] = false;
            ++reverted;
            any = true;
        }
        if (!any) { // nothing left to blame: keep the source as it is
            out.assign(in.begin(), in.end());
            reverted = r.levelledFrames;
            break;
        }
    }
    r.levelledFrames -= reverted;
    r.untouchedFrames += reverted;

    if (layout.frames.empty())
        r.notes.push_back("no MPEG audio frames found: nothing was levelled");
    if (badCrc > 0)
        r.notes.push_back(plural(badCrc, "frame with a bad CRC is", "frames with a bad CRC are") +
                          " left as they are");
    if (otherLayer > 0)
        r.notes.push_back(plural(otherLayer, "Layer I or II frame is", "Layer I or II frames are") +
                          " left as they are");
    if (layout.freeFormatFrames > 0)
        r.notes.push_back("free-format frames are left as they are");
    if (layout.skippedBytes > 0)
        r.notes.push_back(plural(layout.skippedBytes, "byte", "bytes") +
                          " of damaged or unknown data between frames are left as they are");
    if (reverted > 0)
        r.notes.push_back(plural(reverted, "frame keeps", "frames keep") +
                          " its gain: a new one would have made junk before it look like a frame");
    if (r.clampedGains > 0)
        r.notes.push_back(plural(r.clampedGains, "gain was", "gains were") +
                          " held at the end of its range");
    if (report != nullptr)
        *report = std::move(r);
    return out;
}

std::optional<std::string> levelMp3File(const std::string &source, const std::string &output,
                                        int steps, Mp3LevelReport *report) {
    errno = 0;
    const auto file = FileSource::open(source);
    if (!file)
        return source +
               ": cannot be read: " + (errno != 0 ? std::strerror(errno) : "not a regular file");
    if (file->size() > kLargestFile)
        return source + ": too large to level";
    std::vector<std::uint8_t> bytes(std::size_t(file->size()));
    if (file->readAt(0, bytes) != bytes.size())
        return source + ": cannot be read whole";
    const std::vector<std::uint8_t> levelled = levelMp3(bytes, steps, report);

    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return "cannot create " + output + ": " + std::strerror(errno);
    const std::uint8_t *p = levelled.data();
    std::size_t left = levelled.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        ok = w > 0;
        if (ok) {
            p += w;
            left -= std::size_t(w);
        }
    }
    const std::string reason = std::strerror(errno);
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        ::unlink(output.c_str());
        return "cannot write " + output + ": " + reason;
    }
    return std::nullopt;
}

int mp3GainSteps(double gainDb, double peak, double ceilingDbfs) {
    if (!std::isfinite(gainDb))
        return 0;
    int steps = int(std::clamp(std::lround(gainDb / kGainStepDb), -long(kMaxGain), long(kMaxGain)));
    if (steps == 0 || !(peak > 0) || !std::isfinite(peak))
        return steps;
    const double ceiling = std::pow(10.0, ceilingDbfs / 20.0);
    // The most steps that keep the peak under the ceiling: peak * 2^(steps/4) <= ceiling.
    const double room = 4.0 * std::log2(ceiling / peak);
    const int limit = int(std::clamp(std::floor(room + 1e-9), double(-kMaxGain), double(kMaxGain)));
    if (steps > limit)
        steps = steps > 0 ? std::max(0, limit) : limit;
    return steps;
}

} // namespace tunara::media
