// The virtual player's FAT volumes against dosfstools and mtools: images they make list and read
// the same through the player, and whatever the player writes they find clean and read back.
#include "fat_test_support.h"
#include "fat_volume.h"

#include <gtest/gtest.h>

using namespace fattest;
using vplayer::FatVolume;
using Result = FatVolume::Result;

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

uint32_t clusterBytesOf(const FatVolume &v) {
    std::array<uint8_t, 512> boot{};
    v.readRaw(0, boot);
    return uint32_t{static_cast<uint16_t>(boot[11] | (boot[12] << 8))} * boot[13];
}

uint32_t clusterCountOf(const FatVolume &v) {
    std::array<uint8_t, 512> boot{};
    v.readRaw(0, boot);
    auto le16 = [&](size_t at) { return uint32_t{boot[at]} | (uint32_t{boot[at + 1]} << 8); };
    const uint32_t bps = le16(11);
    uint32_t total = le16(19);
    if (total == 0)
        total = le16(32) | (le16(34) << 16);
    const uint32_t rootSectors = (le16(17) * 32 + bps - 1) / bps;
    const uint32_t meta = le16(14) + boot[16] * le16(22) + rootSectors;
    return (total - meta) / boot[13];
}

// ---- Images made by mkfs.fat and mcopy -----------------------------------------------------

struct MkfsCase {
    const char *name;
    uint32_t kib;
    const char *label;
    bool fat12;
};

void PrintTo(const MkfsCase &c, std::ostream *os) {
    *os << c.name;
}

class MkfsImage : public ::testing::TestWithParam<MkfsCase> {
protected:
    ScratchDir dir;
    std::filesystem::path image = dir / "card.img";
};

struct HostFile {
    std::string name;
    size_t bytes; // SIZE_MAX: exactly one cluster
};

std::vector<HostFile> hostFiles() {
    return {
        {"README", 10},
        {"ABC.TXT", 700},
        {"abc.mp3", 3000},
        {"My Song [live].mp3", 5000},
        {"A rather long name that needs three records.mp3", 1500},
        {"노래 제목.mp3", 2048},
        {"Crème brûlée à la mode.mp3", 100},
        {"café.mp3", 1},
        {"empty.bin", 0},
        {"one cluster.bin", SIZE_MAX},
    };
}

TEST_P(MkfsImage, ListsAndReadsAsMtoolsDoes) {
    const MkfsCase &c = GetParam();
    ASSERT_TRUE(mkfs(image, c.kib, c.label ? c.label : ""));
    std::string error;
    uint32_t clusterBytes = 0;
    {
        auto probe = FatVolume::open(image, error);
        ASSERT_NE(probe, nullptr) << error;
        clusterBytes = clusterBytesOf(*probe);
        EXPECT_EQ(clusterCountOf(*probe) <= 4084, c.fat12);
    }
    std::map<std::string, std::vector<uint8_t>> contents;
    uint32_t seed = 1;
    for (const HostFile &f : hostFiles()) {
        const auto data = pattern(f.bytes == SIZE_MAX ? clusterBytes : f.bytes, seed++);
        writeFile(dir / "src.bin", data);
        ASSERT_TRUE(mcopyIn(image, dir / "src.bin", f.name)) << f.name;
        contents[f.name] = data;
    }
    // A deleted file leaves 0xE5 records in front of later ones.
    ASSERT_EQ(runTool({mdelPath(), "-i", image.string(), "::ABC.TXT"}).status, 0);
    contents.erase("ABC.TXT");

    auto volume = FatVolume::open(image, error);
    ASSERT_NE(volume, nullptr) << error;
    const MdirListing listing = mdir(image);
    ASSERT_TRUE(listing.ok) << listing.raw;
    ASSERT_EQ(listing.files.size(), contents.size()) << listing.raw;
    EXPECT_EQ(decodeRecords(volume->rootRecords()), listing.files) << listing.raw;
    EXPECT_EQ(volume->freeBytes(), listing.freeBytes);
    EXPECT_EQ(volume->totalBytes(), clusterCountOf(*volume) * clusterBytes);

    // Every file reads back byte for byte under the short name the host sees in the table.
    for (const Listed &l : decodeRecords(volume->rootRecords())) {
        const std::string key = l.longName.empty() ? l.shortName : l.longName;
        SCOPED_TRACE(key);
        std::vector<uint8_t> raw; // the 11 record bytes, found again in the records
        for (const auto &r : volume->rootRecords()) {
            if (r[11] == 0x0F)
                continue;
            if (decodeRecords({r})[0].shortName == l.shortName) {
                vplayer::ShortName sn;
                std::copy_n(r.begin(), 11, sn.begin());
                const auto data = volume->readFile(sn);
                ASSERT_TRUE(data.has_value());
                const auto it = std::find_if(contents.begin(), contents.end(), [&](auto &kv) {
                    return kv.first == key || (l.longName.empty() && kv.second == *data);
                });
                ASSERT_NE(it, contents.end());
                EXPECT_EQ(*data, it->second);
                EXPECT_EQ(volume->fileSize(sn), it->second.size());
            }
        }
    }
    // Opening reads only: the image is unchanged and still clean.
    std::string report;
    EXPECT_TRUE(fsckClean(image, report)) << report;
}

TEST_P(MkfsImage, ChangesStayCleanForFsckAndMtools) {
    const MkfsCase &c = GetParam();
    ASSERT_TRUE(mkfs(image, c.kib, c.label ? c.label : ""));
    for (const char *name : {"first song.mp3", "SECOND.MP3", "third one.mp3", "fourth.mp3"}) {
        writeFile(dir / "src.bin", pattern(3000, static_cast<uint32_t>(std::strlen(name))));
        ASSERT_TRUE(mcopyIn(image, dir / "src.bin", name));
    }
    std::string error;
    auto volume = FatVolume::open(image, error);
    ASSERT_NE(volume, nullptr) << error;
    const uint32_t freeBefore = volume->freeBytes();

    ASSERT_EQ(volume->remove(shortName("SECOND.MP3")), Result::Ok);
    ASSERT_EQ(volume->rename(shortName("FIRSTS~1.MP3"), shortName("Rename~1.MP3"),
                             toUtf16("Renamed — über.mp3")),
              Result::Ok);
    ASSERT_EQ(volume->moveTo(shortName("FOURTH.MP3"), 0), Result::Ok);
    const auto created = pattern(70000, 99);
    ASSERT_EQ(put(*volume, "NEWFIL~1.MP3", "new file 새 노래.mp3", created, 1000), Result::Ok);
    EXPECT_EQ(volume->freeBytes(),
              freeBefore +
                  clusterBytesOf(*volume) *
                      ((3000 + clusterBytesOf(*volume) - 1) / clusterBytesOf(*volume)) -
                  clusterBytesOf(*volume) *
                      ((70000 + clusterBytesOf(*volume) - 1) / clusterBytesOf(*volume)));

    std::string report;
    EXPECT_TRUE(fsckClean(image, report)) << report;
    const MdirListing listing = mdir(image);
    const std::vector<std::string> expected{"fourth   mp3", "Renamed — über.mp3", "third one.mp3",
                                            "new file 새 노래.mp3"};
    EXPECT_EQ(names(listing.files), expected) << listing.raw;
    EXPECT_EQ(decodeRecords(volume->rootRecords()), listing.files);
    EXPECT_EQ(listing.freeBytes, volume->freeBytes());
    EXPECT_EQ(mcopyOut(image, "new file 새 노래.mp3", dir.path()), created);
    EXPECT_EQ(mcopyOut(image, "Renamed — über.mp3", dir.path()),
              pattern(3000, static_cast<uint32_t>(std::strlen("first song.mp3"))));
    // A label made by mkfs.fat stays the volume's label.
    if (c.label) {
        EXPECT_NE(listing.raw.find(std::string("Volume in drive : is ") + c.label),
                  std::string::npos)
            << listing.raw;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MkfsImage,
                         ::testing::Values(MkfsCase{"fat12_1MiB", 1024, "PLAYER", true},
                                           MkfsCase{"fat16_16MiB", 16 * 1024, nullptr, false},
                                           MkfsCase{"fat16_64MiB", 64 * 1024, "MUSIC", false},
                                           MkfsCase{"fat16_256MiB", 256 * 1024, "CARD", false}),
                         [](const auto &p) { return std::string(p.param.name); });

// ---- Volumes the player formats itself -----------------------------------------------------

struct FormatCase {
    const char *name;
    uint64_t bytes;
    bool fat12;
};

void PrintTo(const FormatCase &c, std::ostream *os) {
    *os << c.name;
}

class Format : public ::testing::TestWithParam<FormatCase> {
protected:
    ScratchDir dir;
    std::filesystem::path image = dir / "flash.img";
};

TEST_P(Format, FreshVolumeIsCleanEmptyAndOfTheRightType) {
    const FormatCase &c = GetParam();
    // Formatting replaces whatever the file held before.
    writeFile(image, pattern(4096, 7));
    std::string error;
    ASSERT_TRUE(FatVolume::format(image, c.bytes, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(image), c.bytes / 512 * 512);
    auto volume = FatVolume::open(image, error);
    ASSERT_NE(volume, nullptr) << error;
    const uint32_t clusters = clusterCountOf(*volume);
    EXPECT_EQ(clusters <= 4084, c.fat12) << clusters;
    EXPECT_LE(clusters, 65524u);
    EXPECT_TRUE(volume->rootRecords().empty());
    EXPECT_EQ(volume->freeBytes(), volume->totalBytes());
    EXPECT_EQ(volume->totalBytes(), clusters * clusterBytesOf(*volume));

    std::string report;
    EXPECT_TRUE(fsckClean(image, report)) << report;
    const MdirListing listing = mdir(image);
    EXPECT_TRUE(listing.ok) << listing.raw;
    EXPECT_TRUE(listing.files.empty()) << listing.raw;
    EXPECT_EQ(listing.freeBytes, volume->freeBytes());
    // The boot sector names the type fsck and mtools will assume from the cluster count.
    std::array<uint8_t, 8> fsType{};
    volume->readRaw(54, fsType);
    EXPECT_EQ(std::string(fsType.begin(), fsType.end()), c.fat12 ? "FAT12   " : "FAT16   ");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Format,
    ::testing::Values(FormatCase{"min_32KiB", 32 * kKiB, true},
                      FormatCase{"odd_100000", 100000, true}, FormatCase{"one_MiB", kMiB, true},
                      FormatCase{"four_MiB", 4 * kMiB, true},
                      FormatCase{"fat12_top_8400_sectors", 8400 * 512, true},
                      FormatCase{"fat16_low_8401_sectors", 8401 * 512, false},
                      FormatCase{"sixteen_MiB", 16 * kMiB, false},
                      FormatCase{"sixty_four_MiB", 64 * kMiB, false},
                      FormatCase{"two_fifty_six_MiB", 256 * uint64_t{kMiB}, false},
                      FormatCase{"one_GiB", 1024 * uint64_t{kMiB}, false},
                      // Past the largest FAT16 volume: that volume, the rest unused.
                      FormatCase{"two_GiB", 2048 * uint64_t{kMiB}, false},
                      FormatCase{"four_GiB_less_one", 4096 * uint64_t{kMiB} - 1, false}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(FormatRefuses, SizesWithoutAFat12Or16Geometry) {
    ScratchDir dir;
    for (uint64_t bytes : {uint64_t{0}, uint64_t{512}, uint64_t{16 * kKiB}, uint64_t{4096} * kMiB,
                           uint64_t{5} * 1024 * kMiB}) {
        std::string error;
        EXPECT_FALSE(FatVolume::format(dir / "x.img", bytes, error)) << bytes;
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(std::filesystem::exists(dir / "x.img"));
    }
}

} // namespace
