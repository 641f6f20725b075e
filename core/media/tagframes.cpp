#include "tagframes.h"

#include "id3header.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace tunara::media {

namespace {

constexpr std::size_t kFrameHeaderSize = 10;
constexpr std::size_t kSizeField = 4;
constexpr std::uint8_t kSynchsafeLimit = 0x80;
constexpr std::uint32_t kLargestSynchsafe = 0x0FFFFFFF;
constexpr std::size_t kInflateChunk = 16384;

// The flags of a frame header that matter here, in one form for both versions.
struct FrameFlags {
    bool discardWhenAltered = false;
    bool grouped = false;
    bool compressed = false;
    bool encrypted = false;
    bool unsynchronised = false; // 2.4 only
    bool dataLength = false;     // 2.4 only: a four-byte length precedes the data
};

FrameFlags flagsOf(unsigned version, std::uint8_t status, std::uint8_t format) {
    FrameFlags f;
    if (version == 3) {
        f.discardWhenAltered = (status & 0x80) != 0;
        f.compressed = (format & 0x80) != 0;
        f.encrypted = (format & 0x40) != 0;
        f.grouped = (format & 0x20) != 0;
    } else {
        f.discardWhenAltered = (status & 0x40) != 0;
        f.grouped = (format & 0x40) != 0;
        f.compressed = (format & 0x08) != 0;
        f.encrypted = (format & 0x04) != 0;
        f.unsynchronised = (format & 0x02) != 0;
        f.dataLength = (format & 0x01) != 0;
    }
    return f;
}
constexpr std::uint8_t groupedFlag(unsigned version) {
    return version == 3 ? 0x20 : 0x40;
}
constexpr std::uint8_t discardFlag(unsigned version) {
    return version == 3 ? 0x80 : 0x40;
}

bool isSynchsafe(const std::uint8_t *b) {
    return b[0] < kSynchsafeLimit && b[1] < kSynchsafeLimit && b[2] < kSynchsafeLimit &&
           b[3] < kSynchsafeLimit;
}

// 2.4 sizes are synchsafe, but some writers store plain ones: a size whose bytes are not
// synchsafe is read plainly, as the structural check reads it.
std::uint32_t frameSize(unsigned version, const std::uint8_t *b, bool &plain) {
    plain = version == 3 || !isSynchsafe(b);
    if (plain)
        return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) |
               (std::uint32_t(b[2]) << 8) | std::uint32_t(b[3]);
    return (std::uint32_t(b[0]) << 21) | (std::uint32_t(b[1]) << 14) | (std::uint32_t(b[2]) << 7) |
           std::uint32_t(b[3]);
}

void putSize(std::uint8_t *b, std::uint32_t size, bool plain) {
    const unsigned shift = plain ? 8 : 7;
    const std::uint32_t mask = plain ? 0xFF : 0x7F;
    for (int k = 3; k >= 0; --k) {
        b[k] = std::uint8_t(size & mask);
        size >>= shift;
    }
}

// Whether the tag library reads the value of a compressed frame: it takes the data after the
// four-byte size field (and, in 2.4, after undoing the frame's unsynchronisation) as a zlib
// stream. `payload` is the frame after its header, group byte already removed.
bool compressedReadable(const FrameFlags &f, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> resynced;
    if (f.unsynchronised) {
        resynced = resynchronise(payload);
        payload = resynced;
    }
    if (payload.size() <= kSizeField)
        return false;
    return inflatesCompletely(payload.subspan(kSizeField));
}

void append(std::vector<std::uint8_t> &out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

} // namespace

bool inflatesCompletely(std::span<const std::uint8_t> data) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    std::array<Bytef, kInflateChunk> sink{};
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = sink.data();
        z.avail_out = static_cast<uInt>(sink.size());
        result = inflate(&z, Z_NO_FLUSH);
        // No progress with input left over means the stream ended early.
        if (result == Z_BUF_ERROR || (result == Z_OK && z.avail_in == 0 && z.avail_out != 0))
            break;
    }
    inflateEnd(&z);
    return result == Z_STREAM_END;
}

SortedFrames sortFrames(unsigned version, std::span<const std::uint8_t> body,
                        std::span<const std::string_view> known) {
    SortedFrames sorted;
    if (version != 3 && version != 4) {
        append(sorted.body, body);
        return sorted;
    }
    std::size_t pos = 0;
    while (pos + kFrameHeaderSize <= body.size() && body[pos] != 0) {
        const std::uint8_t *head = body.data() + pos;
        bool plain = false;
        const std::uint64_t size = frameSize(version, head + 4, plain);
        if (pos + kFrameHeaderSize + size > body.size())
            break;
        const auto whole = body.subspan(pos, kFrameHeaderSize + std::size_t(size));
        auto payload = whole.subspan(kFrameHeaderSize);
        const FrameFlags f = flagsOf(version, head[8], head[9]);
        pos += whole.size();

        // The extra bytes after the header come in the order of their flags: in 2.3 the
        // decompressed size, the encryption method, the group byte; in 2.4 the group byte, the
        // encryption method, the data length.
        std::size_t groupAt = 0;
        if (version == 3)
            groupAt = (f.compressed ? kSizeField : 0) + (f.encrypted ? 1 : 0);
        const bool groupFits = !f.grouped || payload.size() > groupAt;
        // A 2.4 frame with a plain size keeps its group byte unless the smaller size still
        // reads back plainly.
        std::array<std::uint8_t, kSizeField> newSize{};
        bool sizeWritable = true;
        if (f.grouped && groupFits) {
            putSize(newSize.data(), std::uint32_t(size - 1), plain);
            sizeWritable = plain == (version == 3 || !isSynchsafe(newSize.data()));
        }
        std::vector<std::uint8_t> ungrouped;
        if (f.grouped && groupFits && sizeWritable) {
            ungrouped.assign(payload.begin(), payload.end());
            ungrouped.erase(ungrouped.begin() + std::ptrdiff_t(groupAt));
            payload = ungrouped;
        }
        // A frame without data holds nothing, and the library stops reading the tag at it,
        // dropping every frame after it: it is left out.
        if (payload.size() <= (f.dataLength ? kSizeField : 0))
            continue;
        const bool readable = !f.encrypted && groupFits && sizeWritable &&
                              (!f.compressed || compressedReadable(f, payload));
        if (!readable) {
            sorted.setAside.push_back({std::string(reinterpret_cast<const char *>(head), 4),
                                       std::vector<std::uint8_t>(whole.begin(), whole.end()),
                                       f.discardWhenAltered});
            continue;
        }
        std::array<std::uint8_t, kFrameHeaderSize> header{};
        std::copy(head, head + kFrameHeaderSize, header.begin());
        if (f.grouped) {
            std::copy(newSize.begin(), newSize.end(), header.begin() + 4);
            header[9] &= std::uint8_t(~groupedFlag(version));
        }
        const std::string_view id(reinterpret_cast<const char *>(head), 4);
        const bool knownId = std::find(known.begin(), known.end(), id) != known.end();
        // Every save alters the tag: another frame asking to be discarded then goes here,
        // where its flag is still seen, rather than wherever the library happens to drop it.
        if (f.discardWhenAltered && !knownId)
            continue;
        if (knownId)
            header[8] &= std::uint8_t(~discardFlag(version));
        append(sorted.body, header);
        append(sorted.body, payload);
    }
    append(sorted.body, body.subspan(std::min(pos, body.size())));
    return sorted;
}

std::vector<std::uint8_t> withFramesAdded(std::span<const std::uint8_t> tag,
                                          const std::vector<const SetAsideFrame *> &frames) {
    std::vector<std::uint8_t> out(tag.begin(), tag.end());
    if (frames.empty() || tag.size() < Id3Header::kSize)
        return out;
    std::size_t end = Id3Header::kSize;
    while (end + kFrameHeaderSize <= tag.size() && tag[end] != 0) {
        bool plain = false;
        const std::uint64_t size = frameSize(3, tag.data() + end + 4, plain);
        if (end + kFrameHeaderSize + size > tag.size())
            break;
        end += kFrameHeaderSize + std::size_t(size);
    }
    std::vector<std::uint8_t> added;
    for (const auto *frame : frames)
        append(added, frame->bytes);
    out.insert(out.begin() + std::ptrdiff_t(end), added.begin(), added.end());
    const std::uint64_t bodySize = out.size() - Id3Header::kSize;
    putSize(out.data() + 6, std::uint32_t(std::min<std::uint64_t>(bodySize, kLargestSynchsafe)),
            false);
    return out;
}

} // namespace tunara::media
