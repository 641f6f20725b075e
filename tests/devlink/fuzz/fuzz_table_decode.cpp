// Fuzz target: the 'G' table data as a player sends it. The first two bytes choose the data
// length P the player announced; the rest is the data, with the closing mark placed at P when
// the input asks for it so that the record walk is reached as often as the mark check.
#include "tabledecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace kestousb;

namespace {

// A name field ends with a zero inside its buffer and holds well-formed UTF-8.
void checkText(const char *text, size_t capacity) {
    const size_t n = strnlen(text, capacity);
    if (n == capacity)
        std::abort();
    const auto *s = reinterpret_cast<const uint8_t *>(text);
    for (size_t i = 0; i < n;) {
        const uint8_t c = s[i];
        const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (i + len > n)
            std::abort();
        i += len;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const bool placeMark = data[0] & 0x80;
    const size_t p = (static_cast<size_t>(data[0] & 0x7F) << 8 | data[1]) % kTableBufferSize;
    std::vector<uint8_t> buffer(std::max(size - 2, p + 1), 0);
    std::memcpy(buffer.data(), data + 2, size - 2);
    if (placeMark)
        buffer[p] = kTableEndMark;
    if (!tableLengthValid(p))
        return 0; // the library refuses such a length before it asks for the data

    auto table = std::make_unique<KSUSB_TOpenTable>();
    std::memset(table.get(), 0xAB, sizeof *table);
    const TableDecode result = decodeTable(buffer, p, *table);
    if (result == TableDecode::NoClosingMark) {
        if (buffer[p] == kTableEndMark)
            std::abort();
        return 0; // nothing of the table is taken
    }
    for (size_t i = 0; i < table->count; ++i) {
        const KSUSB_TFileEntry &e = table->entries[i];
        if (strnlen(e.name83, sizeof e.name83) == sizeof e.name83)
            std::abort();
        // A name from long-name records is UTF-8; without one the short name's raw code-page
        // bytes stand in.
        if (std::strcmp(e.name, e.name83) != 0)
            checkText(e.name, sizeof e.name);
        else if (strnlen(e.name, sizeof e.name) == sizeof e.name)
            std::abort();
    }
    return 0;
}
