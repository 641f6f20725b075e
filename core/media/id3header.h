// The ten-byte header of a leading ID3v2 tag, and a structural walk over the tag's frames that
// tells whether the tag can be rewritten without losing anything.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tunara::media {

struct Id3Header {
    static constexpr std::size_t kSize = 10;
    static constexpr std::size_t kFooterSize = 10;
    static constexpr std::uint8_t kFlagUnsynchronised = 0x80;
    static constexpr std::uint8_t kFlagExtendedHeader = 0x40;
    static constexpr std::uint8_t kFlagFooter = 0x10;

    std::uint8_t majorVersion = 0;
    std::uint8_t revision = 0;
    std::uint8_t flags = 0;
    std::uint32_t bodySize = 0; // the 28-bit size: everything after the header, without footer

    // Reads the header at the start of `bytes`: "ID3" and four size bytes below 0x80. Nothing
    // else is checked, so that a damaged tag is still stepped over by its stated size.
    static std::optional<Id3Header> parse(std::span<const std::uint8_t> bytes);

    bool hasFooter() const { return (flags & kFlagFooter) != 0; }
    // Header, body and, when the footer flag is set, the footer: where the audio begins.
    std::uint64_t completeSize() const {
        return kSize + std::uint64_t(bodySize) + (hasFooter() ? kFooterSize : 0);
    }
};

// Tags written with the whole-tag unsynchronisation flag (2.2, 2.3) carry 0xFF 0x00 for every
// 0xFF; the frame sizes count the bytes after removing the 0x00. Returns the body without them.
std::vector<std::uint8_t> resynchronise(std::span<const std::uint8_t> body);
// The length of the extended header at the start of `body` in a tag of major `version` (3, 4);
// nullopt when it does not fit.
std::optional<std::size_t> extendedHeaderSize(unsigned version, std::span<const std::uint8_t> body);

// Walks the frames of a whole tag (header included) and returns a sentence saying what is
// damaged, or nullopt when every frame header is sound and every frame fits inside the tag.
// A rewrite of a damaged tag would drop whatever follows the damage, so such a tag is refused.
std::optional<std::string> findTagDamage(std::span<const std::uint8_t> tag);

struct RawFrame {
    std::string id;                        // "TCON"; three letters in a 2.2 tag
    bool plain = false;                    // the payload is stored as is (no compression etc.)
    std::span<const std::uint8_t> payload; // valid during the visit only
};
// The same walk, handing every frame to `visit` in tag order until the first damage.
std::optional<std::string> walkFrames(std::span<const std::uint8_t> tag,
                                      const std::function<void(const RawFrame &)> &visit);

} // namespace tunara::media
