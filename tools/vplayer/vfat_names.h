// VFAT long names: the records that carry a long name in front of a file's short-name record,
// and the checksum that ties them to it.
#pragma once

#include "fat_volume.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vplayer {

constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrSystem = 0x04;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F; // read-only + hidden + system + volume label
constexpr uint8_t kAttrLongNameMask = 0x3F;

constexpr size_t kRecordAttr = 11;
constexpr size_t kRecordCaseFlags = 12; // which parts of the short name are shown in lower case
constexpr size_t kRecordCreateTenths = 13;
constexpr size_t kRecordCreateTime = 14;
constexpr size_t kRecordCreateDate = 16;
constexpr size_t kRecordAccessDate = 18;
constexpr size_t kRecordClusterHigh = 20;
constexpr size_t kRecordWriteTime = 22;
constexpr size_t kRecordWriteDate = 24;
constexpr size_t kRecordCluster = 26;
constexpr size_t kRecordSize = 28;

constexpr uint8_t kRecordDeleted = 0xE5;
constexpr uint8_t kRecordEnd = 0x00;

// Long-name record layout: order byte, 5 + 6 + 2 UTF-16 characters, checksum of the short name.
constexpr uint8_t kLongNameLast = 0x40; // flag on the record holding the end of the name
constexpr uint8_t kLongNameOrderMask = 0x1F;
constexpr size_t kLongNameChecksum = 13;
constexpr size_t kLongNameType = 12;
constexpr size_t kLongNameCharsPerRecord = 13;
constexpr size_t kMaxLongNameChars = 255;
constexpr size_t kMaxLongNameRecords =
    (kMaxLongNameChars + kLongNameCharsPerRecord - 1) / kLongNameCharsPerRecord;

// Byte offsets of the 13 characters inside a long-name record.
constexpr size_t kLongNameCharOffsets[kLongNameCharsPerRecord] = {1,  3,  5,  7,  9,  14, 16,
                                                                  18, 20, 22, 24, 28, 30};

// The checksum of an 11-byte short name that every long-name record of the file carries.
uint8_t shortNameChecksum(std::span<const uint8_t, 11> name);
uint8_t shortNameChecksum(const ShortName &name);

// Number of long-name records a name of `chars` UTF-16 units needs (0 for an empty name).
size_t longNameRecordCount(size_t chars);

// The long-name records of `longName` for the file `name`, in directory order: the record with
// the end of the name (and the 0x40 flag) first, the one with the first 13 characters last. The
// name ends with 0x0000 and the rest of its last record is 0xFFFF, unless it fills it exactly.
std::vector<DirRecord> longNameRecords(const ShortName &name, const std::u16string &longName);

// A long name the player accepts: 1 to 255 UTF-16 units, no control characters, no '/', '\'
// or other characters a VFAT name cannot hold.
bool validLongName(const std::u16string &longName);

} // namespace vplayer
