// Fuzz target: the lossless MP3 gain rewriter over any bytes. The first byte is the step count
// (-128..127), the rest the file. The copy must have the input's length and frames, differ
// only in the gains and CRCs of the frames it levels, hold every such gain moved by the steps
// (or kept, for a frame it had to leave) and a CRC that matches.
#include "mp3level.h"
#include "mpegheader.h"

#include <algorithm>
#include <cstdlib>

namespace {

using namespace tunara::media;

// The global_gain bit positions of a Layer III frame, worked out here on their own.
std::vector<std::size_t> gainBits(FrameHeader h) {
    const bool mono = h.channelMode() == 3;
    const bool mpeg1 = h.version() == kVersionMpeg1;
    const std::size_t start = (h.crcPresent() ? 6 : 4) * 8;
    const std::size_t first = mpeg1 ? (mono ? 18 : 20) : (mono ? 9 : 10);
    const std::size_t block = mpeg1 ? 59 : 63;
    const std::size_t blocks = (mpeg1 ? 2 : 1) * (mono ? 1 : 2);
    std::vector<std::size_t> bits;
    for (std::size_t i = 0; i < blocks; ++i)
        bits.push_back(start + first + i * block + 21);
    return bits;
}

unsigned bitsAt(const std::uint8_t *p, std::size_t bit, unsigned count) {
    unsigned v = 0;
    for (unsigned i = 0; i < count; ++i)
        v = (v << 1) | ((p[(bit + i) / 8] >> (7 - (bit + i) % 8)) & 1u);
    return v;
}

std::uint16_t crcOf(const std::uint8_t *frame, std::size_t sideBytes) {
    unsigned crc = 0xFFFF;
    const auto add = [&](std::uint8_t byte) {
        for (int i = 7; i >= 0; --i) {
            const unsigned bit = ((crc >> 15) ^ (unsigned(byte) >> i)) & 1u;
            crc = ((crc << 1) & 0xFFFFu) ^ (bit != 0 ? 0x8005u : 0u);
        }
    };
    add(frame[2]);
    add(frame[3]);
    for (std::size_t i = 0; i < sideBytes; ++i)
        add(frame[6 + i]);
    return std::uint16_t(crc);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const int steps = static_cast<std::int8_t>(data[0]);
    const std::span<const std::uint8_t> in(data + 1, size - 1);
    Mp3LevelReport report;
    const std::vector<std::uint8_t> out = levelMp3(in, steps, &report);
    if (out.size() != in.size())
        std::abort();
    if (steps == 0 && !std::equal(out.begin(), out.end(), in.begin()))
        std::abort();
    const Mp3Layout before = scanMp3(in);
    const Mp3Layout after = scanMp3(out);
    if (before.frames.size() != after.frames.size() || before.audioStart != after.audioStart ||
        before.audioEnd != after.audioEnd)
        std::abort();
    std::vector<bool> owned(in.size(), false);
    for (std::size_t i = 0; i < before.frames.size(); ++i) {
        const Mp3Frame &f = before.frames[i];
        if (after.frames[i].offset != f.offset || after.frames[i].length != f.length ||
            after.frames[i].kind != f.kind || f.offset + f.length > in.size())
            std::abort();
        if (f.kind != Mp3Frame::Kind::Levelled)
            continue;
        const FrameHeader h = FrameHeader::fromBytes(in.data() + f.offset);
        if (h.layer() != kLayer3)
            std::abort();
        const std::uint8_t *a = in.data() + f.offset;
        const std::uint8_t *b = out.data() + f.offset;
        for (const std::size_t bit : gainBits(h)) {
            const int was = int(bitsAt(a, bit, 8));
            const int now = int(bitsAt(b, bit, 8));
            if (now != std::clamp(was + steps, 0, 255) && now != was)
                std::abort();
            for (std::size_t k = bit; k < bit + 8; ++k)
                owned[f.offset + k / 8] = true;
        }
        if (h.crcPresent()) {
            owned[f.offset + 4] = owned[f.offset + 5] = true;
            const std::size_t side = h.version() == kVersionMpeg1 ? (h.channelMode() == 3 ? 17 : 32)
                                                                  : (h.channelMode() == 3 ? 9 : 17);
            if (crcOf(b, side) != std::uint16_t((b[4] << 8) | b[5]))
                std::abort();
        }
    }
    for (std::size_t i = 0; i < in.size(); ++i)
        if (!owned[i] && in[i] != out[i])
            std::abort();
    if (report.levelledFrames + report.untouchedFrames != before.frames.size())
        std::abort();
    return 0;
}
