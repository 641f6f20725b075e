// kesto ls M|S [--json]: the files of one memory in play order, with capacity and free space.
#include "memory_arg.h"
#include "progress.h"
#include "verb.h"

#include "KestoUSB.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("ls").usage;

constexpr unsigned kDosYearBase = 1980;
constexpr size_t kShortNameColumns = 12; // "FILENAME.EXT"

struct DosStamp {
    unsigned year, month, day, hour, minute, second;
};

DosStamp dosStamp(uint16_t dosDate, uint16_t dosTime) {
    const unsigned d = dosDate, t = dosTime;
    return {kDosYearBase + (d >> 9u), (d >> 5u) & 0x0Fu, d & 0x1Fu, t >> 11u,
            (t >> 5u) & 0x3Fu,        (t & 0x1Fu) * 2u};
}

std::string dateText(const DosStamp &s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", s.year % 10000u, s.month, s.day);
    return buf;
}

std::string timeText(const DosStamp &s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", s.hour, s.minute, s.second);
    return buf;
}

// FAT attribute letters, in the order dir listings use: read-only, hidden, system, volume,
// directory, archive; '-' for a clear bit.
std::string attrText(unsigned char attr) {
    static constexpr char kLetters[] = "RHSVDA";
    std::string out;
    for (unsigned bit = 0; bit < 6; ++bit)
        out += (attr & (1u << bit)) ? kLetters[bit] : '-';
    return out;
}

std::string_view fieldText(const char *field, size_t capacity) {
    return {field, strnlen(field, capacity)};
}

// Code points a terminal draws two columns wide (East Asian Wide and Fullwidth: Hangul, CJK,
// kana, fullwidth forms, emoji) and ones it draws over the previous character (combining marks,
// zero-width characters), as closed ranges.
struct CodeRange {
    char32_t first, last;
};
constexpr CodeRange kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};
constexpr CodeRange kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool inRanges(char32_t c, std::span<const CodeRange> ranges) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [c](const CodeRange &r) { return c >= r.first && c <= r.last; });
}

// The code point of the valid UTF-8 character of `len` bytes at `i` of `s`.
char32_t decodeUtf8(std::string_view s, size_t i, size_t len) {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(s[i]) & kLeadBits[len];
    for (size_t k = 1; k < len; ++k)
        c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    return c;
}

// The columns a terminal gives `s` (valid UTF-8, as terminalText makes it): wide characters
// two, combining marks none, every other character one; decoded here, whatever the locale.
size_t displayWidth(std::string_view s) {
    size_t columns = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t len = std::max<size_t>(validUtf8Length(s, i), 1);
        const char32_t c = len == 1 ? static_cast<unsigned char>(s[i]) : decodeUtf8(s, i, len);
        columns += inRanges(c, kZeroWidth) ? 0 : inRanges(c, kWide) ? 2 : 1;
        i += len;
    }
    return columns;
}

// `s` and spaces up to `columns` display columns.
std::string padded(const std::string &s, size_t columns) {
    const size_t width = displayWidth(s);
    return s + std::string(columns > width ? columns - width : 0, ' ');
}

void printJson(unsigned char mem, const KSUSB_TOpenTable &t) {
    std::printf("{\"memory\":\"%c\",\"total\":%u,\"free\":%u,\"count\":%u,\"files\":[", mem,
                t.total, t.free, unsigned(t.count));
    for (unsigned i = 0; i < t.count; ++i) {
        const KSUSB_TFileEntry &e = t.entries[i];
        const DosStamp s = dosStamp(e.date, e.time);
        std::printf("%s{\"order\":%u,\"name\":%s,\"name83\":%s,\"size\":%u,\"date\":\"%s\","
                    "\"time\":\"%s\",\"attr\":\"%s\",\"attrByte\":%u,\"cluster\":%u}",
                    i ? "," : "", i + 1, jsonString(fieldText(e.name, sizeof e.name)).c_str(),
                    jsonString(fieldText(e.name83, sizeof e.name83)).c_str(), e.size,
                    dateText(s).c_str(), timeText(s).c_str(), attrText(e.attr).c_str(),
                    unsigned(e.attr), unsigned(e.cluster));
    }
    std::printf("]}\n");
}

void printTable(unsigned char mem, const KSUSB_TOpenTable &t) {
    // Each column as wide as its widest entry: a short name in the player's code page shows
    // its bytes as \xNN and may be wider than "FILENAME.EXT".
    size_t nameWidth = 4, shortWidth = kShortNameColumns;
    for (unsigned i = 0; i < t.count; ++i) {
        const KSUSB_TFileEntry &e = t.entries[i];
        nameWidth =
            std::max(nameWidth, displayWidth(terminalText(fieldText(e.name, sizeof e.name))));
        shortWidth =
            std::max(shortWidth, displayWidth(terminalText(fieldText(e.name83, sizeof e.name83))));
    }
    std::printf("%5s  %s  %s  %10s  %-19s  %s\n", "Order", padded("Name", nameWidth).c_str(),
                padded("8.3 name", shortWidth).c_str(), "Size", "Date and time", "Attr");
    for (unsigned i = 0; i < t.count; ++i) {
        const KSUSB_TFileEntry &e = t.entries[i];
        const std::string name = terminalText(fieldText(e.name, sizeof e.name));
        const std::string name83 = terminalText(fieldText(e.name83, sizeof e.name83));
        const DosStamp s = dosStamp(e.date, e.time);
        std::printf("%5u  %s  %s  %10u  %s %s  %s\n", i + 1, padded(name, nameWidth).c_str(),
                    padded(name83, shortWidth).c_str(), e.size, dateText(s).c_str(),
                    timeText(s).c_str(), attrText(e.attr).c_str());
    }
    std::printf("%c (%s): %u file(s), total %u bytes, free %u bytes\n", mem, memoryLabel(mem),
                unsigned(t.count), t.total, t.free);
}

int ls(std::span<const std::string> args) {
    std::string unknown;
    const auto parsed = parseArgs(args, {"--json"}, unknown);
    if (!parsed)
        return usageError("ls", "unknown option " + unknown, kUsage);
    if (parsed->operands.size() != 1)
        return usageError("ls", "expected one memory, M or S", kUsage);
    const auto mem = memoryOperand(parsed->operands[0]);
    if (!mem)
        return usageError("ls", "the memory is M (flash) or S (card)", kUsage);

    // Like the program when it connects: version, status, then the table.
    if (!refreshTable("ls", *mem, true))
        return kExitFailed;
    auto table = std::make_unique<KSUSB_TOpenTable>();
    if (GetFileInfo(*mem, table.get()) == 0)
        return failWithLastError("ls", *mem);
    if (parsed->has("--json"))
        printJson(*mem, *table);
    else
        printTable(*mem, *table);
    return kExitOk;
}

const Verb registration(help::command("ls"), ls);

} // namespace
} // namespace kesto
