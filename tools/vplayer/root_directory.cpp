#include "root_directory.h"

#include "vfat_names.h"

#include <algorithm>
#include <cstring>

namespace vplayer {
namespace {

uint16_t get16(const DirRecord &r, size_t at) {
    return static_cast<uint16_t>(r[at] | (r[at + 1] << 8));
}

bool isLongNameRecord(const DirRecord &r) {
    return (r[kRecordAttr] & kAttrLongNameMask) == kAttrLongName;
}

// Collects long-name records until the short-name record they belong to.
class LongNameRun {
public:
    void add(const DirRecord &r) {
        const uint8_t order = r[0] & kLongNameOrderMask;
        const bool sound = order >= 1 && order <= kMaxLongNameRecords && r[kLongNameType] == 0 &&
                           get16(r, kRecordCluster) == 0;
        if (!sound) {
            clear();
            return;
        }
        if (r[0] & kLongNameLast) {
            // A new name starts; whatever came before it had no short-name record.
            m_records.assign(1, r);
            m_checksum = r[kLongNameChecksum];
            m_nextOrder = order - 1;
            return;
        }
        if (m_records.empty() || order != m_nextOrder || r[kLongNameChecksum] != m_checksum ||
            m_nextOrder == 0) {
            clear();
            return;
        }
        m_records.push_back(r);
        --m_nextOrder;
    }

    // The run if it is whole and belongs to `entry`; the run is consumed either way.
    std::vector<DirRecord> take(const DirRecord &entry) {
        std::vector<DirRecord> out;
        const std::span<const uint8_t, 11> name(entry.data(), 11);
        if (!m_records.empty() && m_nextOrder == 0 && shortNameChecksum(name) == m_checksum)
            out = std::move(m_records);
        clear();
        return out;
    }

    void clear() {
        m_records.clear();
        m_nextOrder = 0;
    }

private:
    std::vector<DirRecord> m_records;
    uint8_t m_checksum = 0;
    unsigned m_nextOrder = 0;
};

} // namespace

ShortName FileGroup::name() const {
    ShortName n{};
    std::memcpy(n.data(), entry.data(), n.size());
    return n;
}

uint8_t FileGroup::attr() const {
    return entry[kRecordAttr];
}

bool FileGroup::isFile() const {
    return (attr() & (kAttrDirectory | kAttrVolumeLabel)) == 0;
}

uint32_t FileGroup::firstCluster() const {
    return get16(entry, kRecordCluster);
}

uint32_t FileGroup::size() const {
    return uint32_t{get16(entry, kRecordSize)} | (uint32_t{get16(entry, kRecordSize + 2)} << 16);
}

RootDirectory RootDirectory::parse(std::span<const uint8_t> region) {
    RootDirectory dir;
    LongNameRun run;
    for (size_t at = 0; at + kDirRecordBytes <= region.size(); at += kDirRecordBytes) {
        DirRecord r;
        std::copy_n(region.begin() + static_cast<std::ptrdiff_t>(at), r.size(), r.begin());
        if (r[0] == kRecordEnd)
            break;
        if (r[0] == kRecordDeleted) {
            run.clear();
            continue;
        }
        if (isLongNameRecord(r)) {
            run.add(r);
            continue;
        }
        if (r[kRecordAttr] & kAttrVolumeLabel) {
            run.clear();
            if (!dir.label)
                dir.label = r;
            continue;
        }
        FileGroup g;
        g.longName = run.take(r);
        g.entry = r;
        dir.groups.push_back(std::move(g));
    }
    return dir;
}

size_t RootDirectory::recordCount() const {
    size_t n = label ? 1 : 0;
    for (const FileGroup &g : groups)
        n += g.recordCount();
    return n;
}

bool RootDirectory::serialize(std::span<uint8_t> region) const {
    if (recordCount() * kDirRecordBytes > region.size())
        return false;
    std::fill(region.begin(), region.end(), uint8_t{0});
    auto out = region.begin();
    auto put = [&out](const DirRecord &r) { out = std::copy(r.begin(), r.end(), out); };
    if (label)
        put(*label);
    for (const FileGroup &g : groups) {
        for (const DirRecord &r : g.longName)
            put(r);
        put(g.entry);
    }
    return true;
}

std::optional<size_t> RootDirectory::find(const ShortName &name, bool filesOnly) const {
    for (size_t i = 0; i < groups.size(); ++i) {
        if ((!filesOnly || groups[i].isFile()) && groups[i].name() == name)
            return i;
    }
    return std::nullopt;
}

} // namespace vplayer
