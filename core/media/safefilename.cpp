#include "safefilename.h"

#include <algorithm>

namespace tunara::media {

std::string SafeFileName(std::string_view playerName) {
    std::string out;
    out.reserve(playerName.size());
    for (const char c : playerName) {
        const auto b = static_cast<unsigned char>(c);
        const bool unsafe = c == '/' || c == '\\' || b < 0x20 || b == 0x7F;
        out.push_back(unsafe ? '_' : c);
    }
    if (std::all_of(out.begin(), out.end(), [](char c) { return c == '.'; }))
        return "_";
    return out;
}

} // namespace tunara::media
