// The file name a cache gives an entry: two 64-bit FNV-1a hashes of its key, in hexadecimal
// (32 digits), so that keys of any length and bytes make names of one length and no odd
// character. The conversion cache and the sync plan's metadata cache name their entries so.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tunara::media {

inline std::string cacheEntryName(const std::string &key) {
    const auto fnv1a = [](std::string_view text) {
        std::uint64_t h = 1469598103934665603ull;
        for (const char c : text) {
            h ^= static_cast<unsigned char>(c);
            h *= 1099511628211ull;
        }
        return h;
    };
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(fnv1a(key)),
                  static_cast<unsigned long long>(fnv1a(key + '\x01')));
    return text;
}

} // namespace tunara::media
