// How many 32-byte records of the player's flat FAT directory a file's name takes. The root of a
// FAT16 memory holds a fixed number of records, so a memory can refuse a file for its name
// ("Filename storage area is full", -34) while it has bytes to spare.
#pragma once

#include <cstddef>
#include <string_view>

namespace tunara::sync {

// The records of a FAT16 root directory as the player formats a memory.
inline constexpr unsigned kFat16RootRecords = 512;
// UTF-16 units one long-name record holds.
inline constexpr std::size_t kLongNameUnitsPerRecord = 13;

// Whether the player stores `name` in its 8.3 record alone, without long-name records: a base
// of 1-8 and an extension of 0-3 characters, upper-case letters, digits and the 8.3 punctuation
// only.
bool isPlainShortName(std::string_view name);

// UTF-16 units of the UTF-8 `name`: a character beyond U+FFFF counts 2; a byte that starts no
// valid character counts 1 (the player stores it as one replacement unit).
std::size_t utf16Length(std::string_view name);

// Records the name takes: 1 for a plain 8.3 name, else ceil(utf16Length / 13) long-name records
// and the 8.3 record.
unsigned recordCost(std::string_view name);

} // namespace tunara::sync
