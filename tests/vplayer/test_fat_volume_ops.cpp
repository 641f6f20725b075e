// What the player does to a volume (writes, removes, renames, reorders), checked by fsck.fat
// and mtools after each script, and the boundaries of the root directory and the data area.
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

// The root region straight from the image bytes: records up to the end marker, and whether a
// deleted record stands among them.
struct RootRegion {
    size_t used = 0;
    bool deletedInFront = false;
};

RootRegion rootRegion(const FatVolume &v) {
    std::array<uint8_t, 512> boot{};
    v.readRaw(0, boot);
    auto le16 = [&](size_t at) { return uint32_t{boot[at]} | (uint32_t{boot[at + 1]} << 8); };
    const uint64_t offset = uint64_t{le16(11)} * (le16(14) + boot[16] * le16(22));
    std::vector<uint8_t> region(size_t{le16(17)} * 32);
    v.readRaw(offset, region);
    RootRegion r;
    for (size_t at = 0; at < region.size() && region[at] != 0; at += 32) {
        ++r.used;
        r.deletedInFront = r.deletedInFront || region[at] == 0xE5;
    }
    return r;
}

// Everything a host can check after a change: fsck is clean, mdir lists `expected` in order
// and the same records the player hands out, and each file reads back byte for byte.
void expectConsistent(const std::filesystem::path &image, const FatVolume &volume,
                      const std::vector<std::string> &expected,
                      const std::map<std::string, std::vector<uint8_t>> &contents,
                      const std::filesystem::path &scratch) {
    std::string report;
    EXPECT_TRUE(fsckClean(image, report)) << report;
    const MdirListing listing = mdir(image);
    ASSERT_TRUE(listing.ok) << listing.raw;
    EXPECT_EQ(names(listing.files), expected) << listing.raw;
    EXPECT_EQ(decodeRecords(volume.rootRecords()), listing.files);
    EXPECT_EQ(listing.freeBytes, volume.freeBytes());
    const RootRegion region = rootRegion(volume);
    EXPECT_FALSE(region.deletedInFront);
    for (const std::string &name : expected) {
        const auto it = contents.find(name);
        if (it != contents.end()) {
            EXPECT_EQ(mcopyOut(image, name, scratch), it->second) << name;
        }
    }
}

// ---- Scripts of operations ------------------------------------------------------------------

enum class Op { Put, Remove, Rename, Move };

struct Step {
    Op op;
    std::string shortHost; // the file the step works on
    std::string arg;       // Put: long name; Rename: new short name
    std::string longName;  // Rename: new long name
    size_t n = 0;          // Put: bytes; Move: index
    Result expect = Result::Ok;
};

struct Script {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::string> expected; // mdir's names afterwards
};

void PrintTo(const Script &s, std::ostream *os) {
    *os << s.name;
}

std::string longOf(size_t chars) {
    std::string s;
    for (size_t i = 0; s.size() < chars - 4; ++i)
        s += static_cast<char>('a' + i % 26);
    return s + ".mp3";
}

Step putStep(std::string shortHost, std::string longName, size_t bytes,
             Result expect = Result::Ok) {
    return {Op::Put, std::move(shortHost), std::move(longName), "", bytes, expect};
}
Step rm(std::string shortHost, Result expect = Result::Ok) {
    return {Op::Remove, std::move(shortHost), "", "", 0, expect};
}
Step ren(std::string shortHost, std::string newShort, std::string newLong,
         Result expect = Result::Ok) {
    return {Op::Rename, std::move(shortHost), std::move(newShort), std::move(newLong), 0, expect};
}
Step mv(std::string shortHost, size_t index, Result expect = Result::Ok) {
    return {Op::Move, std::move(shortHost), "", "", index, expect};
}

std::vector<Script> scripts() {
    const Step a = putStep("SONGA~1.MP3", "song a.mp3", 5000);
    const Step b = putStep("SONGB~1.MP3", "song b.mp3", 0);
    const Step c = putStep("SONGC~1.MP3", "song c.mp3", 70000);
    return {
        {"remove_middle_keeps_order", {a, b, c, rm("SONGB~1.MP3")}, {"song a.mp3", "song c.mp3"}},
        {"remove_first_and_last", {a, b, c, rm("SONGA~1.MP3"), rm("SONGC~1.MP3")}, {"song b.mp3"}},
        {"remove_missing", {a, rm("NOPE.MP3", Result::NotFound)}, {"song a.mp3"}},
        {"rename_long_and_short",
         {a, b, ren("SONGA~1.MP3", "Nouve~1.MP3", "Nouveau café.mp3")},
         {"Nouveau café.mp3", "song b.mp3"}},
        {"rename_to_short_only", {a, ren("SONGA~1.MP3", "PLAIN.MP3", "")}, {"PLAIN    MP3"}},
        {"rename_same_short_new_long",
         {a, ren("SONGA~1.MP3", "SONGA~1.MP3", "완전히 새 이름.mp3")},
         {"완전히 새 이름.mp3"}},
        {"rename_onto_taken_short",
         {a, b, ren("SONGA~1.MP3", "SONGB~1.MP3", "x.mp3", Result::Exists)},
         {"song a.mp3", "song b.mp3"}},
        {"rename_onto_short_differing_in_case",
         {a, b, ren("SONGA~1.MP3", "SongB~1.MP3", "x.mp3")},
         {"x.mp3", "song b.mp3"}},
        {"remove_other_case_is_not_found",
         {a, rm("songa~1.mp3", Result::NotFound), mv("Songa~1.MP3", 0, Result::NotFound)},
         {"song a.mp3"}},
        {"rename_missing",
         {a, ren("GONE.MP3", "NEW.MP3", "new.mp3", Result::NotFound)},
         {"song a.mp3"}},
        {"rename_to_bad_long_name",
         {a, ren("SONGA~1.MP3", "BAD.MP3", "a/b.mp3", Result::NoRoomInDirectory)},
         {"song a.mp3"}},
        {"long_name_of_13_and_26_chars",
         {putStep("THIRTE~1.MP3", longOf(13), 10), putStep("TWENTY~1.MP3", longOf(26), 10)},
         {longOf(13), longOf(26)}},
        {"long_name_of_255_chars",
         {putStep("LONGES~1.MP3", longOf(255), 10),
          putStep("TOOLON~1.MP3", longOf(256), 10, Result::NoRoomInDirectory)},
         {longOf(255)}},
        {"move_first_to_last",
         {a, b, c, mv("SONGA~1.MP3", 2)},
         {"song b.mp3", "song c.mp3", "song a.mp3"}},
        {"move_last_to_first",
         {a, b, c, mv("SONGC~1.MP3", 0)},
         {"song c.mp3", "song a.mp3", "song b.mp3"}},
        {"move_past_end_is_last",
         {a, b, c, mv("SONGA~1.MP3", 200)},
         {"song b.mp3", "song c.mp3", "song a.mp3"}},
        {"move_to_own_place",
         {a, b, c, mv("SONGB~1.MP3", 1)},
         {"song a.mp3", "song b.mp3", "song c.mp3"}},
        {"move_missing", {a, mv("GONE.MP3", 0, Result::NotFound)}, {"song a.mp3"}},
        {"put_existing_short",
         {a, putStep("SONGA~1.MP3", "other.mp3", 10, Result::Exists)},
         {"song a.mp3"}},
        {"put_short_differing_in_case",
         {a, putStep("SongA~1.MP3", "other.mp3", 10)},
         {"song a.mp3", "other.mp3"}},
        {"space_reused_after_remove",
         {c, rm("SONGC~1.MP3"), putStep("AGAIN.MP3", "again.mp3", 70000), a},
         {"again.mp3", "song a.mp3"}},
        {"mixed_sequence",
         {a, b, c, mv("SONGC~1.MP3", 0), rm("SONGA~1.MP3"),
          ren("SONGB~1.MP3", "Zzz~1.MP3", "zzz — last.mp3"), putStep("NEW.MP3", "", 1234),
          mv("NEW.MP3", 1)},
         {"song c.mp3", "NEW      MP3", "zzz — last.mp3"}},
    };
}

class Scripted : public ::testing::TestWithParam<std::tuple<Script, uint64_t>> {
protected:
    ScratchDir dir;
    std::filesystem::path image = dir / "flash.img";
};

TEST_P(Scripted, FsckAndMtoolsAgree) {
    const auto &[script, bytes] = GetParam();
    std::string error;
    ASSERT_TRUE(FatVolume::format(image, bytes, error)) << error;
    auto volume = FatVolume::open(image, error);
    ASSERT_NE(volume, nullptr) << error;
    std::map<std::string, std::string> nameOf; // short name -> name mdir shows
    std::map<std::string, std::vector<uint8_t>> contents;
    uint32_t seed = 0;
    for (const Step &s : script.steps) {
        SCOPED_TRACE(s.shortHost);
        Result r = Result::IoError;
        switch (s.op) {
        case Op::Put: {
            const auto data = pattern(s.n, ++seed);
            r = put(*volume, s.shortHost, s.arg, data, 1000);
            if (r == Result::Ok) {
                const std::string shown = s.arg.empty() ? "" : s.arg;
                nameOf[s.shortHost] = shown;
                if (!shown.empty())
                    contents[shown] = data;
            }
            break;
        }
        case Op::Remove:
            r = volume->remove(shortName(s.shortHost));
            break;
        case Op::Rename: {
            r = volume->rename(shortName(s.shortHost), shortName(s.arg), toUtf16(s.longName));
            if (r == Result::Ok && !s.longName.empty() && contents.count(nameOf[s.shortHost])) {
                contents[s.longName] = contents[nameOf[s.shortHost]];
                contents.erase(nameOf[s.shortHost]);
            }
            break;
        }
        case Op::Move:
            r = volume->moveTo(shortName(s.shortHost), s.n);
            break;
        }
        EXPECT_EQ(r, s.expect);
    }
    expectConsistent(image, *volume, script.expected, contents, dir.path());
    // The image holds all of it: a fresh open sees the same records.
    auto again = FatVolume::open(image, error);
    ASSERT_NE(again, nullptr) << error;
    EXPECT_EQ(again->rootRecords(), volume->rootRecords());
    EXPECT_EQ(again->freeBytes(), volume->freeBytes());
}

// Every script runs on FAT12; the ones that free clusters (and so rewrite FAT entries of
// earlier files) also run on FAT16.
std::vector<Script> allocatingScripts() {
    std::vector<Script> out;
    for (const Script &s : scripts()) {
        if (std::any_of(s.steps.begin(), s.steps.end(),
                        [](const Step &st) { return st.op == Op::Remove; }))
            out.push_back(s);
    }
    return out;
}

std::string scriptName(const ::testing::TestParamInfo<std::tuple<Script, uint64_t>> &p) {
    return std::string(std::get<0>(p.param).name);
}

INSTANTIATE_TEST_SUITE_P(Fat12, Scripted,
                         ::testing::Combine(::testing::ValuesIn(scripts()),
                                            ::testing::Values(uint64_t{kMiB})),
                         scriptName);
INSTANTIATE_TEST_SUITE_P(Fat16, Scripted,
                         ::testing::Combine(::testing::ValuesIn(allocatingScripts()),
                                            ::testing::Values(uint64_t{16 * kMiB})),
                         scriptName);

// ---- Boundaries -------------------------------------------------------------------------------

class Fresh : public ::testing::Test {
protected:
    ScratchDir dir;
    std::filesystem::path image = dir / "flash.img";
    std::unique_ptr<FatVolume> volume;

    void formatAndOpen(uint64_t bytes) {
        std::string error;
        ASSERT_TRUE(FatVolume::format(image, bytes, error)) << error;
        volume = FatVolume::open(image, error);
        ASSERT_NE(volume, nullptr) << error;
    }
};

TEST_F(Fresh, FullRootDirectoryRefusesRecordsItCannotHold) {
    formatAndOpen(kMiB); // 512 root records
    std::vector<std::string> expected;
    // Names of 5 to 12 characters need one long-name record: two records per file.
    for (int i = 0; i < 256; ++i) {
        const std::string shortHost = "F" + std::to_string(i) + ".MP3";
        const std::string longName = "file " + std::to_string(i) + ".mp3";
        ASSERT_EQ(put(*volume, shortHost, longName, {}), Result::Ok) << i;
        expected.push_back(longName);
    }
    EXPECT_EQ(rootRegion(*volume).used, 512u);
    EXPECT_EQ(volume->canCreate(shortName("LAST.MP3"), u"", 0), Result::NoRoomInDirectory);
    EXPECT_EQ(put(*volume, "LAST.MP3", "", {}), Result::NoRoomInDirectory);
    // A longer long name needs one record more than the directory has.
    EXPECT_EQ(volume->rename(shortName("F0.MP3"), shortName("F0.MP3"),
                             u"a name of more than thirteen.mp3"),
              Result::NoRoomInDirectory);
    // One of the same length fits in the records it replaces.
    ASSERT_EQ(volume->rename(shortName("F0.MP3"), shortName("F0.MP3"), u"new  0.mp3"), Result::Ok);
    expected[0] = "new  0.mp3";
    // Dropping a long name frees a record that a short-only file can take.
    ASSERT_EQ(volume->rename(shortName("F1.MP3"), shortName("F1.MP3"), u""), Result::Ok);
    expected[1] = "F1       MP3";
    ASSERT_EQ(put(*volume, "LAST.MP3", "", {}), Result::Ok);
    expected.push_back("LAST     MP3");
    expectConsistent(image, *volume, expected, {}, dir.path());
}

TEST_F(Fresh, FullDataAreaUsesTheLastClusterAndRefusesMore) {
    formatAndOpen(64 * kKiB);
    const uint32_t free = volume->freeBytes();
    ASSERT_GT(free, 0u);
    EXPECT_EQ(volume->canCreate(shortName("BIG.BIN"), u"", free + 1), Result::NoSpace);
    const auto data = pattern(free, 5);
    ASSERT_EQ(put(*volume, "BIG.BIN", "all of it.bin", data), Result::Ok);
    EXPECT_EQ(volume->freeBytes(), 0u);
    EXPECT_EQ(put(*volume, "ONE.BIN", "", {1}), Result::NoSpace);
    // An empty file needs no cluster.
    ASSERT_EQ(put(*volume, "EMPTY.BIN", "", {}), Result::Ok);
    expectConsistent(image, *volume, {"all of it.bin", "EMPTY    BIN"}, {{"all of it.bin", data}},
                     dir.path());
    EXPECT_EQ(volume->readFile(shortName("BIG.BIN")), data);
}

TEST_F(Fresh, EmptyFileHasClusterZeroAndOneClusterFileOneCluster) {
    formatAndOpen(kMiB);
    const uint32_t cluster = clusterBytesOf(*volume);
    const uint32_t free = volume->freeBytes();
    ASSERT_EQ(put(*volume, "EMPTY.BIN", "empty.bin", {}), Result::Ok);
    EXPECT_EQ(volume->freeBytes(), free);
    const auto records = volume->rootRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1][26] | records[1][27], 0);
    EXPECT_EQ(volume->readFile(shortName("EMPTY.BIN")), std::vector<uint8_t>{});

    const auto one = pattern(cluster, 1);
    ASSERT_EQ(put(*volume, "ONE.BIN", "exactly one.bin", one, cluster), Result::Ok);
    EXPECT_EQ(volume->freeBytes(), free - cluster);
    const auto more = pattern(cluster + 1, 2);
    ASSERT_EQ(put(*volume, "TWO.BIN", "one and a byte.bin", more, 3), Result::Ok);
    EXPECT_EQ(volume->freeBytes(), free - 3 * cluster);
    expectConsistent(image, *volume, {"empty.bin", "exactly one.bin", "one and a byte.bin"},
                     {{"empty.bin", {}}, {"exactly one.bin", one}, {"one and a byte.bin", more}},
                     dir.path());
}

// FAT12 packs two entries in three bytes; a file whose chain alternates between odd and even
// clusters, around holes left by removed files, shows a wrong nibble at once.
TEST_F(Fresh, Fat12ChainAcrossOddAndEvenEntries) {
    formatAndOpen(kMiB);
    const uint32_t cluster = clusterBytesOf(*volume);
    std::map<std::string, std::vector<uint8_t>> contents;
    std::vector<std::string> expected;
    for (int i = 0; i < 8; ++i) {
        const std::string longName = "one " + std::to_string(i) + ".bin";
        contents[longName] = pattern(cluster, static_cast<uint32_t>(i));
        ASSERT_EQ(put(*volume, "ONE" + std::to_string(i) + ".BIN", longName, contents[longName]),
                  Result::Ok);
        expected.push_back(longName);
    }
    // Holes at clusters 3, 4, 6 and 9 (odd, even, even, odd).
    for (int i : {1, 2, 4, 7}) {
        ASSERT_EQ(volume->remove(shortName("ONE" + std::to_string(i) + ".BIN")), Result::Ok);
        const std::string longName = "one " + std::to_string(i) + ".bin";
        contents.erase(longName);
        expected.erase(std::find(expected.begin(), expected.end(), longName));
    }
    const auto spread = pattern(5 * cluster - 7, 77);
    ASSERT_EQ(put(*volume, "SPREAD.BIN", "spread out.bin", spread, 1000), Result::Ok);
    contents["spread out.bin"] = spread;
    expected.push_back("spread out.bin");
    expectConsistent(image, *volume, expected, contents, dir.path());
    EXPECT_EQ(volume->readFile(shortName("SPREAD.BIN")), spread);
    // Read as an upload sends it: pieces that start and end inside clusters, across the holes.
    const auto reader = volume->openFile(shortName("SPREAD.BIN"));
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(reader->size(), spread.size());
    std::vector<uint8_t> pieces;
    for (size_t at = 0, piece = cluster / 3 + 1; at < spread.size(); at += piece) {
        std::vector<uint8_t> part(std::min(piece, spread.size() - at));
        ASSERT_TRUE(reader->read(at, part)) << "at " << at;
        pieces.insert(pieces.end(), part.begin(), part.end());
    }
    EXPECT_EQ(pieces, spread);
    std::vector<uint8_t> pastTheEnd(2);
    EXPECT_FALSE(reader->read(spread.size() - 1, pastTheEnd));
}

// ---- Files being written ------------------------------------------------------------------------

TEST_F(Fresh, DroppedStreamLeavesNoFileAndNoLostClusters) {
    formatAndOpen(kMiB);
    const uint32_t free = volume->freeBytes();
    {
        Result r = Result::IoError;
        auto w = volume->create(shortName("HALF.MP3"), u"half.mp3", 0x20, 0x5B88, 0, 100000, r);
        ASSERT_EQ(r, Result::Ok);
        ASSERT_EQ(w->write(pattern(50000, 1)), Result::Ok);
        EXPECT_LT(volume->freeBytes(), free); // the clusters are promised to the stream
    }
    EXPECT_EQ(volume->freeBytes(), free);
    EXPECT_TRUE(volume->rootRecords().empty());
    expectConsistent(image, *volume, {}, {}, dir.path());
}

TEST_F(Fresh, FinishBeforeAllBytesFailsAndFreesTheClusters) {
    formatAndOpen(kMiB);
    const uint32_t free = volume->freeBytes();
    Result r = Result::IoError;
    auto w = volume->create(shortName("SHORT.MP3"), u"short.mp3", 0x20, 0x5B88, 0, 10000, r);
    ASSERT_EQ(r, Result::Ok);
    ASSERT_EQ(w->write(pattern(9999, 1)), Result::Ok);
    EXPECT_EQ(w->finish(), Result::IoError);
    EXPECT_EQ(w->write(pattern(1, 1)), Result::IoError);
    EXPECT_EQ(w->finish(), Result::IoError);
    EXPECT_EQ(volume->freeBytes(), free);
    EXPECT_TRUE(volume->rootRecords().empty());
    expectConsistent(image, *volume, {}, {}, dir.path());
}

TEST_F(Fresh, BytesPastTheAnnouncedSizeAreDropped) {
    formatAndOpen(kMiB);
    const auto padded = pattern(1536, 3); // the host pads the last block
    Result r = Result::IoError;
    auto w = volume->create(shortName("PAD.MP3"), u"padded.mp3", 0x20, 0x5B88, 0, 1000, r);
    ASSERT_EQ(r, Result::Ok);
    ASSERT_EQ(w->write({padded.data(), 512}), Result::Ok);
    ASSERT_EQ(w->write({padded.data() + 512, 1024}), Result::Ok);
    ASSERT_EQ(w->finish(), Result::Ok);
    const std::vector<uint8_t> expected(padded.begin(), padded.begin() + 1000);
    expectConsistent(image, *volume, {"padded.mp3"}, {{"padded.mp3", expected}}, dir.path());
}

TEST_F(Fresh, TwoStreamsForOneNameOnlyTheFirstLands) {
    formatAndOpen(kMiB);
    const uint32_t free = volume->freeBytes();
    Result r1 = Result::IoError, r2 = Result::IoError;
    auto w1 = volume->create(shortName("SAME.MP3"), u"same one.mp3", 0x20, 0x5B88, 0, 3000, r1);
    auto w2 = volume->create(shortName("SAME.MP3"), u"same two.mp3", 0x20, 0x5B88, 0, 3000, r2);
    ASSERT_EQ(r1, Result::Ok);
    ASSERT_EQ(r2, Result::Ok);
    const auto d1 = pattern(3000, 1);
    ASSERT_EQ(w1->write(d1), Result::Ok);
    ASSERT_EQ(w2->write(pattern(3000, 2)), Result::Ok);
    ASSERT_EQ(w1->finish(), Result::Ok);
    EXPECT_EQ(w2->finish(), Result::Exists);
    const uint32_t cluster = clusterBytesOf(*volume);
    EXPECT_EQ(volume->freeBytes(), free - (3000 + cluster - 1) / cluster * cluster);
    expectConsistent(image, *volume, {"same one.mp3"}, {{"same one.mp3", d1}}, dir.path());
}

TEST_F(Fresh, PromisedClustersCountAsUsed) {
    formatAndOpen(64 * kKiB);
    const uint32_t free = volume->freeBytes();
    Result r = Result::IoError;
    auto w = volume->create(shortName("A.BIN"), u"", 0x20, 0x5B88, 0, free, r);
    ASSERT_EQ(r, Result::Ok);
    EXPECT_EQ(volume->canCreate(shortName("B.BIN"), u"", 1), Result::NoSpace);
    w.reset();
    EXPECT_EQ(volume->canCreate(shortName("B.BIN"), u"", free), Result::Ok);
}

TEST(WriterLifetime, WriterOrReaderThatOutlivesItsVolumeDoesNothing) {
    ScratchDir dir;
    std::string error;
    ASSERT_TRUE(FatVolume::format(dir / "f.img", kMiB, error));
    auto volume = FatVolume::open(dir / "f.img", error);
    ASSERT_NE(volume, nullptr);
    Result r = Result::IoError;
    auto w = volume->create(shortName("A.BIN"), u"a.bin", 0x20, 0x5B88, 0, 100, r);
    ASSERT_EQ(r, Result::Ok);
    ASSERT_EQ(w->write(pattern(100, 1)), Result::Ok);
    ASSERT_EQ(w->finish(), Result::Ok);
    auto other = volume->create(shortName("B.BIN"), u"b.bin", 0x20, 0x5B88, 0, 100, r);
    ASSERT_EQ(r, Result::Ok);
    const auto reader = volume->openFile(shortName("A.BIN"));
    ASSERT_NE(reader, nullptr);
    volume.reset();
    EXPECT_EQ(other->write(pattern(100, 1)), Result::IoError);
    EXPECT_EQ(other->finish(), Result::IoError);
    std::vector<uint8_t> out(10);
    EXPECT_FALSE(reader->read(0, out)); // nor does a reader read
}

struct StampCase {
    const char *name;
    uint8_t attr;
    uint16_t date, time;
    uint8_t storedAttr;
    uint16_t storedDate, storedTime;
};

void PrintTo(const StampCase &c, std::ostream *os) {
    *os << c.name;
}

class Stamps : public ::testing::TestWithParam<StampCase> {};

TEST_P(Stamps, RecordCarriesTheAnnouncedStampAndAPlainFileAttribute) {
    const StampCase &c = GetParam();
    ScratchDir dir;
    std::string error;
    ASSERT_TRUE(FatVolume::format(dir / "f.img", kMiB, error));
    auto volume = FatVolume::open(dir / "f.img", error);
    ASSERT_NE(volume, nullptr);
    Result r = Result::IoError;
    auto w = volume->create(shortName("A.MP3"), u"", c.attr, c.date, c.time, 3, r);
    ASSERT_EQ(r, Result::Ok);
    ASSERT_EQ(w->write(std::vector<uint8_t>{1, 2, 3}), Result::Ok);
    ASSERT_EQ(w->finish(), Result::Ok);
    const auto records = volume->rootRecords();
    ASSERT_EQ(records.size(), 1u);
    const auto &rec = records[0];
    EXPECT_EQ(rec[11], c.storedAttr);
    EXPECT_EQ(le16(rec, 22), c.storedTime);
    EXPECT_EQ(le16(rec, 24), c.storedDate);
    EXPECT_EQ(le16(rec, 14), c.storedTime); // created
    EXPECT_EQ(le16(rec, 16), c.storedDate);
    EXPECT_EQ(le16(rec, 18), c.storedDate); // last access
    std::string report;
    EXPECT_TRUE(fsckClean(dir / "f.img", report)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Records, Stamps,
    ::testing::Values(
        StampCase{"archive", 0x20, 0x5B88, 0x6000, 0x20, 0x5B88, 0x6000},
        StampCase{"read_only_archive", 0x21, 0x3021, 0x0000, 0x21, 0x3021, 0x0000},
        StampCase{"directory_bit_dropped", 0x30, 0x5B88, 0x6000, 0x20, 0x5B88, 0x6000},
        StampCase{"label_bit_dropped", 0x28, 0x5B88, 0x6000, 0x20, 0x5B88, 0x6000},
        StampCase{"long_name_attr_dropped", 0x0F, 0x5B88, 0x6000, 0x07, 0x5B88, 0x6000},
        StampCase{"end_of_list_stamp_replaced", 0x20, 0xFFFF, 0xFFFF, 0x20, 0x0021, 0x0000},
        StampCase{"only_date_ffff_kept", 0x20, 0xFFFF, 0x1234, 0x20, 0xFFFF, 0x1234}),
    [](const auto &p) { return std::string(p.param.name); });

} // namespace
