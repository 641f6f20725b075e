// kesto ls M|S [--json]: the files of one memory in play order, with capacity and free space.
#include "memory_arg.h"
#include "verb.h"

#include "KestoUSB.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace kesto {
namespace {

constexpr std::string_view kUsage = help::command("ls").usage;

constexpr unsigned kDosYearBase = 1980;

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

// For the terminal: a byte outside valid UTF-8 (a short name in the player's own code page) or
// a control character is shown as \xNN.
std::string terminalText(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t len = validUtf8Length(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        if (len == 0 || c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

// Characters, not bytes, for lining up columns of UTF-8 names.
size_t displayWidth(std::string_view s) {
    size_t n = 0;
    for (const char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
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
    size_t nameWidth = 4;
    for (unsigned i = 0; i < t.count; ++i)
        nameWidth = std::max(
            nameWidth,
            displayWidth(terminalText(fieldText(t.entries[i].name, sizeof t.entries[i].name))));
    std::printf("%5s  %-*s  %-12s  %10s  %-19s  %s\n", "Order", int(nameWidth), "Name", "8.3 name",
                "Size", "Date and time", "Attr");
    for (unsigned i = 0; i < t.count; ++i) {
        const KSUSB_TFileEntry &e = t.entries[i];
        const std::string name = terminalText(fieldText(e.name, sizeof e.name));
        const std::string name83 = terminalText(fieldText(e.name83, sizeof e.name83));
        const DosStamp s = dosStamp(e.date, e.time);
        std::printf("%5u  %s%*s  %-12s  %10u  %s %s  %s\n", i + 1, name.c_str(),
                    int(nameWidth - displayWidth(name)), "", name83.c_str(), e.size,
                    dateText(s).c_str(), timeText(s).c_str(), attrText(e.attr).c_str());
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
