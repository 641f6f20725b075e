// Damaged images are untrusted input: a bad boot sector is refused with a reason, broken
// directories and chains are read safely, and the player's own name handling refuses what a
// short name or a long name cannot hold.
#include "fat_table.h"
#include "fat_test_support.h"
#include "fat_volume.h"
#include "vfat_names.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>

using namespace fattest;
using vplayer::DirRecord;
using vplayer::FatVolume;
using Result = FatVolume::Result;

namespace {

constexpr uint32_t kMiB = 1024 * 1024;

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A fresh 1 MiB volume as bytes, with the offsets a test needs to damage it.
struct Image {
    std::vector<uint8_t> bytes;
    size_t fat = 0, root = 0, data = 0, cluster = 0;

    static Image fresh(const std::filesystem::path &path) {
        std::string error;
        if (!FatVolume::format(path, kMiB, error))
            throw std::runtime_error(error);
        Image img;
        img.bytes = readFileBytes(path);
        const auto &b = img.bytes;
        auto le16 = [&](size_t at) { return size_t{b[at]} | (size_t{b[at + 1]} << 8); };
        const size_t bps = le16(11);
        img.fat = bps * le16(14);
        img.root = img.fat + bps * b[16] * le16(22);
        img.data = img.root + (le16(17) * 32 + bps - 1) / bps * bps;
        img.cluster = bps * b[13];
        return img;
    }
};

// ---- Boot sectors ---------------------------------------------------------------------------

struct BootDamage {
    const char *name;
    std::function<void(std::vector<uint8_t> &)> damage;
};

void PrintTo(const BootDamage &d, std::ostream *os) {
    *os << d.name;
}

class BadBootSector : public ::testing::TestWithParam<BootDamage> {};

TEST_P(BadBootSector, OpenRefusesWithAReason) {
    ScratchDir dir;
    Image img = Image::fresh(dir / "x.img");
    GetParam().damage(img.bytes);
    writeFile(dir / "x.img", img.bytes);
    std::string error;
    EXPECT_EQ(FatVolume::open(dir / "x.img", error), nullptr);
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Images, BadBootSector,
    ::testing::Values(BootDamage{"no_signature", [](auto &b) { b[510] = 0; }},
                      BootDamage{"sector_size_zero", [](auto &b) { put16(b, 11, 0); }},
                      BootDamage{"sector_size_300", [](auto &b) { put16(b, 11, 300); }},
                      BootDamage{"sector_size_8192", [](auto &b) { put16(b, 11, 8192); }},
                      BootDamage{"cluster_size_zero", [](auto &b) { b[13] = 0; }},
                      BootDamage{"cluster_size_three", [](auto &b) { b[13] = 3; }},
                      BootDamage{"no_reserved_sector", [](auto &b) { put16(b, 14, 0); }},
                      BootDamage{"no_fat", [](auto &b) { b[16] = 0; }},
                      BootDamage{"no_root_directory", [](auto &b) { put16(b, 17, 0); }},
                      BootDamage{"fat32_layout", [](auto &b) { put16(b, 22, 0); }},
                      BootDamage{"fat_too_small", [](auto &b) { put16(b, 22, 1); }},
                      BootDamage{"more_sectors_than_file", [](auto &b) { put16(b, 19, 4096); }},
                      BootDamage{"total_sectors_zero",
                                 [](auto &b) {
                                     put16(b, 19, 0);
                                     put16(b, 32, 0);
                                     put16(b, 34, 0);
                                 }},
                      BootDamage{"huge_32bit_total",
                                 [](auto &b) {
                                     put16(b, 19, 0);
                                     put16(b, 32, 0xFFFF);
                                     put16(b, 34, 0xFFFF);
                                 }},
                      BootDamage{"metadata_fills_volume", [](auto &b) { put16(b, 14, 2040); }},
                      BootDamage{"truncated_image", [](auto &b) { b.resize(b.size() / 2); }},
                      BootDamage{"shorter_than_a_sector", [](auto &b) { b.resize(100); }},
                      BootDamage{"empty_file", [](auto &b) { b.clear(); }},
                      BootDamage{"zeros", [](auto &b) { std::fill(b.begin(), b.end(), 0); }}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(BadImagePath, MissingFileAndFolderAreRefused) {
    ScratchDir dir;
    std::string error;
    EXPECT_EQ(FatVolume::open(dir / "missing.img", error), nullptr);
    EXPECT_NE(error.find("missing.img"), std::string::npos);
    error.clear();
    EXPECT_EQ(FatVolume::open(dir.path(), error), nullptr);
    EXPECT_FALSE(error.empty());
}

// ---- Root directory records -----------------------------------------------------------------

DirRecord shortRecord(const std::string &name11, uint16_t cluster = 0, uint32_t size = 0) {
    DirRecord r{};
    std::copy_n(name11.begin(), 11, r.begin());
    r[11] = 0x20;
    r[24] = 0x21; // 1980-01-01
    r[26] = static_cast<uint8_t>(cluster);
    r[27] = static_cast<uint8_t>(cluster >> 8);
    for (int i = 0; i < 4; ++i)
        r[28 + i] = static_cast<uint8_t>(size >> (8 * i));
    return r;
}

uint8_t checksumOf(const std::string &name11) {
    uint8_t sum = 0;
    for (char c : name11)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(c));
    return sum;
}

DirRecord longRecord(uint8_t order, uint8_t checksum, char fill = 'x') {
    DirRecord r{};
    r[0] = order;
    r[11] = 0x0F;
    r[13] = checksum;
    for (size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
        r[at] = static_cast<uint8_t>(fill);
    return r;
}

DirRecord deleted(DirRecord r) {
    r[0] = 0xE5;
    return r;
}

struct DirCase {
    const char *name;
    std::vector<DirRecord> records; // written from the start of the root region
    std::vector<size_t> expected;   // indices of the records rootRecords() hands out
};

void PrintTo(const DirCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string kA = "A       MP3";
const std::string kB = "B       MP3";

std::vector<DirCase> dirCases() {
    const uint8_t a = checksumOf(kA);
    DirRecord label = shortRecord("MYLABEL    ");
    label[11] = 0x08;
    return {
        {"two_record_long_name",
         {longRecord(0x42, a), longRecord(0x01, a), shortRecord(kA)},
         {0, 1, 2}},
        {"bad_checksum", {longRecord(0x41, static_cast<uint8_t>(a + 1)), shortRecord(kA)}, {1}},
        {"no_start_flag", {longRecord(0x01, a), shortRecord(kA)}, {1}},
        {"wrong_order", {longRecord(0x42, a), longRecord(0x03, a), shortRecord(kA)}, {2}},
        {"run_too_short", {longRecord(0x43, a), longRecord(0x02, a), shortRecord(kA)}, {2}},
        {"order_zero", {longRecord(0x40, a), shortRecord(kA)}, {1}},
        {"order_beyond_twenty", {longRecord(0x55, a), shortRecord(kA)}, {1}},
        {"mixed_checksums",
         {longRecord(0x42, a), longRecord(0x01, static_cast<uint8_t>(a ^ 1)), shortRecord(kA)},
         {2}},
        {"deleted_inside_run",
         {longRecord(0x42, a), deleted(longRecord(0x01, a)), shortRecord(kA)},
         {2}},
        {"restart_discards_orphan",
         {longRecord(0x42, a), longRecord(0x41, a), shortRecord(kA)},
         {1, 2}},
        {"long_name_without_file_at_end", {shortRecord(kA), longRecord(0x41, a)}, {0}},
        {"label_and_deleted_skipped",
         {label, deleted(shortRecord(kB)), shortRecord(kA), deleted(shortRecord(kB)),
          shortRecord(kB)},
         {2, 4}},
        {"end_marker_stops", {shortRecord(kA), DirRecord{}, shortRecord(kB)}, {0}},
    };
}

class DamagedDirectory : public ::testing::TestWithParam<DirCase> {};

TEST_P(DamagedDirectory, ListsOnlyLiveRecordsAndRepacksCleanly) {
    const DirCase &c = GetParam();
    ScratchDir dir;
    Image img = Image::fresh(dir / "x.img");
    for (size_t i = 0; i < c.records.size(); ++i) {
        std::copy(c.records[i].begin(), c.records[i].end(), img.bytes.begin() + img.root + 32 * i);
        // A label in the directory is also the boot sector's, as fsck expects.
        if (c.records[i][11] == 0x08)
            std::copy_n(c.records[i].begin(), 11, img.bytes.begin() + 43);
    }
    writeFile(dir / "x.img", img.bytes);
    std::string error;
    auto volume = FatVolume::open(dir / "x.img", error);
    ASSERT_NE(volume, nullptr) << error;
    std::vector<DirRecord> expected;
    for (size_t i : c.expected)
        expected.push_back(c.records[i]);
    EXPECT_EQ(volume->rootRecords(), expected);
    // The next change writes the directory back packed, without the broken records.
    ASSERT_EQ(volume->moveTo(shortName("A.MP3"), 0), Result::Ok);
    std::string report;
    EXPECT_TRUE(fsckClean(dir / "x.img", report)) << report;
    auto again = FatVolume::open(dir / "x.img", error);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->rootRecords().size(), expected.size());
}

INSTANTIATE_TEST_SUITE_P(Records, DamagedDirectory, ::testing::ValuesIn(dirCases()),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- Broken cluster chains ----------------------------------------------------------------------

struct ChainCase {
    const char *name;
    uint16_t firstCluster;
    uint32_t size;
    std::vector<std::pair<uint16_t, uint16_t>> fat; // FAT12 entries to set
};

void PrintTo(const ChainCase &c, std::ostream *os) {
    *os << c.name;
}

class BrokenChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(BrokenChain, ReadFailsAndRemoveEnds) {
    const ChainCase &c = GetParam();
    ScratchDir dir;
    Image img = Image::fresh(dir / "x.img");
    vplayer::FatTable fat(
        vplayer::FatType::Fat12, 4000,
        std::vector<uint8_t>(img.bytes.begin() + img.fat, img.bytes.begin() + img.root));
    for (const auto &[cluster, value] : c.fat)
        fat.set(cluster, value);
    std::copy(fat.bytes().begin(), fat.bytes().begin() + (img.root - img.fat) / 2,
              img.bytes.begin() + img.fat);
    const DirRecord r = shortRecord(kA, c.firstCluster, c.size);
    std::copy(r.begin(), r.end(), img.bytes.begin() + img.root);
    writeFile(dir / "x.img", img.bytes);

    std::string error;
    auto volume = FatVolume::open(dir / "x.img", error);
    ASSERT_NE(volume, nullptr) << error;
    EXPECT_EQ(volume->readFile(shortName("A.MP3")), std::nullopt);
    EXPECT_EQ(volume->fileSize(shortName("A.MP3")), c.size);
    EXPECT_EQ(volume->remove(shortName("A.MP3")), Result::Ok);
    EXPECT_TRUE(volume->rootRecords().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Chains, BrokenChain,
    ::testing::Values(ChainCase{"cycle_on_itself", 2, 3000, {{2, 2}}},
                      ChainCase{"cycle_of_three", 2, 100000, {{2, 3}, {3, 4}, {4, 2}}},
                      ChainCase{"points_past_data_area", 2, 3000, {{2, 0xFF0}}},
                      ChainCase{"runs_into_free_cluster", 2, 3000, {{2, 3}}},
                      ChainCase{"bad_cluster_mark", 2, 3000, {{2, 0xFF7}}},
                      ChainCase{"shorter_than_size", 2, 3000, {{2, 0xFFF}}},
                      ChainCase{"first_cluster_out_of_range", 0xFFF0, 10, {}},
                      ChainCase{"size_without_cluster", 0, 10, {}}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- FAT12 packing ------------------------------------------------------------------------------

struct PackCase {
    const char *name;
    uint32_t cluster;
    uint32_t value;
    std::vector<uint8_t> bytes; // the table's first bytes after setting only this entry
};

void PrintTo(const PackCase &c, std::ostream *os) {
    *os << c.name;
}

class Fat12Packing : public ::testing::TestWithParam<PackCase> {};

TEST_P(Fat12Packing, EntryLandsInItsNibblesAndLeavesItsNeighbour) {
    const PackCase &c = GetParam();
    // Neighbours hold all ones so that a spilled or lost nibble shows.
    std::vector<uint8_t> bytes(12, 0xFF);
    vplayer::FatTable fat(vplayer::FatType::Fat12, 7, bytes);
    fat.set(c.cluster, c.value);
    EXPECT_EQ(std::vector<uint8_t>(fat.bytes().begin(), fat.bytes().begin() + 9), c.bytes);
    EXPECT_EQ(fat.get(c.cluster), c.value);
    for (uint32_t n = 0; n < 8; ++n) {
        if (n != c.cluster) {
            EXPECT_EQ(fat.get(n), 0xFFFu) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, Fat12Packing,
    ::testing::Values(
        PackCase{"even_2", 2, 0x123, {0xFF, 0xFF, 0xFF, 0x23, 0xF1, 0xFF, 0xFF, 0xFF, 0xFF}},
        PackCase{"odd_3", 3, 0x456, {0xFF, 0xFF, 0xFF, 0xFF, 0x6F, 0x45, 0xFF, 0xFF, 0xFF}},
        PackCase{"even_4", 4, 0x000, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xF0, 0xFF}},
        PackCase{"odd_5", 5, 0xABC, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xCF, 0xAB}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(FatTable, EntriesOutsideTheTableAreIgnored) {
    vplayer::FatTable fat(vplayer::FatType::Fat16, 10, std::vector<uint8_t>(8, 0));
    fat.set(100, 0x1234);
    EXPECT_EQ(fat.get(100), 0u);
    EXPECT_EQ(fat.get(3), 0u);
    EXPECT_EQ(fat.chain(100), std::nullopt);
}

// ---- Names from the host ------------------------------------------------------------------------

struct HostNameCase {
    std::string host;
    std::optional<std::string> record; // the 11 record bytes, nullopt when refused
};

void PrintTo(const HostNameCase &c, std::ostream *os) {
    *os << '"' << c.host << '"';
}

class HostShortName : public ::testing::TestWithParam<HostNameCase> {};

TEST_P(HostShortName, BecomesTheRecordFormOrIsRefused) {
    const auto got = vplayer::shortNameFromHost(GetParam().host);
    if (!GetParam().record) {
        EXPECT_EQ(got, std::nullopt);
        return;
    }
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(std::string(got->begin(), got->end()), *GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostShortName,
    ::testing::Values(
        HostNameCase{"ABC.MP3", "ABC     MP3"}, HostNameCase{"AB      .MP3", "AB      MP3"},
        HostNameCase{"MySong~1.MP3", "MySong~1MP3"}, HostNameCase{"abc.MP3", "abc     MP3"},
        HostNameCase{"README.", "README     "}, HostNameCase{"README", "README     "},
        HostNameCase{"README  .", "README     "}, HostNameCase{"A.B", "A       B  "},
        HostNameCase{"12345678.123", "12345678123"}, HostNameCase{"MY SONG.MP3", "MY SONG MP3"},
        HostNameCase{"", std::nullopt}, HostNameCase{".MP3", std::nullopt},
        HostNameCase{"        .MP3", std::nullopt}, HostNameCase{" AB.MP3", std::nullopt},
        HostNameCase{"ABCDEFGHI.MP3", std::nullopt}, HostNameCase{"ABC.MPEG", std::nullopt},
        HostNameCase{"A.B.C", std::nullopt}, HostNameCase{"A\x01.MP3", std::nullopt},
        HostNameCase{std::string("A\0B.MP3", 7), std::nullopt},
        HostNameCase{"A*.MP3", std::nullopt}, HostNameCase{"A?.MP3", std::nullopt},
        HostNameCase{"A/B.MP3", std::nullopt}, HostNameCase{"A.M\"3", std::nullopt},
        HostNameCase{"\xC3\x84"
                     "B.MP3",
                     std::nullopt},
        HostNameCase{"AB.\x7F", std::nullopt}),
    // The name spelled out: letters and digits as they are, blank and dot as '_', any other
    // byte as x and its hex digits.
    [](const auto &row) {
        std::string label;
        for (const unsigned char c : row.param.host) {
            if (c < 0x80 && std::isalnum(c)) {
                label += static_cast<char>(c);
            } else if (c == ' ' || c == '.') {
                label += '_';
            } else {
                label += 'x';
                label += "0123456789ABCDEF"[c >> 4];
                label += "0123456789ABCDEF"[c & 15];
            }
        }
        return label.empty() ? std::string("Empty") : label;
    });

// ---- Long-name records --------------------------------------------------------------------------

struct LongCase {
    const char *name;
    size_t chars;
    size_t records;
};

void PrintTo(const LongCase &c, std::ostream *os) {
    *os << c.name;
}

class LongNameRecords : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongNameRecords, CarryChecksumOrderTerminatorAndPadding) {
    const LongCase &c = GetParam();
    std::u16string name;
    for (size_t i = 0; i < c.chars; ++i)
        name += static_cast<char16_t>(u'가' + i);
    const vplayer::ShortName sn = shortName("MySong~1.MP3");
    const auto records = vplayer::longNameRecords(sn, name);
    ASSERT_EQ(records.size(), c.records);
    std::u16string joined;
    for (size_t i = 0; i < records.size(); ++i) {
        const DirRecord &r = records[i];
        const size_t order = records.size() - i;
        EXPECT_EQ(r[0], order | (i == 0 ? 0x40 : 0)) << i;
        EXPECT_EQ(r[11], 0x0F);
        EXPECT_EQ(r[12], 0);
        EXPECT_EQ(r[13], checksumOf("MySong~1MP3"));
        EXPECT_EQ(r[26] | r[27], 0);
    }
    for (auto it = records.rbegin(); it != records.rend(); ++it)
        for (size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
            joined += static_cast<char16_t>((*it)[at] | ((*it)[at + 1] << 8));
    EXPECT_EQ(joined.substr(0, c.chars), name);
    if (c.chars % 13 != 0) {
        EXPECT_EQ(joined[c.chars], u'\0');
        for (size_t i = c.chars + 1; i < joined.size(); ++i)
            EXPECT_EQ(joined[i], u'\xFFFF') << i;
    }
    EXPECT_EQ(joined.size(), c.records * 13);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongNameRecords,
                         ::testing::Values(LongCase{"one_char", 1, 1}, LongCase{"twelve", 12, 1},
                                           LongCase{"thirteen_no_terminator", 13, 1},
                                           LongCase{"fourteen", 14, 2},
                                           LongCase{"twenty_six", 26, 2},
                                           LongCase{"max_255", 255, 20}),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- Raw access -------------------------------------------------------------------------------

struct RawCase {
    const char *name;
    int64_t fromEnd; // offset relative to the image's end (negative: inside)
    size_t length;
    size_t inside; // how many bytes come from the image
};

void PrintTo(const RawCase &c, std::ostream *os) {
    *os << c.name;
}

class RawRead : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawRead, ImageBytesThenZeros) {
    const RawCase &c = GetParam();
    ScratchDir dir;
    Image img = Image::fresh(dir / "x.img");
    for (size_t i = 0; i < 4096; ++i)
        img.bytes[img.bytes.size() - 1 - i] = static_cast<uint8_t>(i * 7 + 1);
    writeFile(dir / "x.img", img.bytes);
    std::string error;
    auto volume = FatVolume::open(dir / "x.img", error);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->imageBytes(), img.bytes.size());
    const uint64_t offset =
        static_cast<uint64_t>(static_cast<int64_t>(img.bytes.size()) + c.fromEnd);
    std::vector<uint8_t> out(c.length, 0xAA);
    volume->readRaw(offset, out);
    for (size_t i = 0; i < c.length; ++i) {
        const uint8_t expected = i < c.inside ? img.bytes[offset + i] : 0;
        ASSERT_EQ(out[i], expected) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Ranges, RawRead,
                         ::testing::Values(RawCase{"inside", -2048, 512, 512},
                                           RawCase{"across_the_end", -10, 64, 10},
                                           RawCase{"at_the_end", 0, 64, 0},
                                           RawCase{"far_past_the_end", 1 << 20, 64, 0},
                                           RawCase{"empty", -100, 0, 0}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(RawReadExtreme, OffsetNearTheTopOfTheRangeGivesZeros) {
    ScratchDir dir;
    Image::fresh(dir / "x.img");
    std::string error;
    auto volume = FatVolume::open(dir / "x.img", error);
    ASSERT_NE(volume, nullptr);
    std::vector<uint8_t> out(64, 0xAA);
    volume->readRaw(UINT64_MAX - 10, out);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0));
}

} // namespace

// ---- Random damage ------------------------------------------------------------------------------

// Bytes of the boot sector, the FAT and the root directory overwritten at random (fixed seeds):
// whatever open() accepts must survive every operation without reading or writing outside the
// image or a buffer (the sanitizer build watches), and the image must keep its size.
class RandomDamage : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RandomDamage, EveryOperationStaysInsideTheImage) {
    ScratchDir dir;
    const auto path = dir / "x.img";
    Image img = Image::fresh(path);
    {
        std::string error;
        auto volume = FatVolume::open(path, error);
        ASSERT_NE(volume, nullptr) << error;
        for (int i = 0; i < 6; ++i) {
            ASSERT_EQ(put(*volume, "F" + std::to_string(i) + ".MP3",
                          "file number " + std::to_string(i) + ".mp3",
                          pattern(700 * static_cast<size_t>(i), static_cast<uint32_t>(i))),
                      Result::Ok);
        }
    }
    img.bytes = readFileBytes(path);
    const size_t size = img.bytes.size();
    uint32_t x = GetParam() * 2654435761u + 12345u;
    auto next = [&x] {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    };
    for (int hit = 0; hit < 24; ++hit) {
        // Mostly the directory and the FAT; now and then the boot sector's parameters.
        const uint32_t area = next() % 8;
        size_t at = 0;
        if (area == 0)
            at = 11 + next() % 51;
        else if (area < 4)
            at = img.fat + next() % (img.root - img.fat);
        else
            at = img.root + next() % 512;
        img.bytes[at] = static_cast<uint8_t>(next());
    }
    writeFile(path, img.bytes);

    std::string error;
    auto volume = FatVolume::open(path, error);
    if (!volume) {
        EXPECT_FALSE(error.empty());
        return;
    }
    (void)volume->totalBytes();
    (void)volume->freeBytes();
    std::vector<vplayer::ShortName> seen;
    for (const DirRecord &r : volume->rootRecords()) {
        if (r[11] == 0x0F)
            continue;
        vplayer::ShortName n;
        std::copy_n(r.begin(), 11, n.begin());
        seen.push_back(n);
        const auto data = volume->readFile(n);
        if (data) {
            EXPECT_EQ(data->size(), volume->fileSize(n));
        }
    }
    for (size_t i = 0; i < seen.size(); ++i) {
        switch (i % 3) {
        case 0:
            (void)volume->moveTo(seen[i], 0);
            break;
        case 1:
            (void)volume->rename(seen[i], shortName("R" + std::to_string(i) + ".MP3"),
                                 u"renamed after damage.mp3");
            break;
        default:
            (void)volume->remove(seen[i]);
            break;
        }
    }
    (void)put(*volume, "NEW.MP3", "written after damage.mp3", pattern(5000, 9), 512);
    std::vector<uint8_t> raw(4096);
    volume->readRaw(size - 100, raw);
    EXPECT_EQ(std::filesystem::file_size(path), size);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomDamage, ::testing::Range(1u, 41u),
                         [](const auto &row) { return "Seed" + std::to_string(row.param); });
