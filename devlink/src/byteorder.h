// Multi-byte numbers on the wire: the player's packets and the USB/IP protocol are big-endian,
// the FAT directory records inside file tables little-endian. The one home of these readers
// and writers.
#pragma once

#include <cstdint>

namespace kestousb {

inline uint16_t getBe16(const uint8_t *in) {
    return static_cast<uint16_t>(in[0] << 8 | in[1]);
}
inline uint32_t getBe32(const uint8_t *in) {
    return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | uint32_t{in[3]};
}
inline void putBe16(uint8_t *out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
}
inline void putBe32(uint8_t *out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}
inline uint16_t getLe16(const uint8_t *in) {
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}
inline void putLe16(uint8_t *out, uint16_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t getLe32(const uint8_t *in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

} // namespace kestousb
