#include "id3header.h"

#include <cstring>
#include <vector>

namespace tunara::media {

namespace {

constexpr std::uint8_t kSynchsafeLimit = 0x80;
constexpr std::uint8_t kUnsyncEscape = 0xFF;
constexpr unsigned kOldestVersion = 2;
constexpr unsigned kNewestVersion = 4;
// Frame format flags that change the payload's bytes: compression, encryption, grouping
// (2.3); grouping, compression, encryption, unsynchronisation, data length (2.4).
constexpr std::uint8_t kEncoded23 = 0xE0;
constexpr std::uint8_t kEncoded24 = 0x4F;

std::uint32_t synchsafe(const std::uint8_t *b) {
    return (std::uint32_t(b[0]) << 21) | (std::uint32_t(b[1]) << 14) | (std::uint32_t(b[2]) << 7) |
           std::uint32_t(b[3]);
}
std::uint32_t bigEndian(const std::uint8_t *b, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = (v << 8) | b[i];
    return v;
}
bool isSynchsafe(const std::uint8_t *b) {
    return b[0] < kSynchsafeLimit && b[1] < kSynchsafeLimit && b[2] < kSynchsafeLimit &&
           b[3] < kSynchsafeLimit;
}
bool isFrameIdChar(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

std::vector<std::uint8_t> resynchronise(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out;
    out.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        out.push_back(body[i]);
        if (body[i] == kUnsyncEscape && i + 1 < body.size() && body[i + 1] == 0)
            ++i;
    }
    return out;
}

std::optional<std::size_t> extendedHeaderSize(unsigned version,
                                              std::span<const std::uint8_t> body) {
    if (body.size() < 4)
        return std::nullopt;
    // 2.3 counts the bytes after the size field, 2.4 the whole extended header.
    const std::uint64_t size = version == 3 ? 4 + std::uint64_t(bigEndian(body.data(), 4))
                                            : std::uint64_t(synchsafe(body.data()));
    if (size > body.size())
        return std::nullopt;
    return std::size_t(size);
}

namespace {

std::string describeFrame(const std::uint8_t *id, std::size_t idLength) {
    std::string name;
    for (std::size_t i = 0; i < idLength; ++i) {
        const auto c = static_cast<char>(id[i]);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

} // namespace

std::optional<Id3Header> Id3Header::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize || std::memcmp(bytes.data(), "ID3", 3) != 0 ||
        !isSynchsafe(bytes.data() + 6))
        return std::nullopt;
    return Id3Header{bytes[3], bytes[4], bytes[5], synchsafe(bytes.data() + 6)};
}

std::optional<std::string> findTagDamage(std::span<const std::uint8_t> tag) {
    return walkFrames(tag, [](const RawFrame &) {});
}

std::optional<std::string> walkFrames(std::span<const std::uint8_t> tag,
                                      const std::function<void(const RawFrame &)> &visit) {
    if (tag.size() < Id3Header::kSize || std::memcmp(tag.data(), "ID3", 3) != 0)
        return "no ID3v2 tag header";
    if (!isSynchsafe(tag.data() + 6))
        return "the tag's size bytes are invalid";
    const auto header = Id3Header::parse(tag);
    const unsigned version = header->majorVersion;
    if (version < kOldestVersion || version > kNewestVersion)
        return "unsupported ID3v2 version 2." + std::to_string(version);
    const std::uint64_t stated = Id3Header::kSize + std::uint64_t(header->bodySize);
    if (stated > tag.size())
        return "the tag claims " + std::to_string(stated) + " bytes but the file holds only " +
               std::to_string(tag.size());

    std::span<const std::uint8_t> body = tag.subspan(Id3Header::kSize, header->bodySize);
    std::vector<std::uint8_t> resynced;
    if (version < kNewestVersion && (header->flags & Id3Header::kFlagUnsynchronised) != 0) {
        resynced = resynchronise(body);
        body = resynced;
    }

    std::size_t pos = 0;
    if (version >= 3 && (header->flags & Id3Header::kFlagExtendedHeader) != 0) {
        const auto extended = extendedHeaderSize(version, body);
        if (!extended)
            return "the extended header is longer than the tag";
        pos = *extended;
    }

    const std::size_t idLength = version == kOldestVersion ? 3 : 4;
    const std::size_t frameHeaderSize = version == kOldestVersion ? 6 : 10;
    while (pos + frameHeaderSize <= body.size()) {
        const std::uint8_t *frame = body.data() + pos;
        if (frame[0] == 0)
            break; // padding
        for (std::size_t i = 0; i < idLength; ++i)
            if (!isFrameIdChar(frame[i]))
                return "a frame at byte " + std::to_string(pos + Id3Header::kSize) +
                       " of the tag has the invalid name '" + describeFrame(frame, idLength) + "'";
        std::uint64_t size = 0;
        if (version == kOldestVersion)
            size = bigEndian(frame + 3, 3);
        else if (version == 3 || !isSynchsafe(frame + 4))
            size = bigEndian(frame + 4, 4); // some 2.4 writers store plain sizes
        else
            size = synchsafe(frame + 4);
        if (pos + frameHeaderSize + size > body.size())
            return "frame '" + describeFrame(frame, idLength) + "' claims " + std::to_string(size) +
                   " bytes but only " + std::to_string(body.size() - pos - frameHeaderSize) +
                   " are left in the tag";
        RawFrame raw;
        raw.id.assign(reinterpret_cast<const char *>(frame), idLength);
        raw.plain =
            version == kOldestVersion || (frame[9] & (version == 3 ? kEncoded23 : kEncoded24)) == 0;
        raw.payload = body.subspan(pos + frameHeaderSize, std::size_t(size));
        visit(raw);
        pos += frameHeaderSize + std::size_t(size);
    }
    return std::nullopt;
}

} // namespace tunara::media
