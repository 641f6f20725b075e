// The player sends its root directory as it stands: each file's long-name records (end of the
// name first) followed by its short-name record.
#include "tabledecoder.h"

#include "byteorder.h"
#include "names.h"

#include <array>
#include <cstring>

namespace kestousb {

namespace {

constexpr uint16_t kListEndStamp = 0xFFFF; // date and time both 0xFFFF: the list ends here
constexpr size_t kShortBaseBytes = 8;
constexpr size_t kShortExtBytes = 3;
constexpr size_t kAttrOffset = 11;
constexpr size_t kRawTimesOffset = 12;
constexpr size_t kTimeOffset = 22;
constexpr size_t kDateOffset = 24;
constexpr size_t kClusterOffset = 26;
constexpr size_t kSizeOffset = 28;
// The largest run byte 0 can announce (0xFF - 0x40); far more than a real name needs, but the
// count comes from the device.
constexpr size_t kMaxLongNameRecords = 0xFF - kLongNameFirstFlag;

// Where a long-name record keeps its 13 UTF-16 units: bytes 1-10, 14-25 and 28-31.
constexpr std::array<size_t, kLongNameUnitsPerRecord> kUnitOffsets = {1,  3,  5,  7,  9,  14, 16,
                                                                      18, 20, 22, 24, 28, 30};

// "BASE.EXT" from the padded record form: each part up to its first space; the '.' always.
void compactShortName(const uint8_t *rec, char (&out)[sizeof(KSUSB_TFileEntry::name83)]) {
    size_t n = 0;
    for (size_t k = 0; k < kShortBaseBytes && rec[k] != ' '; ++k)
        out[n++] = static_cast<char>(rec[k]);
    out[n++] = '.';
    for (size_t k = 0; k < kShortExtBytes && rec[kShortBaseBytes + k] != ' '; ++k)
        out[n++] = static_cast<char>(rec[kShortBaseBytes + k]);
    out[n] = '\0';
}

} // namespace

TableDecode decodeTable(std::span<const uint8_t> data, size_t p, KSUSB_TOpenTable &table) {
    if (!tableLengthValid(p) || data.size() <= p)
        return TableDecode::Malformed;
    if (data[p] != kTableEndMark)
        return TableDecode::NoClosingMark;

    const uint8_t *bytes = data.data();
    table.total = getBe32(bytes);
    table.free = getBe32(bytes + 4);
    table.count = 0;

    const size_t records = (p - kTableHeaderSize) / kDirRecordSize;
    // Records that do not end on P leave a fragment no record can be read from.
    const TableDecode atEnd =
        (p - kTableHeaderSize) % kDirRecordSize == 0 ? TableDecode::Ok : TableDecode::Malformed;
    auto record = [&](size_t j) { return bytes + kTableHeaderSize + j * kDirRecordSize; };

    size_t i = 0;
    for (size_t j = 0; j < records; ++j) {
        KSUSB_TFileEntry &entry = table.entries[i];
        std::memset(entry.name, 0, sizeof entry.name);
        std::memset(entry.name83, 0, sizeof entry.name83);

        if (record(j)[kAttrOffset] == kLongNameAttr) {
            // Byte 0 of the first record to arrive is 0x40 plus the number of records. A count
            // of zero, a record without the flag, or a run without its short-name record inside
            // the data cannot be decoded.
            const int n = int(record(j)[0]) - kLongNameFirstFlag;
            if (n < 1 || j + size_t(n) >= records)
                return TableDecode::Malformed;
            std::array<char16_t, kMaxLongNameRecords * kLongNameUnitsPerRecord>
                units; // filled up to u
            size_t u = 0;
            for (size_t r = j + size_t(n); r-- > j;)
                for (const size_t off : kUnitOffsets)
                    units[u++] = static_cast<char16_t>(getLe16(record(r) + off));
            const std::string name =
                utf16ToUtf8(std::span<const char16_t>(units.data(), u), kMaxLongNameBytes);
            std::memcpy(entry.name, name.data(), name.size());
            j += size_t(n);
        }

        const uint8_t *rec = record(j);
        compactShortName(rec, entry.name83);
        if (entry.name[0] == '\0')
            std::memcpy(entry.name, entry.name83, sizeof entry.name83);
        entry.attr = rec[kAttrOffset];
        std::memcpy(entry.rawTimes, rec + kRawTimesOffset, sizeof entry.rawTimes);
        entry.time = getLe16(rec + kTimeOffset);
        entry.date = getLe16(rec + kDateOffset);
        // The player's first-cluster word is taken with its bytes in big-endian order.
        entry.cluster = getBe16(rec + kClusterOffset);
        entry.size = getLe32(rec + kSizeOffset);

        if (entry.date == kListEndStamp && entry.time == kListEndStamp)
            return TableDecode::Ok;

        ++i;
        table.count = static_cast<unsigned char>(i); // 256 wraps to 0
        if (i == KSUSB_MAX_ENTRIES)
            return TableDecode::TooManyEntries;
    }
    return atEnd;
}

} // namespace kestousb
