// The two cached file tables, their refresh from the player ('G') and the lookups on them.
#include "filetable.h"

#include "byteorder.h"
#include "library_state.h"
#include "tabledecoder.h"
#include "transport.h"

#include <array>
#include <cstring>
#include <vector>

namespace kestousb {

namespace {

constexpr size_t kDataLengthOffset = 6; // first reply bytes 6-7: P, big-endian
constexpr size_t kName83CopyBytes = 12; // GetFileInfo copies 12 bytes; bytes 12-13 stay zero
constexpr int kLastCandidate = 255;

std::string_view entryName(const KSUSB_TFileEntry &e) {
    return {e.name, strnlen(e.name, sizeof e.name)};
}
std::string_view entryName83(const KSUSB_TFileEntry &e) {
    return {e.name83, strnlen(e.name83, sizeof e.name83)};
}

// FAT compares short names without regard to ASCII case: a candidate that differs from an
// existing name only in case would give the directory two files of the same short name.
bool sameShortName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t k = 0; k < a.size(); ++k) {
        char x = a[k], y = b[k];
        if (x >= 'a' && x <= 'z')
            x = char(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = char(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

KSUSB_TOpenTable &cachedTable(unsigned char mem) {
    LibraryState &state = library();
    return mem == KSUSB_MEM_FLASH ? state.flashTable : state.cardTable;
}

uint16_t findEntry(unsigned char mem, std::string_view name) {
    const KSUSB_TOpenTable &table = cachedTable(mem);
    for (uint16_t i = 0; i < table.count; ++i)
        if (entryName(table.entries[i]) == name)
            return i;
    return kEntryNotFound;
}

bool shortNameTaken(unsigned char mem, std::string_view candidate) {
    std::string compact;
    for (const char c : candidate)
        if (c != ' ')
            compact += c;
    const KSUSB_TOpenTable &table = cachedTable(mem);
    for (size_t i = 0; i < table.count; ++i) {
        const std::string_view have = entryName83(table.entries[i]);
        if (sameShortName(have, candidate) || sameShortName(have, compact))
            return true;
    }
    return false;
}

std::string chooseShortName(unsigned char mem, std::string_view longName, ShortNameMaker maker) {
    for (int i = 0; i <= kLastCandidate; ++i) {
        std::string candidate = maker(i, longName);
        if (!shortNameTaken(mem, candidate))
            return candidate;
    }
    // A taken name would give the directory two files of one short name.
    return {};
}

} // namespace kestousb

using namespace kestousb;

extern "C" {

KSUSB_API int KSUSB_RefreshMemory(unsigned char mem) {
    if (!KSUSB_CheckConnect() || !KSUSB_CheckMemory(mem))
        return 0;

    const std::array<uint8_t, 2> body = {mem, 'G'};
    std::array<uint8_t, kBlock> packet{};
    const size_t length = buildPacket(packet, body);
    std::array<uint8_t, kBlock> reply{};
    if (!commandExchange(packet.data(), blockAligned(length), reply.data(), reply.size(),
                         KSUSB_ERR_SEND, KSUSB_ERR_RECEIVE))
        return 0;

    const size_t p = getBe16(reply.data() + kDataLengthOffset);
    // A length the buffer cannot hold (with its closing '.') or too short for total and free is
    // refused before the data is requested, so nothing is read past the buffer.
    if (!tableLengthValid(p)) {
        setLastErrorCode(KSUSB_ERR_RESULT_REPLY);
        return 0;
    }
    if (!requestResult()) {
        setLastErrorCode(KSUSB_ERR_RESULT_REQUEST);
        return 0;
    }
    waitDone();
    waitReady(Phase::Reply);
    std::vector<uint8_t> data(kTableBufferSize, 0);
    if (!pipeRead(data.data(), blockAligned(p))) {
        setLastErrorCode(KSUSB_ERR_RESULT_REPLY);
        return 0;
    }
    waitDone();

    switch (decodeTable(data, p, cachedTable(mem))) {
    case TableDecode::Ok:
        return 1;
    case TableDecode::NoClosingMark:
        setLastErrorCode(KSUSB_ERR_NO_CLOSING_MARK);
        return 0;
    case TableDecode::TooManyEntries:
        return 0; // no code of its own: the table simply reads empty
    case TableDecode::Malformed:
        setLastErrorCode(KSUSB_ERR_RESULT_REPLY);
        return 0;
    }
    return 0;
}

KSUSB_API int RefreshMemory(unsigned char mem) {
    return GetPlayerVersion() && KSUSB_GetPlayerStatus() && KSUSB_RefreshMemory(mem) ? 1 : 0;
}

KSUSB_API int GetFileInfo(unsigned char mem, KSUSB_TOpenTable *out) {
    if (out == nullptr)
        return 0;
    const KSUSB_TOpenTable &table = cachedTable(mem);
    out->total = table.total;
    out->free = table.free;
    out->count = table.count;
    for (size_t i = 0; i < table.count; ++i) {
        const KSUSB_TFileEntry &from = table.entries[i];
        KSUSB_TFileEntry &to = out->entries[i];
        std::memset(to.name, 0, sizeof to.name);
        std::memset(to.name83, 0, sizeof to.name83);
        std::memcpy(to.name, from.name, sizeof to.name);
        std::memcpy(to.name83, from.name83, kName83CopyBytes);
        to.attr = from.attr;
        std::memcpy(to.rawTimes, from.rawTimes, sizeof to.rawTimes);
        to.time = from.time;
        to.date = from.date;
        to.cluster = from.cluster;
        to.size = from.size;
    }
    return 1;
}

} // extern "C"
