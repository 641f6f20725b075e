// The memories through the engine's commands: the 'G' table, delete, rename, play position,
// format and the card's flags, cross-checked with mkfs.fat, mcopy, mdir and fsck.fat.
#include "fat_test_support.h"
#include "host_side.h"

#include <gtest/gtest.h>

using namespace hosttest;
using vplayer::Engine;
using vplayer::UrbStatus;

namespace {

// A state folder whose flash image is made by mkfs.fat (with `rootEntries` root records) and
// filled by mcopy.
struct Player {
    explicit Player(std::vector<std::pair<std::string, size_t>> files, int rootEntries = 0) {
        const auto image = dir.path() / "flash.img";
        std::vector<std::string> argv{fattest::mkfsPath(), "-C", image.string(), "2048"};
        if (rootEntries > 0)
            argv.insert(argv.begin() + 1, {"-r", std::to_string(rootEntries)});
        EXPECT_EQ(fattest::runTool(argv).status, 0);
        uint32_t seed = 1;
        for (const auto &[name, bytes] : files) {
            const auto src = dir.path() / "src.bin";
            fattest::writeFile(src, fattest::pattern(bytes, seed++));
            EXPECT_TRUE(fattest::mcopyIn(image, src, name)) << name;
        }
        std::filesystem::remove(dir.path() / "src.bin");
        engine = std::make_unique<Engine>(dir.path());
        EXPECT_TRUE(engine->ok()) << engine->loadError();
        host = std::make_unique<Host>(*engine);
    }

    std::filesystem::path flash() const { return dir.path() / "flash.img"; }

    // 'G' and its data, as the host reads them.
    struct Table {
        uint16_t length = 0;
        Bytes data;
    };
    Table table(uint8_t mem = 'M') {
        Table t;
        const Bytes first = host->exchange({mem, 'G'});
        EXPECT_EQ(first[4], mem);
        t.length = readBe16(first, 6);
        t.data = host->result((t.length + 63) / 64 * 64);
        return t;
    }

    std::vector<fattest::Listed> listed(uint8_t mem = 'M') {
        const Table t = table(mem);
        std::vector<vplayer::DirRecord> records;
        for (size_t at = 8; at + 32 <= t.length; at += 32) {
            vplayer::DirRecord r;
            std::copy_n(t.data.begin() + static_cast<ptrdiff_t>(at), 32, r.begin());
            records.push_back(r);
        }
        return fattest::decodeRecords(records);
    }

    void expectClean() {
        std::string report;
        EXPECT_TRUE(fattest::fsckClean(flash(), report)) << report;
    }

    hosttest::StateDir dir;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Host> host;
};

// The rename body after the memory byte: 'N' o O s S w W.
Bytes renameBody(const std::string &oldShort, const std::string &newShort,
                 const std::u16string &longName) {
    const Bytes w = utf16le(longName);
    return concat({{'N'},
                   be16(static_cast<uint32_t>(oldShort.size())),
                   bytesOf(oldShort),
                   be16(static_cast<uint32_t>(newShort.size())),
                   bytesOf(newShort),
                   be16(static_cast<uint32_t>(w.size())),
                   w});
}

std::string echoed(const Bytes &reply, size_t n) {
    return {reply.begin() + 6, reply.begin() + 6 + static_cast<ptrdiff_t>(n)};
}

TEST(EngineMemory, TableOfAnMcopyImageMatchesMdir) {
    Player p({{"Track one.mp3", 5000},
              {"ABC.TXT", 0},
              {"Chanson été.mp3", 70000},
              {"a very long file name that needs three records.mp3", 100}});
    const auto t = p.table();
    // "Track one.mp3": 1 long-name record + short; "ABC.TXT": short only; "Chanson été.mp3": 2 +
    // short; the 51-character name: 4 + short.
    const auto records = 2 + 1 + 3 + 5;
    EXPECT_EQ(t.length, 8 + 32 * records);
    ASSERT_EQ(t.data.size(), (t.length + 63u) / 64 * 64);
    EXPECT_EQ(t.data[t.length], '.');
    const auto mdir = fattest::mdir(p.flash());
    ASSERT_TRUE(mdir.ok) << mdir.raw;
    EXPECT_EQ(p.listed(), mdir.files);
    EXPECT_EQ(readBe32(t.data, 4), mdir.freeBytes);
    EXPECT_GT(readBe32(t.data, 0), readBe32(t.data, 4));
}

TEST(EngineMemory, EmptyMemoryAndAbsentCardGiveEightBytes) {
    Player p({});
    EXPECT_EQ(p.table('M').length, 8);
    EXPECT_EQ(p.table('S').length, 8);
    EXPECT_GT(readBe32(p.table('S').data, 0), 0u);
    p.engine->setCardPresent(false);
    const auto absent = p.table('S');
    EXPECT_EQ(absent.length, 8);
    EXPECT_EQ(readBe32(absent.data, 0), 0u);
    EXPECT_EQ(readBe32(absent.data, 4), 0u);
    EXPECT_EQ(absent.data[8], '.');
}

TEST(EngineMemory, FullMemoryReportsNoFreeBytes) {
    Player p({{"A.MP3", 10}});
    p.engine->setFull('M', true);
    EXPECT_EQ(readBe32(p.table().data, 4), 0u);
}

struct FileOpCase {
    const char *name;
    Bytes body;                     // after the memory byte
    std::string echo;               // expected echo at offset 6
    std::vector<std::string> after; // names listed afterwards (long, or short when none)
};

class FileOps : public ::testing::TestWithParam<FileOpCase> {};

TEST_P(FileOps, EchoAndChangeTheImage) {
    Player p({{"First song.mp3", 3000}, {"SECOND.MP3", 1000}, {"Third one.wav", 2000}});
    const auto &c = GetParam();
    const Bytes reply =
        p.host->exchange(concat({{'M'}, c.body}), c.body.size() + 13 > 64 ? 128 : 64);
    EXPECT_EQ(echoed(reply, c.echo.size()), c.echo);
    EXPECT_EQ(reply[6 + c.echo.size()], '.');
    const Bytes result = p.host->result();
    EXPECT_EQ(result[5], '.');
    EXPECT_EQ(fattest::names(p.listed()), c.after);
    const auto mdir = fattest::mdir(p.flash());
    EXPECT_EQ(fattest::names(mdir.files), c.after);
    p.expectClean();
}

INSTANTIATE_TEST_SUITE_P(
    All, FileOps,
    ::testing::Values(FileOpCase{"delete",
                                 concat({bytesOf("E"), bytesOf("SECOND.MP3")}),
                                 "SECOND.MP3",
                                 {"First song.mp3", "Third one.wav"}},
                      FileOpCase{"deleteLowerCaseCompactName",
                                 concat({bytesOf("E"), bytesOf("FIRSTS~1.MP3")}),
                                 "FIRSTS~1.MP3",
                                 {"SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"deleteUnknown",
                                 concat({bytesOf("E"), bytesOf("NOPE.MP3")}),
                                 "????????",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"deleteInvalidName",
                                 concat({bytesOf("E"), bytesOf("A*B.MP3")}),
                                 "???????",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"positionFirst",
                                 concat({bytesOf("P"), bytesOf("THIRDO~1.WAV"), {0}}),
                                 "THIRDO~1.WAV",
                                 {"Third one.wav", "First song.mp3", "SECOND   MP3"}},
                      FileOpCase{"positionPastTheEnd",
                                 concat({bytesOf("P"), bytesOf("FIRSTS~1.MP3"), {9}}),
                                 "FIRSTS~1.MP3",
                                 {"SECOND   MP3", "Third one.wav", "First song.mp3"}},
                      FileOpCase{"positionUnknown",
                                 concat({bytesOf("P"), bytesOf("X.MP3"), {0}}),
                                 "?????",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"renameLong",
                                 renameBody("SECOND.MP3", "NEWNAM~1.MP3", u"New name.mp3"),
                                 "SECOND.MP3",
                                 {"First song.mp3", "New name.mp3", "Third one.wav"}},
                      FileOpCase{"renamePadded83",
                                 renameBody("SECOND.MP3", "AB      .MP3", u""),
                                 "SECOND.MP3",
                                 {"First song.mp3", "AB       MP3", "Third one.wav"}},
                      FileOpCase{"renameHangul",
                                 renameBody("SECOND.MP3", "__~1.MP3", u"노래.mp3"),
                                 "SECOND.MP3",
                                 {"First song.mp3", "노래.mp3", "Third one.wav"}},
                      FileOpCase{"renameUnknown",
                                 renameBody("GONE.MP3", "NEW.MP3", u"new.mp3"),
                                 "????????",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"renameOntoAnotherShortName",
                                 renameBody("SECOND.MP3", "FIRSTS~1.MP3", u"x.mp3"),
                                 "**********",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}},
                      FileOpCase{"renameInvalidShortName",
                                 renameBody("SECOND.MP3", "A/B.MP3", u"a.mp3"),
                                 "**********",
                                 {"First song.mp3", "SECOND   MP3", "Third one.wav"}}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineMemory, RenameWithoutRoomInTheRootDirectoryEchoesStars) {
    // 16 root records: three files with long names use them nearly all.
    Player p({{"aaaaaaaaaaaaaaaaaaaaaaaaa.mp3", 1},
              {"bbbbbbbbbbbbbbbbbbbbbbbbb.mp3", 1},
              {"ccccccccccccccccccccccccc.mp3", 1},
              {"D.MP3", 1}},
             16);
    const std::u16string huge(70, u'n');
    const Bytes reply =
        p.host->exchange(concat({{'M'}, renameBody("D.MP3", "NNNNNN~1.MP3", huge + u".mp3")}));
    EXPECT_EQ(echoed(reply, 5), "*****");
    p.host->result();
    EXPECT_EQ(fattest::names(p.listed()).back(), "D        MP3");
    p.expectClean();
}

TEST(EngineMemory, FormatLeavesAnEmptyCleanVolume) {
    Player p({{"One.mp3", 40000}, {"Two.mp3", 1}});
    const Bytes reply = p.host->exchange({'M', 'F'});
    EXPECT_EQ(reply[5], 'F');
    EXPECT_EQ(p.host->result()[4] & 0x80, 0);
    const auto t = p.table();
    EXPECT_EQ(t.length, 8);
    // The player lays out its own FAT: the capacity may differ a little from mkfs.fat's.
    EXPECT_GT(readBe32(t.data, 0), 2000u * 1024);
    EXPECT_EQ(readBe32(t.data, 4), readBe32(t.data, 0));
    p.expectClean();
    EXPECT_TRUE(fattest::mdir(p.flash()).files.empty());
}

struct CardCase {
    const char *name;
    bool present;
    bool protect;
    Bytes body;
    std::string echo;
    uint8_t resultFlags;
    bool fileStays;
};

class CardStates : public ::testing::TestWithParam<CardCase> {};

TEST_P(CardStates, RefuseChangesAndReportTheFlag) {
    hosttest::StateDir dir;
    {
        Engine engine(dir.path());
        ASSERT_TRUE(engine.ok());
    }
    const auto card = dir.path() / "card.img";
    const auto src = dir.path() / "src.bin";
    fattest::writeFile(src, fattest::pattern(100, 7));
    ASSERT_TRUE(fattest::mcopyIn(card, src, "KEEP.MP3"));
    Engine engine(dir.path());
    engine.setCardPresent(GetParam().present);
    engine.setWriteProtected(GetParam().protect);
    engine.clearFlags(0x20);
    Host host(engine);
    const Bytes reply = host.exchange(concat({{'S'}, GetParam().body}));
    EXPECT_EQ(echoed(reply, GetParam().echo.size()), GetParam().echo);
    EXPECT_EQ(host.result()[4], GetParam().resultFlags);
    const auto listing = fattest::mdir(card);
    EXPECT_EQ(listing.files.size() == 1, GetParam().fileStays) << listing.raw;
}

INSTANTIATE_TEST_SUITE_P(
    All, CardStates,
    ::testing::Values(CardCase{"deleteWritable", true, false,
                               concat({bytesOf("E"), bytesOf("KEEP.MP3")}), "KEEP.MP3", 0x00,
                               false},
                      CardCase{"deleteProtected", true, true,
                               concat({bytesOf("E"), bytesOf("KEEP.MP3")}), "KEEP.MP3", 0x10, true},
                      CardCase{"deleteAbsent", false, false,
                               concat({bytesOf("E"), bytesOf("KEEP.MP3")}), "????????", 0x02, true},
                      CardCase{"renameProtected", true, true,
                               renameBody("KEEP.MP3", "NEW.MP3", u"n.mp3"), "KEEP.MP3", 0x10, true},
                      CardCase{"formatProtected", true, true, bytesOf("F"), "", 0x10, true},
                      CardCase{"formatAbsent", false, true, bytesOf("F"), "", 0x02, true}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineMemory, ASequenceOfChangesKeepsTheImageClean) {
    Player p({{"Alpha.mp3", 9000}, {"Beta.mp3", 17000}, {"Gamma.mp3", 1}, {"Delta.mp3", 33000}});
    auto shortOf = [&](const std::string &longName) {
        for (const auto &l : p.listed())
            if (l.longName == longName) {
                // mdir's form "BASE     EXT" to the host's compact "BASE.EXT"
                const std::string &s = l.shortName;
                return s.substr(0, s.find(' ')) + "." + s.substr(s.find_last_of(' ') + 1);
            }
        return std::string("NONE.");
    };
    p.host->exchange(concat({bytesOf("ME"), bytesOf(shortOf("Beta.mp3"))}));
    p.host->result();
    p.host->exchange(
        concat({{'M'}, renameBody(shortOf("Gamma.mp3"), "GAMMAR~1.MP3", u"gamma renamed.mp3")}));
    p.host->result();
    p.host->exchange(concat({bytesOf("MP"), bytesOf(shortOf("Delta.mp3")), {0}}));
    p.host->result();
    const std::vector<std::string> expected{"Delta.mp3", "Alpha.mp3", "gamma renamed.mp3"};
    EXPECT_EQ(fattest::names(p.listed()), expected);
    const auto mdir = fattest::mdir(p.flash());
    EXPECT_EQ(fattest::names(mdir.files), expected);
    EXPECT_EQ(mdir.files, p.listed());
    p.expectClean();
}

} // namespace

namespace {

// L is one byte: a rename carrying a long name of 130 characters (260 bytes of UTF-16) counts
// past 255; the player reads the lengths from the fields and answers in as many blocks.
TEST(EngineMemory, RenameLongerThanTheLengthByte) {
    Player p({{"Short.mp3", 100}});
    const std::u16string longName = std::u16string(126, u'é') + u".mp3";
    const Bytes body = concat({{'M'}, renameBody("SHORT.MP3", "______~1.MP3", longName)});
    ASSERT_GT(body.size() + 2, 255u);
    const size_t blocks = (body.size() + 5 + 63) / 64;
    const Bytes reply = p.host->exchange(body, blocks * 64);
    EXPECT_EQ(reply.size(), blocks * 64);
    EXPECT_EQ(echoed(reply, 9), "SHORT.MP3");
    EXPECT_EQ(p.host->result()[5], '.');
    const auto mdir = fattest::mdir(p.flash());
    ASSERT_EQ(mdir.files.size(), 1u) << mdir.raw;
    EXPECT_EQ(mdir.files[0].longName, fattest::toUtf8(longName));
    p.expectClean();
}

} // namespace
