// The player's command packets and big-endian fields as the tests write and read them on the
// wire: the player's commands and replies, and the USB/IP headers. Written apart from the library's
// and the player's own byte handling, so that one mistake cannot hide on both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestousb::test {

using Bytes = std::vector<uint8_t>;

// Appended to `out`.
inline void be16(Bytes &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
inline void be32(Bytes &out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// As bytes of their own.
inline Bytes be16(uint32_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes be32(uint32_t v) {
    Bytes out;
    be32(out, v);
    return out;
}

inline uint16_t readBe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t readBe32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
// At `at` of `b`; a field past the end throws std::out_of_range.
inline uint16_t readBe16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}
inline uint32_t readBe32(const Bytes &b, size_t at) {
    return uint32_t{b.at(at)} << 24 | uint32_t{b.at(at + 1)} << 16 | uint32_t{b.at(at + 2)} << 8 |
           b.at(at + 3);
}

// A command packet as the host writes it: '#', 0, L (body length + 2), ':', the body, '.',
// zero-filled to whole 64-byte blocks.
inline Bytes frame(const Bytes &body) {
    Bytes p{'#', 0, static_cast<uint8_t>(body.size() + 2), ':'};
    p.insert(p.end(), body.begin(), body.end());
    p.push_back('.');
    p.resize((p.size() + 63) / 64 * 64, 0);
    return p;
}

} // namespace kestousb::test
