// Builds 'G' table data the way a player lays out its root directory: total and free, then for
// each file its long-name records (end of the name first) and its short-name record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tabletest {

struct FileRecord {
    std::u16string longName;               // empty: no long-name records
    std::string shortName = "FILE    TXT"; // the 11 bytes of the record
    uint8_t attr = 0x20;
    uint16_t time = 0x6000;
    uint16_t date = 0x5A21;
    uint16_t cluster = 0x0203;
    uint32_t size = 1234;
    uint8_t rawFill = 0; // bytes 12-21
};

inline void putLe16(std::vector<uint8_t> &out, size_t at, uint16_t v) {
    out[at] = uint8_t(v & 0xFF);
    out[at + 1] = uint8_t(v >> 8);
}

inline void appendRecords(std::vector<uint8_t> &out, const FileRecord &f) {
    static constexpr size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    if (!f.longName.empty()) {
        const size_t n = (f.longName.size() + 12) / 13;
        for (size_t r = n; r-- > 0;) {
            std::vector<uint8_t> rec(32, 0);
            rec[0] = uint8_t((r + 1) | (r + 1 == n ? 0x40 : 0));
            rec[11] = 0x0F;
            for (size_t k = 0; k < 13; ++k) {
                const size_t at = r * 13 + k;
                uint16_t unit = 0xFFFF;
                if (at < f.longName.size())
                    unit = f.longName[at];
                else if (at == f.longName.size())
                    unit = 0;
                putLe16(rec, offsets[k], unit);
            }
            out.insert(out.end(), rec.begin(), rec.end());
        }
    }
    std::vector<uint8_t> rec(32, 0);
    for (size_t k = 0; k < 11 && k < f.shortName.size(); ++k)
        rec[k] = uint8_t(f.shortName[k]);
    rec[11] = f.attr;
    for (size_t k = 12; k < 22; ++k)
        rec[k] = f.rawFill;
    putLe16(rec, 22, f.time);
    putLe16(rec, 24, f.date);
    rec[26] = uint8_t(f.cluster & 0xFF); // little-endian on disk
    rec[27] = uint8_t(f.cluster >> 8);
    rec[28] = uint8_t(f.size);
    rec[29] = uint8_t(f.size >> 8);
    rec[30] = uint8_t(f.size >> 16);
    rec[31] = uint8_t(f.size >> 24);
    out.insert(out.end(), rec.begin(), rec.end());
}

// Header and records; the '.' goes at the returned size (call finish()).
inline std::vector<uint8_t> tableRecords(uint32_t total, uint32_t free,
                                         const std::vector<FileRecord> &files) {
    std::vector<uint8_t> out = {uint8_t(total >> 24), uint8_t(total >> 16), uint8_t(total >> 8),
                                uint8_t(total),       uint8_t(free >> 24),  uint8_t(free >> 16),
                                uint8_t(free >> 8),   uint8_t(free)};
    for (const auto &f : files)
        appendRecords(out, f);
    return out;
}

// Appends the closing '.' and pads to whole 64-byte blocks like the data read; returns P.
inline size_t finish(std::vector<uint8_t> &data) {
    const size_t p = data.size();
    data.push_back('.');
    data.resize((data.size() + 63) / 64 * 64, 0);
    return p;
}

} // namespace tabletest
