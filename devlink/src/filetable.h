// The cached file tables of both memories and the lookups and short-name rules that work on
// them without talking to the player.
#pragma once

#include "KestoUSB.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kestousb {

// The cache of memory 'M'; any other id uses the card's cache.
KSUSB_TOpenTable &cachedTable(unsigned char mem);

constexpr uint16_t kEntryNotFound = 0xFFF5; // the low 16 bits of -11

// Index of the first entry whose long name equals `name` byte for byte, or kEntryNotFound.
uint16_t findEntry(unsigned char mem, std::string_view name);

// True if some entry's name83 equals the candidate, or the candidate with its spaces removed.
bool shortNameTaken(unsigned char mem, std::string_view candidate);

constexpr size_t kMaxLongName = 80; // bytes of a long name on the player

// The name cut to exactly 80 bytes, keeping an extension of 1 to 5 characters; a UTF-8 sequence
// is never split. Only for names longer than 80 bytes.
std::string fitLongName(std::string_view name);

// The i-th short-name candidate (i = 0..255): compact ("MySong~1.MP3") and padded to 8 bytes of
// base ("AB      .MP3"). ASCII only. A base that fits as it is ("abc") is candidate 0; the
// later candidates give it a tail ("abc~1", "abc~2", ...).
std::string makeShortName(int i, std::string_view longName);
std::string makeShortName83(int i, std::string_view longName);

using ShortNameMaker = std::string (*)(int, std::string_view);
// The first candidate (i = 0..255) that is not taken; empty when every one is taken.
std::string chooseShortName(unsigned char mem, std::string_view longName, ShortNameMaker maker);

// UTF-8 -> UTF-16LE bytes for the wire (invalid sequences become U+FFFD); at most
// `maxUnits` code units.
std::string toUtf16le(std::string_view utf8, size_t maxUnits = 160);

} // namespace kestousb
