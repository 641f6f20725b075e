// Decoding the 'G' table data (capacity, free space, then the memory's 32-byte FAT directory
// records) into a KSUSB_TOpenTable. Pure: works on a buffer, without the transport, so that the
// rules for untrusted table data can be tested on their own.
#pragma once

#include "KestoUSB.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestousb {

constexpr size_t kTableBufferSize = 49152; // the data read for one table
constexpr size_t kTableHeaderSize = 8;     // total and free, big-endian u32 each
constexpr size_t kDirRecordSize = 32;
constexpr uint8_t kLongNameAttr = 0x0F;
constexpr uint8_t kLongNameFirstFlag = 0x40; // in byte 0 of the first long-name record to arrive
constexpr size_t kLongNameUnitsPerRecord = 13;
constexpr size_t kMaxLongNameBytes = sizeof(KSUSB_TFileEntry::name) - 1; // leaves room for NUL
constexpr uint8_t kTableEndMark = '.';

// A data length P the player announces can be read into the table buffer with its closing '.'
// behind it: 8 <= P <= 49151.
constexpr bool tableLengthValid(size_t p) {
    return p >= kTableHeaderSize && p < kTableBufferSize;
}

enum class TableDecode {
    Ok,
    NoClosingMark,  // data byte P is not '.'
    TooManyEntries, // a 256th entry: count reads 0
    Malformed,      // a record or a long-name run does not fit inside the P bytes
};

// Decodes `data` (the bytes read, at least P + 1 of them) into `table`, entry by entry: total,
// free and count are set first, and a decode that stops early keeps the entries it finished
// with count counting them (except TooManyEntries, where count wraps to 0). Never reads outside
// data[0..P] and never writes past an entry's buffers: a long name is converted to UTF-8 and
// cut to 255 bytes at a character boundary.
TableDecode decodeTable(std::span<const uint8_t> data, size_t p, KSUSB_TOpenTable &table);

} // namespace kestousb
