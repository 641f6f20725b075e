#include "fat_volume.h"

#include "fat_layout.h"
#include "fat_table.h"
#include "image_file.h"
#include "root_directory.h"
#include "vfat_names.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace vplayer {
namespace {

constexpr size_t kBaseChars = 8;
constexpr size_t kExtChars = 3;
constexpr uint8_t kFileAttrMask = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;
// A record whose last-write date and time are both 0xFFFF ends the host's file list, so such a
// stamp (not a valid date anyway) is stored as 1980-01-01 00:00.
constexpr uint16_t kEndOfListStamp = 0xFFFF;
constexpr uint16_t kFirstDosDate = (1 << 5) | 1;

// Characters a short name never holds: the ones FAT tools reject, and '.' which separates the
// extension.
bool badShortNameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u >= 0x7F || std::strchr("\"*/:<>?\\|.", c) != nullptr;
}

// How many clusters from `from` on (at most `limit`) follow each other on disk, so that one read
// or write covers them all.
size_t contiguousRun(const std::vector<uint32_t> &clusters, size_t from, uint64_t limit) {
    size_t n = 1;
    while (n < limit && from + n < clusters.size() && clusters[from + n] == clusters[from] + n)
        ++n;
    return n;
}

void put16(DirRecord &r, size_t at, uint32_t v) {
    r[at] = static_cast<uint8_t>(v);
    r[at + 1] = static_cast<uint8_t>(v >> 8);
}

} // namespace

std::optional<ShortName> shortNameFromHost(std::string_view hostName) {
    std::string_view base = hostName;
    std::string_view ext;
    if (const size_t dot = hostName.find('.'); dot != std::string_view::npos) {
        base = hostName.substr(0, dot);
        ext = hostName.substr(dot + 1);
    }
    // The padded form fills the base to 8 bytes with spaces; trailing spaces carry no name.
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    while (!ext.empty() && ext.back() == ' ')
        ext.remove_suffix(1);
    if (base.empty() || base.size() > kBaseChars || ext.size() > kExtChars || base.front() == ' ')
        return std::nullopt;
    if (std::any_of(base.begin(), base.end(), badShortNameChar) ||
        std::any_of(ext.begin(), ext.end(), badShortNameChar))
        return std::nullopt;
    ShortName n;
    n.fill(' ');
    std::copy(base.begin(), base.end(), n.begin());
    std::copy(ext.begin(), ext.end(), n.begin() + kBaseChars);
    return n;
}

namespace detail {

// The open volume's state; FatVolume::Impl is this under the header's name, and the writers of
// files in progress reach it directly.
struct VolumeState {
    VolumeState(ImageFile f, FatLayout l, FatTable t, RootDirectory r)
        : file(std::move(f)), layout(l), fat(std::move(t)), root(std::move(r)),
          reserved(size_t{layout.maxCluster()} + 1, false) {}

    ImageFile file;
    FatLayout layout;
    FatTable fat;
    RootDirectory root;
    // Clusters promised to files still being written: not in the FAT until the file is done,
    // so that a transfer that never finishes leaves nothing behind in the image.
    std::vector<bool> reserved;
    uint32_t reservedCount = 0;
    // Writers hold a weak reference: one that outlives its volume does nothing.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    uint32_t freeClusters() const { return fat.freeCount() - reservedCount; }
    uint32_t clustersFor(uint64_t bytes) const {
        return static_cast<uint32_t>((bytes + layout.clusterBytes() - 1) / layout.clusterBytes());
    }

    bool writeFat() {
        const size_t begin = fat.dirtyBegin();
        const size_t end = fat.dirtyEnd();
        if (begin >= end)
            return true;
        const std::span<const uint8_t> changed(fat.bytes().data() + begin, end - begin);
        bool ok = true;
        for (uint32_t copy = 0; copy < layout.fatCount; ++copy)
            ok = file.write(layout.fatOffset(copy) + begin, changed) && ok;
        fat.clearDirty();
        return ok;
    }

    bool writeRoot() {
        std::vector<uint8_t> region(layout.rootBytes());
        return root.serialize(region) && file.write(layout.rootOffset(), region);
    }

    std::vector<uint32_t> reserve(uint32_t count) {
        std::vector<uint32_t> out;
        out.reserve(count);
        for (uint32_t c = kFirstDataCluster; c <= layout.maxCluster() && out.size() < count; ++c) {
            if (fat.get(c) == 0 && !reserved[c]) {
                reserved[c] = true;
                out.push_back(c);
            }
        }
        reservedCount += static_cast<uint32_t>(out.size());
        return out;
    }

    void release(const std::vector<uint32_t> &clusters) {
        for (uint32_t c : clusters) {
            if (reserved[c]) {
                reserved[c] = false;
                --reservedCount;
            }
        }
    }

    // Checks shared by canCreate() and the commit of a finished file.
    FatVolume::Result checkNewFile(const ShortName &name, size_t longNameChars) const {
        if (root.find(name, false))
            return FatVolume::Result::Exists;
        if (root.recordCount() + 1 + longNameRecordCount(longNameChars) > layout.rootEntries)
            return FatVolume::Result::NoRoomInDirectory;
        return FatVolume::Result::Ok;
    }
};

} // namespace detail

struct FatVolume::Impl : detail::VolumeState {
    using VolumeState::VolumeState;
};

namespace {

class FileWriter : public FatVolume::Writer {
public:
    struct Record {
        ShortName name;
        std::u16string longName;
        uint8_t attr;
        uint16_t date;
        uint16_t time;
        uint32_t size;
    };

    FileWriter(detail::VolumeState &volume, Record record, std::vector<uint32_t> clusters)
        : m_volume(volume), m_alive(volume.alive), m_record(std::move(record)),
          m_clusters(std::move(clusters)) {}

    ~FileWriter() override { abandon(); }

    FatVolume::Result write(std::span<const uint8_t> data) override {
        if (m_done || m_alive.expired())
            return FatVolume::Result::IoError;
        const detail::VolumeState &v = m_volume;
        const uint32_t clusterBytes = v.layout.clusterBytes();
        size_t left = std::min<uint64_t>(data.size(), m_record.size - m_received);
        while (left > 0) {
            const size_t index = static_cast<size_t>(m_received / clusterBytes);
            const uint32_t within = static_cast<uint32_t>(m_received % clusterBytes);
            const size_t run =
                contiguousRun(m_clusters, index, (within + left + clusterBytes - 1) / clusterBytes);
            const size_t n = std::min<uint64_t>(left, uint64_t{run} * clusterBytes - within);
            if (!m_volume.file.write(v.layout.clusterOffset(m_clusters[index]) + within,
                                     data.first(n))) {
                abandon();
                return FatVolume::Result::IoError;
            }
            data = data.subspan(n);
            m_received += n;
            left -= n;
        }
        return FatVolume::Result::Ok;
    }

    FatVolume::Result finish() override {
        if (m_done || m_alive.expired())
            return FatVolume::Result::IoError;
        if (m_received < m_record.size) {
            abandon();
            return FatVolume::Result::IoError;
        }
        detail::VolumeState &v = m_volume;
        // The slack after the end of the file reads as zeros rather than as old data.
        const uint32_t tail = m_record.size % v.layout.clusterBytes();
        if (tail != 0) {
            const std::vector<uint8_t> zeros(v.layout.clusterBytes() - tail, 0);
            if (!v.file.write(v.layout.clusterOffset(m_clusters.back()) + tail, zeros)) {
                abandon();
                return FatVolume::Result::IoError;
            }
        }
        // Another file may have taken the name or the last directory records meanwhile.
        const FatVolume::Result check = v.checkNewFile(m_record.name, m_record.longName.size());
        if (check != FatVolume::Result::Ok) {
            abandon();
            return check;
        }
        for (size_t i = 0; i < m_clusters.size(); ++i)
            v.fat.set(m_clusters[i],
                      i + 1 < m_clusters.size() ? m_clusters[i + 1] : v.fat.endOfChain());
        v.release(m_clusters);
        m_done = true;

        FileGroup g;
        if (!m_record.longName.empty())
            g.longName = longNameRecords(m_record.name, m_record.longName);
        DirRecord &r = g.entry;
        r.fill(0);
        std::copy(m_record.name.begin(), m_record.name.end(), r.begin());
        r[kRecordAttr] = m_record.attr;
        // The player has no clock of its own: the host's stamp serves as creation and access
        // time too.
        put16(r, kRecordCreateTime, m_record.time);
        put16(r, kRecordCreateDate, m_record.date);
        put16(r, kRecordAccessDate, m_record.date);
        put16(r, kRecordWriteTime, m_record.time);
        put16(r, kRecordWriteDate, m_record.date);
        put16(r, kRecordCluster, m_clusters.empty() ? 0 : m_clusters.front());
        put16(r, kRecordSize, m_record.size & 0xFFFF);
        put16(r, kRecordSize + 2, m_record.size >> 16);
        v.root.groups.push_back(std::move(g));
        // The chain goes to disk before the record that points to it: a crash in between leaves
        // lost clusters, never a file over free ones.
        const bool ok = v.writeFat() && v.writeRoot();
        return ok ? FatVolume::Result::Ok : FatVolume::Result::IoError;
    }

private:
    detail::VolumeState &m_volume;
    std::weak_ptr<int> m_alive;
    Record m_record;
    std::vector<uint32_t> m_clusters;
    uint64_t m_received = 0;
    bool m_done = false;

    void abandon() {
        if (!m_done && !m_alive.expired())
            m_volume.release(m_clusters);
        m_done = true;
    }
};

class FileReader : public FatVolume::Reader {
public:
    FileReader(const detail::VolumeState &volume, std::vector<uint32_t> clusters, uint32_t size)
        : m_volume(volume), m_alive(volume.alive), m_clusters(std::move(clusters)), m_size(size) {}

    uint32_t size() const override { return m_size; }

    bool read(uint64_t offset, std::span<uint8_t> out) const override {
        if (m_alive.expired() || offset > m_size || out.size() > m_size - offset)
            return false;
        const uint32_t clusterBytes = m_volume.layout.clusterBytes();
        while (!out.empty()) {
            const size_t index = static_cast<size_t>(offset / clusterBytes);
            const uint32_t within = static_cast<uint32_t>(offset % clusterBytes);
            const size_t run = contiguousRun(
                m_clusters, index, (within + out.size() + clusterBytes - 1) / clusterBytes);
            const size_t n = std::min<uint64_t>(out.size(), uint64_t{run} * clusterBytes - within);
            if (!m_volume.file.read(m_volume.layout.clusterOffset(m_clusters[index]) + within,
                                    out.first(n)))
                return false;
            out = out.subspan(n);
            offset += n;
        }
        return true;
    }

private:
    const detail::VolumeState &m_volume;
    std::weak_ptr<int> m_alive;
    std::vector<uint32_t> m_clusters;
    uint32_t m_size;
};

} // namespace

FatVolume::FatVolume() = default;
FatVolume::~FatVolume() = default;

std::unique_ptr<FatVolume> FatVolume::open(const std::filesystem::path &image, std::string &error) {
    ImageFile file;
    if (!file.open(image, error))
        return nullptr;
    std::array<uint8_t, kBootSectorBytes> boot{};
    if (!file.read(0, boot)) {
        error = image.string() + ": too short for a boot sector";
        return nullptr;
    }
    std::string why;
    const auto layout = FatLayout::parse(boot, file.size(), why);
    if (!layout) {
        error = image.string() + ": " + why;
        return nullptr;
    }
    std::vector<uint8_t> fatBytes(layout->fatBytes());
    std::vector<uint8_t> rootBytes(layout->rootBytes());
    if (!file.read(layout->fatOffset(0), fatBytes) || !file.read(layout->rootOffset(), rootBytes)) {
        error = image.string() + ": cannot read the FAT or the root directory";
        return nullptr;
    }
    FatTable fat(layout->type, layout->maxCluster(), std::move(fatBytes));
    RootDirectory root = RootDirectory::parse(rootBytes);
    std::unique_ptr<FatVolume> volume(new FatVolume());
    volume->m_impl =
        std::make_unique<Impl>(std::move(file), *layout, std::move(fat), std::move(root));
    return volume;
}

bool FatVolume::format(const std::filesystem::path &image, uint64_t bytes, std::string &error) {
    std::string why;
    const auto layout = FatLayout::plan(bytes, why);
    if (!layout) {
        error = why;
        return false;
    }
    // Built beside the image and renamed over it, so a failure leaves the old volume whole.
    std::filesystem::path temp = image;
    temp += ".format";
    ImageFile file;
    const uint64_t imageBytes = std::max(layout->volumeBytes(), bytes / 512 * 512);
    if (!file.create(temp, imageBytes, error))
        return false;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto serial =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    std::vector<uint8_t> fatBytes(layout->fatBytes(), 0);
    FatTable fat(layout->type, layout->maxCluster(), std::move(fatBytes));
    // Entry 0 holds the media byte with all higher bits set, entry 1 an end-of-chain mark.
    fat.set(0, (fat.endOfChain() & ~uint32_t{0xFF}) | layout->media);
    fat.set(1, fat.endOfChain());
    bool ok = file.write(0, layout->bootSector(serial));
    for (uint32_t copy = 0; copy < layout->fatCount; ++copy)
        ok = ok && file.write(layout->fatOffset(copy), fat.bytes());
    file.close();
    std::error_code ec;
    if (ok)
        std::filesystem::rename(temp, image, ec);
    if (!ok || ec) {
        error = image.string() + ": cannot write the new volume" +
                (ec ? ": " + ec.message() : std::string{});
        std::filesystem::remove(temp, ec);
        return false;
    }
    return true;
}

uint32_t FatVolume::totalBytes() const {
    return m_impl->layout.clusterCount * m_impl->layout.clusterBytes();
}

uint32_t FatVolume::freeBytes() const {
    return m_impl->freeClusters() * m_impl->layout.clusterBytes();
}

std::vector<DirRecord> FatVolume::rootRecords() const {
    std::vector<DirRecord> out;
    for (const FileGroup &g : m_impl->root.groups) {
        out.insert(out.end(), g.longName.begin(), g.longName.end());
        out.push_back(g.entry);
    }
    return out;
}

FatVolume::Result FatVolume::remove(const ShortName &name) {
    Impl &v = *m_impl;
    const auto index = v.root.find(name, true);
    if (!index)
        return Result::NotFound;
    if (!v.file.writable())
        return Result::IoError;
    const uint32_t first = v.root.groups[*index].firstCluster();
    v.root.groups.erase(v.root.groups.begin() + static_cast<std::ptrdiff_t>(*index));
    // Records first, then the chain: a crash in between leaves lost clusters, never a record
    // pointing to free clusters.
    bool ok = v.writeRoot();
    if (first != 0)
        v.fat.freeChain(first);
    ok = v.writeFat() && ok;
    return ok ? Result::Ok : Result::IoError;
}

FatVolume::Result FatVolume::rename(const ShortName &oldName, const ShortName &newName,
                                    const std::u16string &newLongName) {
    Impl &v = *m_impl;
    const auto index = v.root.find(oldName, true);
    if (!index)
        return Result::NotFound;
    if (const auto other = v.root.find(newName, false); other && *other != *index)
        return Result::Exists;
    // A name the directory cannot hold gets the same answer as one it has no room for.
    if (!newLongName.empty() && !validLongName(newLongName))
        return Result::NoRoomInDirectory;
    FileGroup &g = v.root.groups[*index];
    const size_t after =
        v.root.recordCount() - g.recordCount() + 1 + longNameRecordCount(newLongName.size());
    if (after > v.layout.rootEntries)
        return Result::NoRoomInDirectory;
    if (!v.file.writable())
        return Result::IoError;
    std::copy(newName.begin(), newName.end(), g.entry.begin());
    // Lower-case display flags belonged to the old short name.
    g.entry[kRecordCaseFlags] = 0;
    g.longName.clear();
    if (!newLongName.empty())
        g.longName = longNameRecords(newName, newLongName);
    return v.writeRoot() ? Result::Ok : Result::IoError;
}

FatVolume::Result FatVolume::moveTo(const ShortName &name, size_t index) {
    Impl &v = *m_impl;
    const auto from = v.root.find(name, true);
    if (!from)
        return Result::NotFound;
    if (!v.file.writable())
        return Result::IoError;
    auto &groups = v.root.groups;
    FileGroup g = std::move(groups[*from]);
    groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(*from));
    const size_t to = std::min(index, groups.size());
    groups.insert(groups.begin() + static_cast<std::ptrdiff_t>(to), std::move(g));
    return v.writeRoot() ? Result::Ok : Result::IoError;
}

FatVolume::Result FatVolume::canCreate(const ShortName &name, const std::u16string &longName,
                                       uint32_t size) const {
    const Impl &v = *m_impl;
    if (const Result r = v.checkNewFile(name, longName.size()); r != Result::Ok)
        return r;
    if (!longName.empty() && !validLongName(longName))
        return Result::NoRoomInDirectory;
    if (v.clustersFor(size) > v.freeClusters())
        return Result::NoSpace;
    return v.file.writable() ? Result::Ok : Result::IoError;
}

std::unique_ptr<FatVolume::Writer> FatVolume::create(const ShortName &name,
                                                     const std::u16string &longName, uint8_t attr,
                                                     uint16_t date, uint16_t time, uint32_t size,
                                                     Result &result) {
    result = canCreate(name, longName, size);
    if (result != Result::Ok)
        return nullptr;
    Impl &v = *m_impl;
    const uint32_t needed = v.clustersFor(size);
    std::vector<uint32_t> clusters = v.reserve(needed);
    if (clusters.size() < needed) {
        v.release(clusters);
        result = Result::NoSpace;
        return nullptr;
    }
    if (date == kEndOfListStamp && time == kEndOfListStamp) {
        date = kFirstDosDate;
        time = 0;
    }
    // Only the plain file attributes: a directory or label bit would make the record something
    // the data behind it is not.
    FileWriter::Record record{name, longName, static_cast<uint8_t>(attr & kFileAttrMask),
                              date, time,     size};
    return std::make_unique<FileWriter>(v, std::move(record), std::move(clusters));
}

std::unique_ptr<FatVolume::Reader> FatVolume::openFile(const ShortName &name) const {
    const Impl &v = *m_impl;
    const auto index = v.root.find(name, true);
    if (!index)
        return nullptr;
    const FileGroup &g = v.root.groups[*index];
    std::vector<uint32_t> clusters;
    if (g.size() > 0) {
        auto chain = v.fat.chain(g.firstCluster());
        if (!chain || uint64_t{chain->size()} * v.layout.clusterBytes() < g.size())
            return nullptr;
        clusters = std::move(*chain);
    }
    return std::make_unique<FileReader>(v, std::move(clusters), g.size());
}

std::optional<std::vector<uint8_t>> FatVolume::readFile(const ShortName &name) const {
    const auto reader = openFile(name);
    if (!reader)
        return std::nullopt;
    std::vector<uint8_t> data(reader->size());
    if (!reader->read(0, data))
        return std::nullopt;
    return data;
}

std::optional<uint32_t> FatVolume::fileSize(const ShortName &name) const {
    const auto index = m_impl->root.find(name, true);
    if (!index)
        return std::nullopt;
    return m_impl->root.groups[*index].size();
}

void FatVolume::readRaw(uint64_t offset, std::span<uint8_t> out) const {
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint64_t size = m_impl->file.size();
    if (offset >= size)
        return;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size - offset));
    if (!m_impl->file.read(offset, out.first(n)))
        std::fill(out.begin(), out.end(), uint8_t{0});
}

uint64_t FatVolume::imageBytes() const {
    return m_impl->file.size();
}

} // namespace vplayer
