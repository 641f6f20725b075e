// The ten-byte header of a leading ID3v2 tag, and a structural walk over the tag's frames that
// tells whether the tag can be rewritten without losing anything.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

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

// Walks the frames of a whole tag (header included) and returns a sentence saying what is
// damaged, or nullopt when every frame header is sound and every frame fits inside the tag.
// A rewrite of a damaged tag would drop whatever follows the damage, so such a tag is refused.
std::optional<std::string> findTagDamage(std::span<const std::uint8_t> tag);

} // namespace tunara::media
