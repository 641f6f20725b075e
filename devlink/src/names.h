// Text helpers behind the name rules: UTF-8 sequence boundaries and UTF-16 <-> UTF-8 conversion.
// Long names travel in UTF-16LE on the wire and are UTF-8 everywhere on our side; short names
// hold ASCII only when we make them. The name rules themselves (fitLongName, makeShortName...)
// are declared in filetable.h and implemented in names.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestousb {

constexpr char32_t kReplacementChar = 0xFFFD;

// Bytes of the UTF-8 character that starts at `pos` (1 to 4), judged by its lead byte and
// clamped to the end of `text`. A stray continuation byte or an invalid lead byte counts as one
// byte, so a walk over any byte string always advances and never runs past the end.
size_t utf8CharLength(std::string_view text, size_t pos);

// Decodes one character at `pos` and advances `pos` past it. Malformed or overlong sequences,
// surrogates and values past U+10FFFF give U+FFFD and advance by one byte.
char32_t decodeUtf8(std::string_view text, size_t &pos);

// Appends the UTF-8 form of `c` to `out`.
void appendUtf8(std::string &out, char32_t c);

// UTF-16 code units -> UTF-8, stopping at the first zero unit. Surrogate pairs are joined; a
// lone surrogate becomes U+FFFD. A character that would take the result past `maxBytes` ends
// the conversion, so the result is never longer than `maxBytes` and never ends in a split
// sequence.
std::string utf16ToUtf8(std::span<const char16_t> units, size_t maxBytes);

} // namespace kestousb
