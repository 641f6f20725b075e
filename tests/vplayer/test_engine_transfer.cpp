// Transfers through the engine: download announcements, verdicts and streams into the FAT image,
// uploads, system images, firmware, physical block access, and the faults on each path.
#include "fat_test_support.h"
#include "host_side.h"

#include <gtest/gtest.h>

using namespace hosttest;
using vplayer::Engine;
using vplayer::Fault;
using vplayer::LinkSpeed;
using vplayer::UrbStatus;

namespace {

constexpr uint16_t kDate = (25 << 9) | (7 << 5) | 18;   // 2005-07-18
constexpr uint16_t kTime = (13 << 11) | (45 << 5) | 10; // 13:45:20

Bytes announce(uint8_t mem, const std::string &shortName, const std::u16string &longName,
               uint32_t size, uint16_t date = kDate, uint16_t time = kTime) {
    const Bytes w = utf16le(longName);
    return concat({{mem, 0x90, 0x17, 0x02, 0x20},
                   be16(date),
                   be16(time),
                   be32(size),
                   {0x32},
                   be16(static_cast<uint32_t>(shortName.size())),
                   bytesOf(shortName),
                   be16(static_cast<uint32_t>(w.size())),
                   w});
}

size_t downloadBlock(uint8_t mode) {
    switch (mode) {
    case 4:
        return 8192;
    case 5:
        return 16384;
    default:
        return 512;
    }
}

// Streams `data` as the download worker does: WaitReady(11), whole blocks, the last zero-filled.
void stream(Host &host, const Bytes &data, size_t block) {
    host.poll(11);
    for (size_t at = 0; at < data.size(); at += block) {
        Bytes b(block, 0);
        std::copy_n(data.begin() + static_cast<ptrdiff_t>(at), std::min(block, data.size() - at),
                    b.begin());
        size_t actual = 0;
        ASSERT_EQ(host.write(b, &actual), UrbStatus::Ok);
        ASSERT_EQ(actual, block);
    }
    host.poll(10, 0, 0xFFFF);
}

// Stores BIG.MP3, 64 KiB of pattern `seed`, on the flash of a fresh player in `dir` (before its
// engine starts): the file's bytes, or none when mcopy failed.
Bytes storeBigFile(const StateDir &dir, int seed) {
    { Engine first(dir.path()); }
    const auto src = dir.path() / "src.bin";
    const Bytes data = fattest::pattern(64 * 1024, seed);
    fattest::writeFile(src, data);
    return fattest::mcopyIn(dir.path() / "flash.img", src, "BIG.MP3") ? data : Bytes{};
}

struct DownloadCase {
    const char *name;
    LinkSpeed speed;
    int forcedMode; // -1: by speed
    uint8_t mode;
    size_t bytes;
};

class Downloads : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(Downloads, LandInTheImageUnderBothNames) {
    StateDir dir;
    Engine engine(dir.path());
    engine.setSpeed(GetParam().speed == LinkSpeed::Full ? LinkSpeed::Full : LinkSpeed::Unlimited);
    engine.setModes(GetParam().forcedMode, Engine::kModeUnchanged);
    Host host(engine);
    const Bytes data = fattest::pattern(GetParam().bytes, 3);
    const Bytes reply = host.exchange(
        announce('M', "CHANSO~1.MP3", u"Chanson d'été.mp3", static_cast<uint32_t>(data.size())));
    EXPECT_EQ(reply[4], 0);
    EXPECT_EQ(reply[9], GetParam().mode);
    stream(host, data, downloadBlock(reply[9]));
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.'); // the stream is over: commands again

    const auto flash = dir.path() / "flash.img";
    const auto listing = fattest::mdir(flash);
    ASSERT_EQ(listing.files.size(), 1u) << listing.raw;
    EXPECT_EQ(listing.files[0].longName, "Chanson d'été.mp3");
    EXPECT_EQ(listing.files[0].shortName, "CHANSO~1 MP3");
    EXPECT_EQ(listing.files[0].size, data.size());
    EXPECT_EQ(listing.files[0].date, "2005-07-18");
    EXPECT_EQ(listing.files[0].time, "13:45");
    EXPECT_EQ(fattest::mcopyOut(flash, "Chanson d'été.mp3", dir.path()), data);
    std::string report;
    EXPECT_TRUE(fattest::fsckClean(flash, report)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    All, Downloads,
    ::testing::Values(DownloadCase{"empty", LinkSpeed::Unlimited, -1, 5, 0},
                      DownloadCase{"oneByte", LinkSpeed::Unlimited, -1, 5, 1},
                      DownloadCase{"exactBlocks", LinkSpeed::Unlimited, -1, 5, 32768},
                      DownloadCase{"partialLastBlock", LinkSpeed::Unlimited, -1, 5, 40000},
                      DownloadCase{"fullSpeedLink", LinkSpeed::Full, -1, 0, 1000},
                      DownloadCase{"mode4", LinkSpeed::Unlimited, 4, 4, 20000},
                      DownloadCase{"mode2Is512", LinkSpeed::Unlimited, 2, 2, 1536}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

struct VerdictCase {
    const char *name;
    uint8_t mem;
    std::string shortName;
    uint32_t size;
    void (*steer)(Engine &);
    uint8_t verdict;
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, RefuseWithoutTouchingTheImage) {
    StateDir dir;
    {
        Engine first(dir.path());
        ASSERT_TRUE(first.ok());
    }
    const auto src = dir.path() / "src.bin";
    fattest::writeFile(src, fattest::pattern(10, 1));
    ASSERT_TRUE(fattest::mcopyIn(dir.path() / "flash.img", src, "TAKEN.MP3"));
    Engine engine(dir.path());
    GetParam().steer(engine);
    Host host(engine);
    const Bytes reply =
        host.exchange(announce(GetParam().mem, GetParam().shortName, u"x.mp3", GetParam().size));
    EXPECT_EQ(reply[4], GetParam().verdict);
    // Nothing streams after a refusal: the next packet is a command again.
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.');
    EXPECT_EQ(fattest::mdir(dir.path() / "flash.img").files.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    All, Verdicts,
    ::testing::Values(VerdictCase{"accepted", 'M', "NEW.MP3", 10, [](Engine &) {}, 0},
                      VerdictCase{"nameExists", 'M', "TAKEN.MP3", 10, [](Engine &) {}, 3},
                      VerdictCase{"tooBig", 'M', "NEW.MP3", 3u << 20, [](Engine &) {}, 2},
                      VerdictCase{"steeredFull", 'M', "NEW.MP3", 10,
                                  [](Engine &e) { e.setFull('M', true); }, 2},
                      VerdictCase{"cardAbsent", 'S', "NEW.MP3", 10,
                                  [](Engine &e) { e.setCardPresent(false); }, 1},
                      VerdictCase{"cardProtected", 'S', "NEW.MP3", 10,
                                  [](Engine &e) { e.setWriteProtected(true); }, 1},
                      VerdictCase{"injected", 'M', "NEW.MP3", 10,
                                  [](Engine &e) { e.injectFault(Fault::Refuse, 7); }, 7},
                      VerdictCase{"badShortName", 'M', "A:B.MP3", 10, [](Engine &) {}, 1}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineTransfer, RootDirectoryWithoutRoomGivesVerdictTwo) {
    StateDir dir;
    const auto flash = dir.path() / "flash.img";
    ASSERT_EQ(
        fattest::runTool({fattest::mkfsPath(), "-r", "16", "-C", flash.string(), "2048"}).status,
        0);
    const auto src = dir.path() / "src.bin";
    fattest::writeFile(src, fattest::pattern(10, 1));
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(fattest::mcopyIn(flash, src, "F" + std::to_string(i) + ".MP3"));
    Engine engine(dir.path());
    Host host(engine);
    EXPECT_EQ(host.exchange(announce('M', "NEW.MP3", u"new.mp3", 10))[4], 2);
}

struct StreamFaultCase {
    const char *name;
    Fault fault;
    uint32_t arg;
    size_t failingBlock; // index of the block that is not taken whole
    UrbStatus status;
    size_t actual;
};

class DownloadFaults : public ::testing::TestWithParam<StreamFaultCase> {};

TEST_P(DownloadFaults, LeaveNoFileBehind) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const Bytes data = fattest::pattern(5 * 16384, 9);
    ASSERT_EQ(host.exchange(announce('M', "PART.MP3", u"part.mp3", 5 * 16384))[4], 0);
    engine.injectFault(GetParam().fault, GetParam().arg);
    host.poll(11);
    for (size_t block = 0; block <= GetParam().failingBlock; ++block) {
        size_t actual = 0;
        const auto st =
            host.write(Bytes(data.begin() + static_cast<ptrdiff_t>(block * 16384),
                             data.begin() + static_cast<ptrdiff_t>(block * 16384 + 16384)),
                       &actual);
        if (block < GetParam().failingBlock) {
            ASSERT_EQ(st, UrbStatus::Ok);
            ASSERT_EQ(actual, 16384u);
        } else {
            EXPECT_EQ(st, GetParam().status);
            EXPECT_EQ(actual, GetParam().actual);
        }
    }
    // The host gives up (a new command, or it reopens the device after an unplug).
    engine.setPlugged(true);
    engine.hostReset();
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.');
    const auto flash = dir.path() / "flash.img";
    EXPECT_TRUE(fattest::mdir(flash).files.empty());
    std::string report;
    EXPECT_TRUE(fattest::fsckClean(flash, report)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    All, DownloadFaults,
    ::testing::Values(
        StreamFaultCase{"dropStreamAtOnce", Fault::DropStream, 0, 0, UrbStatus::Ok, 0},
        StreamFaultCase{"dropStreamAfterTwoBlocks", Fault::DropStream, 32768, 2, UrbStatus::Ok, 0},
        StreamFaultCase{"shortBlock", Fault::ShortBlock, 0, 0, UrbStatus::Ok, 8192},
        StreamFaultCase{"unplugAfterOneBlock", Fault::UnplugAfter, 16384, 1, UrbStatus::Error, 0},
        StreamFaultCase{"pipeError", Fault::PipeError, 1, 0, UrbStatus::Error, 0}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

struct AbandonCase {
    const char *name;
    uint16_t value;
    uint16_t index;
};

class Abandon : public ::testing::TestWithParam<AbandonCase> {};

TEST_P(Abandon, AStreamTheHostLeavesIsDropped) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    ASSERT_EQ(host.exchange(announce('M', "HALF.MP3", u"half.mp3", 100000))[4], 0);
    host.poll(11);
    host.write(Bytes(16384, 0x55));
    host.poll(10, GetParam().value, GetParam().index);
    EXPECT_EQ(host.write(frame(bytesOf("I"))), UrbStatus::Ok);
    EXPECT_EQ(host.read(64)[5], '.');
    EXPECT_TRUE(fattest::mdir(dir.path() / "flash.img").files.empty());
}

INSTANTIATE_TEST_SUITE_P(All, Abandon,
                         ::testing::Values(AbandonCase{"newCommand", 0, 0},
                                           AbandonCase{"waitAbortDone", 0xFFFF, 0xFFFF}),
                         [](const auto &tpi) { return std::string(tpi.param.name); });

struct UploadCase {
    const char *name;
    LinkSpeed speed;
    int forcedMode;
    uint8_t mode;
    size_t block;
    size_t bytes;
};

class Uploads : public ::testing::TestWithParam<UploadCase> {};

TEST_P(Uploads, SendTheFileInZeroFilledBlocks) {
    StateDir dir;
    { Engine first(dir.path()); }
    const Bytes data = fattest::pattern(GetParam().bytes, 5);
    const auto src = dir.path() / "src.bin";
    fattest::writeFile(src, data);
    ASSERT_TRUE(fattest::mcopyIn(dir.path() / "card.img", src, "Voice 01.wav"));
    Engine engine(dir.path());
    engine.setSpeed(GetParam().speed == LinkSpeed::Full ? LinkSpeed::Full : LinkSpeed::Unlimited);
    engine.setModes(Engine::kModeUnchanged, GetParam().forcedMode);
    Host host(engine);
    const Bytes reply = host.exchange(concat({{'S', 'R'}, bytesOf("VOICE0~1.WAV")}));
    EXPECT_EQ(std::string(reply.begin() + 6, reply.begin() + 18), "VOICE0~1.WAV");
    EXPECT_EQ(readBe32(reply, 18), data.size());
    EXPECT_EQ(reply[22], GetParam().mode);
    host.poll(12);
    Bytes got;
    const size_t blocks = (data.size() + GetParam().block - 1) / GetParam().block;
    for (size_t i = 0; i < blocks; ++i) {
        const Bytes b = host.read(GetParam().block);
        ASSERT_EQ(b.size(), GetParam().block);
        got.insert(got.end(), b.begin(), b.end());
    }
    Bytes expected = data;
    expected.resize(blocks * GetParam().block, 0);
    EXPECT_EQ(got, expected);
    UrbStatus st = UrbStatus::Ok;
    host.read(64, &st);
    EXPECT_EQ(st, UrbStatus::Pending); // nothing past the last block
}

INSTANTIATE_TEST_SUITE_P(
    All, Uploads,
    ::testing::Values(UploadCase{"highSpeed", LinkSpeed::Unlimited, -1, 5, 16384, 40000},
                      UploadCase{"fullSpeedMode2Is2048", LinkSpeed::Full, -1, 2, 2048, 5000},
                      UploadCase{"mode0", LinkSpeed::Unlimited, 0, 0, 512, 1000},
                      UploadCase{"mode4ExactBlocks", LinkSpeed::Unlimited, 4, 4, 8192, 16384},
                      UploadCase{"emptyFile", LinkSpeed::Unlimited, -1, 5, 16384, 0}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineTransfer, UploadOfAnUnknownNameEchoesQuestionMarks) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const Bytes reply = host.exchange(concat({{'M', 'R'}, bytesOf("NONE.MP3")}));
    EXPECT_EQ(std::string(reply.begin() + 6, reply.begin() + 14), "????????");
    EXPECT_EQ(readBe32(reply, 14), 0u);
    UrbStatus st = UrbStatus::Ok;
    host.read(512, &st);
    EXPECT_EQ(st, UrbStatus::Pending);
}

TEST(EngineTransfer, UploadFaultsCutTheStream) {
    StateDir dir;
    const Bytes data = storeBigFile(dir, 2);
    ASSERT_FALSE(data.empty());
    Engine engine(dir.path());
    Host host(engine);
    host.exchange(concat({{'M', 'R'}, bytesOf("BIG.MP3")}));
    engine.injectFault(Fault::ShortBlock, 0);
    const Bytes half = host.read(16384);
    EXPECT_EQ(half.size(), 8192u);
    const Bytes rest = host.read(16384); // the stream goes on where the short block ended
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.begin() + 8192));
    engine.injectFault(Fault::DropStream, 16384);
    UrbStatus st = UrbStatus::Pending;
    EXPECT_TRUE(host.read(16384, &st).empty());
    EXPECT_EQ(st, UrbStatus::Ok); // a zero-length block: the stream has ended early
    host.read(16384, &st);
    EXPECT_EQ(st, UrbStatus::Pending);
}

// The player reads an upload's file from its flash as it sends it. A command written in the
// middle of the stream without the poll that would end it (a host out of step) ends the stream
// when it may write over the file's clusters; otherwise the stream goes on after its reply.
struct UploadInterruptCase {
    const char *name;
    Bytes body;
    bool streamGoesOn;
};

void PrintTo(const UploadInterruptCase &c, std::ostream *os) {
    *os << c.name;
}

class UploadInterrupts : public ::testing::TestWithParam<UploadInterruptCase> {};

TEST_P(UploadInterrupts, OnlyCommandsThatMayOverwriteTheFileEndTheStream) {
    StateDir dir;
    const Bytes data = storeBigFile(dir, 3);
    ASSERT_FALSE(data.empty());
    Engine engine(dir.path());
    Host host(engine);
    host.exchange(concat({{'M', 'R'}, bytesOf("BIG.MP3")}));
    host.poll(12);
    const Bytes first = host.read(16384);
    ASSERT_TRUE(std::equal(first.begin(), first.end(), data.begin()));
    ASSERT_EQ(host.write(frame(GetParam().body)), UrbStatus::Ok);
    EXPECT_EQ(host.read(64).size(), 64u); // the command's reply comes first
    UrbStatus st = UrbStatus::Ok;
    const Bytes next = host.read(16384, &st);
    if (GetParam().streamGoesOn) {
        ASSERT_EQ(next.size(), 16384u);
        EXPECT_TRUE(std::equal(next.begin(), next.end(), data.begin() + 16384));
    } else {
        EXPECT_EQ(st, UrbStatus::Pending);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, UploadInterrupts,
    ::testing::Values(UploadInterruptCase{"delete", concat({{'M', 'E'}, bytesOf("BIG.MP3")}),
                                          false},
                      UploadInterruptCase{"format", {'M', 'F'}, false},
                      UploadInterruptCase{"statusFlags", bytesOf("I"), true},
                      UploadInterruptCase{"table", {'M', 'G'}, true}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

struct ImageCase {
    const char *name;
    bool firmware;
    uint8_t kind;
    size_t bytes;
    std::string file;
    size_t kept; // bytes in the kept file
};

class Images : public ::testing::TestWithParam<ImageCase> {};

TEST_P(Images, AreKeptInTheStateFolderWhenComplete) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const auto &c = GetParam();
    const Bytes data = fattest::pattern(c.bytes, 11);
    const uint32_t units = static_cast<uint32_t>((c.bytes + 63) / 64);
    const Bytes reply =
        c.firmware
            ? host.exchange(concat({bytesOf("UP"), be16(units)}))
            : host.exchange(concat({{0x92, 0x12, c.kind}, be32(static_cast<uint32_t>(c.bytes))}));
    EXPECT_EQ(reply[c.firmware ? 6 : 4], 0);
    host.poll(c.firmware ? 11 : 10); // the system image worker readies with phase 10
    const size_t wire = c.firmware ? (units * 64 + 511) / 512 * 512 : (c.bytes + 511) / 512 * 512;
    for (size_t at = 0; at < wire; at += 512) {
        Bytes b(512, 0);
        if (at < data.size())
            std::copy_n(data.begin() + static_cast<ptrdiff_t>(at),
                        std::min<size_t>(512, data.size() - at), b.begin());
        size_t actual = 0;
        ASSERT_EQ(host.write(b, &actual), UrbStatus::Ok);
        EXPECT_EQ(actual, 512u);
    }
    Bytes expected = data;
    expected.resize(c.kept, 0);
    EXPECT_EQ(fattest::readFileBytes(dir.path() / c.file), expected);
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.');
}

INSTANTIATE_TEST_SUITE_P(
    All, Images,
    ::testing::Values(ImageCase{"logo", false, 0xE1, 1000, "sysimg-e1.bin", 1000},
                      ImageCase{"fontOneBlock", false, 0x02, 512, "sysimg-02.bin", 512},
                      ImageCase{"emptyImage", false, 0x00, 0, "sysimg-00.bin", 0},
                      ImageCase{"firmware1000Bytes", true, 0, 1000, "firmware.bin", 1024},
                      ImageCase{"firmwareExactUnits", true, 0, 1536, "firmware.bin", 1536}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineTransfer, RefusedOrBrokenImagesKeepTheOldOne) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const Bytes old = fattest::pattern(100, 1);
    fattest::writeFile(dir.path() / "sysimg-e0.bin", old);
    engine.injectFault(Fault::Refuse, 0);
    EXPECT_EQ(host.exchange(concat({{0x92, 0x12, 0xE0}, be32(1000)}))[4], 1);
    EXPECT_EQ(host.exchange(concat({bytesOf("UP"), be16(16)}))[6], 0); // one-shot
    host.poll(10, 0xFFFF, 0xFFFF);
    ASSERT_EQ(host.exchange(concat({{0x92, 0x12, 0xE0}, be32(1000)}))[4], 0);
    host.poll(10);
    host.write(Bytes(512, 0xAB));
    host.poll(10); // the host gives up after one block
    host.exchange(bytesOf("I"));
    EXPECT_EQ(fattest::readFileBytes(dir.path() / "sysimg-e0.bin"), old);
    // An announced size beyond any slot is refused instead of buffered.
    EXPECT_EQ(host.exchange(concat({{0x92, 0x12, 0xE0}, be32(0xFFFFFFFF)}))[4], 1);
}

Bytes blockCommand(uint8_t mem, uint8_t op, uint32_t address, const Bytes &data = {}) {
    Bytes p{'#', 0, 0x12, ':', mem, op};
    const Bytes a = be32(address);
    p.insert(p.end(), a.begin(), a.end());
    p.insert(p.end(), data.begin(), data.end());
    p.push_back('.');
    p.resize((p.size() + 63) / 64 * 64, 0);
    return p;
}

Bytes blockExchange(Host &host, const Bytes &packet) {
    host.poll(10);
    EXPECT_EQ(host.write(packet), UrbStatus::Ok);
    host.poll(12);
    return host.read(64);
}

TEST(EngineTransfer, PhysicalBlocksReadTheImageBytes) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const Bytes image = fattest::readFileBytes(dir.path() / "flash.img");
    for (uint32_t address : {0u, 0x1234u, 0x200u, 0x1FFFC0u}) {
        const Bytes got = blockExchange(host, blockCommand('M', 'r', address));
        ASSERT_EQ(got.size(), 64u);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), image.begin() + address)) << address;
    }
    // Past the end of the image the flash reads as zeros.
    EXPECT_EQ(blockExchange(host, blockCommand('M', 'r', 0x7FFFFFC0)), Bytes(64, 0));
}

TEST(EngineTransfer, SpareAreasAreConsistentAndStored) {
    StateDir dir;
    const Bytes stored{1, 2, 3, 4, 0xFF, 0xFF, 0x10, 0x03, 9, 9, 9, 0x10, 0x03, 8, 8, 8};
    Bytes first;
    {
        Engine engine(dir.path());
        Host host(engine);
        first = blockExchange(host, blockCommand('M', 's', 0x4000));
        ASSERT_EQ(first.size(), 64u);
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 6), Bytes(6, 0xFF)); // erased, good block
        EXPECT_EQ(first[6], first[11]); // the block address twice
        EXPECT_EQ(first[7], first[12]);
        EXPECT_EQ(blockExchange(host, blockCommand('M', 's', 0x4010)), first); // same page
        EXPECT_NE(blockExchange(host, blockCommand('M', 's', 0x0000)), first);
        blockExchange(host, blockCommand('M', 'x', 0x4200, stored));
        const Bytes back = blockExchange(host, blockCommand('M', 's', 0x4200));
        EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), stored);
    }
    Engine again(dir.path());
    Host host(again);
    const Bytes back = blockExchange(host, blockCommand('M', 's', 0x4200));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), stored);
    EXPECT_EQ(blockExchange(host, blockCommand('M', 's', 0x4000)), first);
}

TEST(EngineTransfer, RawWritesReachTheImageUnlessProtected) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const Bytes data = fattest::pattern(64, 4);
    const uint32_t address = 0x100000; // in the data area, away from the FAT
    blockExchange(host, blockCommand('M', 'w', address, data));
    EXPECT_EQ(blockExchange(host, blockCommand('M', 'r', address)), data);
    engine.setWriteProtected(true);
    const Bytes before = blockExchange(host, blockCommand('S', 'r', address));
    blockExchange(host, blockCommand('S', 'w', address, data));
    EXPECT_EQ(blockExchange(host, blockCommand('S', 'r', address)), before);
}

} // namespace

namespace {

// The host sends back the short names it read from the table byte for byte, also those with
// bytes above 0x7F that mcopy writes for accented names.
TEST(EngineTransfer, EveryShortNameFromTheTableUploads) {
    StateDir dir;
    { Engine first(dir.path()); }
    const auto card = dir.path() / "card.img";
    const std::vector<std::pair<std::string, size_t>> files{
        {"Café Électrique.mp3", 3000}, {"README", 10}, {"노래.mp3", 700}, {"x.y.z.mp3", 1}};
    const auto src = dir.path() / "src.bin";
    for (const auto &[name, bytes] : files) {
        fattest::writeFile(src, fattest::pattern(bytes, 1));
        ASSERT_TRUE(fattest::mcopyIn(card, src, name)) << name;
    }
    Engine engine(dir.path());
    Host host(engine);
    const Bytes first = host.exchange({'S', 'G'});
    const uint16_t length = readBe16(first, 6);
    const Bytes table = host.result((length + 63u) / 64 * 64);
    size_t uploads = 0;
    for (size_t at = 8; at + 32 <= length; at += 32) {
        if (table[at + 11] == 0x0F)
            continue; // a long-name record
        // Compact form: base without trailing spaces, '.', extension without trailing spaces.
        std::string base(table.begin() + static_cast<ptrdiff_t>(at),
                         table.begin() + static_cast<ptrdiff_t>(at + 8));
        std::string ext(table.begin() + static_cast<ptrdiff_t>(at + 8),
                        table.begin() + static_cast<ptrdiff_t>(at + 11));
        base = base.substr(0, base.find(' '));
        ext = ext.substr(0, ext.find(' '));
        const std::string name83 = base + "." + ext;
        const uint32_t size =
            readBe32(table, at + 28) >> 24 | (readBe32(table, at + 28) >> 8 & 0xFF00) |
            (readBe32(table, at + 28) << 8 & 0xFF0000) | readBe32(table, at + 28) << 24;
        const Bytes reply = host.exchange(concat({{'S', 'R'}, bytesOf(name83)}));
        EXPECT_EQ(std::string(reply.begin() + 6,
                              reply.begin() + 6 + static_cast<ptrdiff_t>(name83.size())),
                  name83);
        EXPECT_EQ(readBe32(reply, 6 + name83.size()), size) << name83;
        host.poll(10, 0xFFFF, 0xFFFF); // not read: give the stream up
        ++uploads;
    }
    EXPECT_EQ(uploads, files.size());
}

} // namespace

namespace {

TEST(EngineTransfer, AnnouncementLongerThanTheLengthByte) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    const std::u16string longName = std::u16string(140, u'노') + u".mp3";
    const Bytes body = announce('M', "______~1.MP3", longName, 700);
    ASSERT_GT(body.size() + 2, 255u);
    EXPECT_EQ(host.exchange(body)[4], 0);
    stream(host, fattest::pattern(700, 1), 16384);
    const auto listing = fattest::mdir(dir.path() / "flash.img");
    ASSERT_EQ(listing.files.size(), 1u) << listing.raw;
    EXPECT_EQ(listing.files[0].longName, fattest::toUtf8(longName));
    EXPECT_EQ(listing.files[0].size, 700u);
}

} // namespace

namespace {

// With its reply dropped an upload announcement is lost as a whole: the host's read must not be
// answered with file data in place of the reply.
TEST(EngineTransfer, DroppedUploadReplyStartsNoStream) {
    StateDir dir;
    { Engine first(dir.path()); }
    const auto src = dir.path() / "src.bin";
    fattest::writeFile(src, fattest::pattern(5000, 3));
    ASSERT_TRUE(fattest::mcopyIn(dir.path() / "flash.img", src, "SONG.MP3"));
    Engine engine(dir.path());
    engine.injectFault(Fault::DropReply, 1);
    Host host(engine);
    host.poll(10);
    host.write(frame(concat({{'M', 'R'}, bytesOf("SONG.MP3")})));
    UrbStatus st = UrbStatus::Ok;
    EXPECT_TRUE(host.read(64, &st).empty());
    EXPECT_EQ(st, UrbStatus::Pending);
    // Asked again, the player answers and streams.
    const Bytes reply = host.exchange(concat({{'M', 'R'}, bytesOf("SONG.MP3")}));
    EXPECT_EQ(readBe32(reply, 14), 5000u);
    EXPECT_EQ(host.read(16384).size(), 16384u);
}

} // namespace
