// The name rules: cutting long names to what the player stores, the short-name candidates, and
// the UTF-8 / UTF-16 conversions between our side and the wire.
#include "names.h"

#include "filetable.h"

#include <array>
#include <string>

namespace kestousb {

namespace {

constexpr size_t kShortBaseBytes = 8;             // bytes of base in an 8.3 name
constexpr size_t kShortExtBytes = 4;              // the dot and up to three extension bytes
constexpr int kShortExtRange[] = {2, 3, 4, 5, 6}; // where fitLongName looks for the '.'

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kSurrogateEnd = 0xE000;

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Characters dropped from a short name's base.
bool removedFromBase(char c) {
    switch (c) {
    case ' ':
    case '+':
    case ',':
    case ';':
    case '=':
    case '[':
    case ']':
    case '.':
        return true;
    default:
        return false;
    }
}

// ASCII characters a FAT directory cannot hold in a short name. They cannot come from a name the
// player made, but a Linux file name may carry them; they become '_' like non-ASCII characters.
bool forbiddenInShortName(unsigned char c) {
    if (c < 0x20 || c == 0x7F)
        return true;
    switch (c) {
    case '"':
    case '*':
    case '/':
    case ':':
    case '<':
    case '>':
    case '?':
    case '\\':
    case '|':
        return true;
    default:
        return false;
    }
}

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

struct ShortParts {
    std::string base; // cleaned, at most any length
    std::string ext;  // ".EXT", at most 4 bytes, "." when the name has none
    bool needsTail{}; // base longer than 8 bytes, changed by replacement, or empty
};

ShortParts splitShortName(std::string_view longName) {
    ShortParts parts;
    const size_t dot = longName.rfind('.');
    const std::string_view base =
        dot == std::string_view::npos ? longName : longName.substr(0, dot);
    const std::string_view ext =
        dot == std::string_view::npos ? std::string_view{} : longName.substr(dot + 1);

    bool replaced = false;
    for (size_t pos = 0; pos < base.size();) {
        const size_t len = utf8CharLength(base, pos);
        const auto lead = static_cast<unsigned char>(base[pos]);
        if (len == 1 && lead < 0x80) {
            if (removedFromBase(base[pos])) {
                // dropped
            } else if (forbiddenInShortName(lead)) {
                parts.base += '_';
                replaced = true;
            } else {
                parts.base += base[pos];
            }
        } else {
            // One '_' per character outside ASCII, whatever its byte length.
            parts.base += '_';
            replaced = true;
        }
        pos += len;
    }

    parts.ext = ".";
    for (size_t pos = 0; pos < ext.size() && parts.ext.size() < kShortExtBytes;) {
        const size_t len = utf8CharLength(ext, pos);
        const auto lead = static_cast<unsigned char>(ext[pos]);
        if (len == 1 && lead < 0x80 && !forbiddenInShortName(lead) && !removedFromBase(ext[pos]))
            parts.ext += upperAscii(ext[pos]);
        else
            parts.ext += '_';
        pos += len;
    }

    // An empty base would give a name like ".MP3", which no FAT directory can hold; the tail
    // turns it into "~1.MP3".
    parts.needsTail = replaced || parts.base.size() > kShortBaseBytes || parts.base.empty();
    return parts;
}

// The 8-byte-or-shorter base of the i-th candidate. A base that needs a tail has "~1" from the
// first candidate on; any other base is used as it is first and with "~1", "~2", ... after it,
// so that a taken short name has somewhere to go.
std::string candidateBase(const ShortParts &parts, int i) {
    if (!parts.needsTail && i == 0)
        return parts.base;
    const std::string tail = "~" + std::to_string(parts.needsTail ? i + 1 : i);
    const size_t keep = kShortBaseBytes - tail.size();
    return parts.base.substr(0, keep) + tail;
}

} // namespace

size_t utf8CharLength(std::string_view text, size_t pos) {
    if (pos >= text.size())
        return 0;
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t len = 1;
    if (lead >= 0xC0 && lead < 0xE0)
        len = 2;
    else if (lead >= 0xE0 && lead < 0xF0)
        len = 3;
    else if (lead >= 0xF0 && lead < 0xF8)
        len = 4;
    if (len > text.size() - pos)
        len = text.size() - pos;
    return len;
}

char32_t decodeUtf8(std::string_view text, size_t &pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead < 0xE0) {
        len = 2;
        c = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        len = 3;
        c = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
        len = 4;
        c = lead & 0x07u;
        min = 0x10000;
    } else {
        ++pos;
        return kReplacementChar;
    }
    if (text.size() - pos < len) {
        ++pos;
        return kReplacementChar;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[pos + k]);
        if (!isContinuation(b)) {
            ++pos;
            return kReplacementChar;
        }
        c = (c << 6) | (b & 0x3Fu);
    }
    if (c < min || c > kMaxCodePoint || (c >= kHighSurrogateFirst && c < kSurrogateEnd)) {
        ++pos;
        return kReplacementChar;
    }
    pos += len;
    return c;
}

void appendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf16ToUtf8(std::span<const char16_t> units, size_t maxBytes) {
    std::string out;
    for (size_t k = 0; k < units.size() && units[k] != 0; ++k) {
        const char16_t u = units[k];
        char32_t c = u;
        if (u >= kHighSurrogateFirst && u < kLowSurrogateFirst) {
            if (k + 1 < units.size() && units[k + 1] >= kLowSurrogateFirst &&
                units[k + 1] < kSurrogateEnd) {
                c = 0x10000 + ((char32_t(u) - kHighSurrogateFirst) << 10) +
                    (char32_t(units[k + 1]) - kLowSurrogateFirst);
                ++k;
            } else {
                c = kReplacementChar;
            }
        } else if (u >= kLowSurrogateFirst && u < kSurrogateEnd) {
            c = kReplacementChar;
        }
        std::string piece;
        appendUtf8(piece, c);
        if (out.size() + piece.size() > maxBytes)
            break;
        out += piece;
    }
    return out;
}

std::string toUtf16le(std::string_view utf8, size_t maxUnits) {
    std::string out;
    size_t units = 0;
    for (size_t pos = 0; pos < utf8.size();) {
        const char32_t c = decodeUtf8(utf8, pos);
        std::array<char16_t, 2> enc{};
        size_t n = 1;
        if (c >= 0x10000) {
            const char32_t v = c - 0x10000;
            enc[0] = static_cast<char16_t>(kHighSurrogateFirst + (v >> 10));
            enc[1] = static_cast<char16_t>(kLowSurrogateFirst + (v & 0x3FF));
            n = 2;
        } else {
            enc[0] = static_cast<char16_t>(c);
        }
        if (units + n > maxUnits)
            break;
        for (size_t k = 0; k < n; ++k) {
            out += static_cast<char>(enc[k] & 0xFF);
            out += static_cast<char>(enc[k] >> 8);
        }
        units += n;
    }
    return out;
}

std::string fitLongName(std::string_view name) {
    if (name.size() <= kMaxLongName)
        return std::string(name);

    std::string_view ext;
    for (const int back : kShortExtRange) {
        if (name[name.size() - back] == '.') {
            ext = name.substr(name.size() - back);
            break;
        }
    }
    const size_t head = kMaxLongName - ext.size();
    std::string out;
    out.reserve(kMaxLongName);
    size_t pos = 0;
    while (pos < name.size()) {
        const size_t len = utf8CharLength(name, pos);
        if (out.size() + len > head)
            break;
        out.append(name.substr(pos, len));
        pos += len;
    }
    // A character that does not fit whole leaves its bytes as '_' so that the length stays 80.
    out.append(head - out.size(), '_');
    out.append(ext);
    return out;
}

std::string makeShortName(int i, std::string_view longName) {
    const ShortParts parts = splitShortName(longName);
    return candidateBase(parts, i) + parts.ext;
}

std::string makeShortName83(int i, std::string_view longName) {
    const ShortParts parts = splitShortName(longName);
    std::string base = candidateBase(parts, i);
    base.resize(kShortBaseBytes, ' ');
    return base + parts.ext;
}

} // namespace kestousb
