// A player's file name made safe to use as one file name on the PC. The player's table is data
// from a device: a damaged or foreign card can hold names such as "../../x", "a/b.mp3" or names
// with control characters, which VFAT forbids but nothing enforces.
#pragma once

#include <string>
#include <string_view>

namespace tunara::media {

// Path separators ('/' and '\'), NUL and control characters become '_'; a name that is empty
// or made only of dots becomes "_". Every other byte is kept, so UTF-8 names (Hangul, accents)
// stay as they are. The result is always exactly one file name: it never names a folder above.
std::string SafeFileName(std::string_view playerName);

} // namespace tunara::media
