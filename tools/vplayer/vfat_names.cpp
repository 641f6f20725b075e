#include "vfat_names.h"

#include <algorithm>

namespace vplayer {
namespace {
constexpr char16_t kNamePadding = 0xFFFF;
constexpr char16_t kForbiddenInLongName[] = u"\"*/:<>?\\|";
} // namespace

uint8_t shortNameChecksum(std::span<const uint8_t, 11> name) {
    uint8_t sum = 0;
    for (uint8_t c : name)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
    return sum;
}

uint8_t shortNameChecksum(const ShortName &name) {
    std::array<uint8_t, 11> bytes{};
    std::transform(name.begin(), name.end(), bytes.begin(),
                   [](char c) { return static_cast<uint8_t>(c); });
    return shortNameChecksum(std::span<const uint8_t, 11>(bytes));
}

size_t longNameRecordCount(size_t chars) {
    return (chars + kLongNameCharsPerRecord - 1) / kLongNameCharsPerRecord;
}

std::vector<DirRecord> longNameRecords(const ShortName &name, const std::u16string &longName) {
    const size_t count = longNameRecordCount(longName.size());
    const uint8_t checksum = shortNameChecksum(name);
    std::vector<DirRecord> records(count);
    for (size_t part = 0; part < count; ++part) {
        // Part 0 holds characters 0-12 and stands last, right before the short-name record.
        DirRecord &r = records[count - 1 - part];
        r.fill(0);
        r[0] = static_cast<uint8_t>(part + 1);
        if (part + 1 == count)
            r[0] = static_cast<uint8_t>(r[0] | kLongNameLast);
        r[kRecordAttr] = kAttrLongName;
        r[kLongNameChecksum] = checksum;
        for (size_t i = 0; i < kLongNameCharsPerRecord; ++i) {
            const size_t at = part * kLongNameCharsPerRecord + i;
            char16_t c = kNamePadding;
            if (at < longName.size())
                c = longName[at];
            else if (at == longName.size())
                c = 0;
            r[kLongNameCharOffsets[i]] = static_cast<uint8_t>(c);
            r[kLongNameCharOffsets[i] + 1] = static_cast<uint8_t>(c >> 8);
        }
    }
    return records;
}

bool validLongName(const std::u16string &longName) {
    if (longName.empty() || longName.size() > kMaxLongNameChars)
        return false;
    return std::none_of(longName.begin(), longName.end(), [](char16_t c) {
        return c < 0x20 || c == 0x7F ||
               std::u16string_view(kForbiddenInLongName).find(c) != std::u16string_view::npos;
    });
}

} // namespace vplayer
