// KSUSB_RefreshMemory, RefreshMemory and GetFileInfo against the fake player: the 'G' exchange
// on the wire, the data read, the copy-out, and table data the library must not trust.
#include "fake_player.h"
#include "test_fileops_player.h"

#include "KestoUSB.h"
#include "filetable.h"
#include "status.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using kestousb::test::Bytes;
using kestousb::test::FakePlayer;
using kestousb::test::ScriptedMemory;
using tabletest::FileRecord;
using Trace = std::vector<std::string>;

namespace {

class RefreshTest : public testing::Test {
protected:
    void SetUp() override {
        std::memset(&kestousb::cachedTable(KSUSB_MEM_FLASH), 0, sizeof(KSUSB_TOpenTable));
        std::memset(&kestousb::cachedTable(KSUSB_MEM_CARD), 0, sizeof(KSUSB_TOpenTable));
        ASSERT_EQ(KSUSB_CheckConnect(), 1);
        player.clearOps();
        kestousb::setLastErrorCode(0);
    }
    static FileRecord file(const char16_t *longName, const char *shortName, uint32_t size) {
        FileRecord f;
        f.longName = longName;
        f.shortName = shortName;
        f.size = size;
        return f;
    }
    FakePlayer player;
    ScriptedMemory memory{player};
};

TEST_F(RefreshTest, WireTraceAndDataRead) {
    memory.files = {file(u"One.mp3", "ONE     MP3", 10), file(u"Two.mp3", "TWO     MP3", 20)};
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 1);
    // P = 8 + 4 records x 32 = 136: the data read is three 64-byte blocks.
    EXPECT_EQ(player.wireTrace(),
              (Trace{"ready10", "write 64", "done", "ready12", "read 64", "done", "ready10",
                     "write 64", "done", "ready12", "read 192", "done"}));
    const auto writes = player.writes();
    ASSERT_EQ(writes.size(), 2u);
    Bytes g(64, 0);
    g[0] = '#';
    g[2] = 4;
    g[3] = ':';
    g[4] = 'M';
    g[5] = 'G';
    g[6] = '.';
    EXPECT_EQ(writes[0], g);
    Bytes f(64, 0);
    f[0] = '#';
    f[2] = 3;
    f[3] = ':';
    f[4] = 'F';
    f[5] = '.';
    EXPECT_EQ(writes[1], f);

    auto out = std::make_unique<KSUSB_TOpenTable>();
    EXPECT_EQ(GetFileInfo(KSUSB_MEM_FLASH, out.get()), 1);
    EXPECT_EQ(out->total, memory.total);
    EXPECT_EQ(out->free, memory.free);
    ASSERT_EQ(out->count, 2);
    EXPECT_STREQ(out->entries[0].name, "One.mp3");
    EXPECT_STREQ(out->entries[1].name83, "TWO.MP3");
    EXPECT_EQ(out->entries[1].size, 20u);
    EXPECT_EQ(KSUSB_GetLastError(), 0);
}

TEST_F(RefreshTest, EmptyTable) {
    memory.total = 1000;
    memory.free = 900;
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 1);
    auto out = std::make_unique<KSUSB_TOpenTable>();
    GetFileInfo(KSUSB_MEM_FLASH, out.get());
    EXPECT_EQ(out->count, 0);
    EXPECT_EQ(out->total, 1000u);
    EXPECT_EQ(out->free, 900u);
}

TEST_F(RefreshTest, CardUsesItsOwnTableAndAsksForTheCard) {
    memory.files = {file(u"card.mp3", "CARD    MP3", 5)};
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_CARD), 1);
    EXPECT_EQ(player.writes()[0], (FakePlayer::frame({'I'}))); // the card check comes first
    EXPECT_EQ(kestousb::cachedTable(KSUSB_MEM_CARD).count, 1);
    EXPECT_EQ(kestousb::cachedTable(KSUSB_MEM_FLASH).count, 0);
}

TEST_F(RefreshTest, NoCardFailsBeforeG) {
    memory.invokeFlags = KSUSB_FLAG_NO_CARD;
    EXPECT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_CARD), 0);
    EXPECT_EQ(player.writes().size(), 1u); // only 'I'
}

struct FaultCase {
    const char *label;
    std::function<void(FakePlayer &, ScriptedMemory &)> arrange;
    int code;
    size_t writes; // commands written: 1 = only 'G', 2 = 'G' and the result request
};

class RefreshFaults : public RefreshTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(RefreshFaults, CodeAndTraffic) {
    const auto &c = GetParam();
    memory.files = {file(u"a.mp3", "A       MP3", 1)};
    c.arrange(player, memory);
    EXPECT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 0);
    EXPECT_EQ(KSUSB_GetLastError(), c.code);
    size_t writes = 0;
    for (const auto &op : player.ops())
        if (op.kind == kestousb::test::FakeOp::Kind::Write)
            ++writes;
    EXPECT_EQ(writes, c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RefreshFaults,
    testing::Values(
        FaultCase{"SendFails",
                  [](FakePlayer &p, ScriptedMemory &) { p.faults().writeFailures = 1; },
                  KSUSB_ERR_SEND, 1},
        FaultCase{"FirstReplyFails",
                  [](FakePlayer &p, ScriptedMemory &) { p.faults().readFailures = 1; },
                  KSUSB_ERR_RECEIVE, 1},
        FaultCase{"ResultRequestFails",
                  [](FakePlayer &p, ScriptedMemory &) {
                      p.onWrite([&p](const Bytes &d) {
                          if (d.size() > 5 && d[5] == 'G')
                              p.faults().writeFailures = 1;
                      });
                  },
                  KSUSB_ERR_RESULT_REQUEST, 2},
        FaultCase{"DataReadFails",
                  [](FakePlayer &p, ScriptedMemory &) {
                      p.onWrite([&p](const Bytes &d) {
                          if (d.size() > 4 && d[4] == 'F')
                              p.faults().readFailures = 1;
                      });
                  },
                  KSUSB_ERR_RESULT_REPLY, 2},
        FaultCase{"NoClosingMark", [](FakePlayer &, ScriptedMemory &m) { m.tableMark = false; },
                  KSUSB_ERR_NO_CLOSING_MARK, 2},
        // Lengths the 49,152-byte buffer cannot hold, or too short for total and free, are
        // refused before the data is requested.
        FaultCase{"LengthPastBuffer",
                  [](FakePlayer &, ScriptedMemory &m) { m.announcedLength = 49152; },
                  KSUSB_ERR_RESULT_REPLY, 1},
        FaultCase{"LengthFFFF", [](FakePlayer &, ScriptedMemory &m) { m.announcedLength = 0xFFFF; },
                  KSUSB_ERR_RESULT_REPLY, 1},
        FaultCase{"LengthBelowHeader",
                  [](FakePlayer &, ScriptedMemory &m) { m.announcedLength = 5; },
                  KSUSB_ERR_RESULT_REPLY, 1},
        FaultCase{"RecordsNotEndingOnLength",
                  [](FakePlayer &, ScriptedMemory &m) { m.announcedLength = 8 + 32 + 7; },
                  KSUSB_ERR_RESULT_REPLY, 2},
        FaultCase{"LongNameRunPastData",
                  [](FakePlayer &, ScriptedMemory &m) {
                      m.files[0].longName = u"a long name that needs two records.mp3";
                      m.announcedLength = 8 + 32 * 2; // cuts off the short-name record
                  },
                  KSUSB_ERR_RESULT_REPLY, 2}),
    [](const auto &row) { return std::string(row.param.label); });

TEST_F(RefreshTest, TwoHundredFiftySixthEntryFailsWithoutCode) {
    memory.files.resize(256);
    for (size_t k = 0; k < memory.files.size(); ++k)
        memory.files[k].shortName = "F" + std::to_string(100000 + k).substr(1) + "  TXT";
    kestousb::setLastErrorCode(-99);
    EXPECT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -99);
    EXPECT_EQ(kestousb::cachedTable(KSUSB_MEM_FLASH).count, 0);
}

TEST_F(RefreshTest, FailedRefreshKeepsEntriesDecodedSoFar) {
    memory.files = {file(u"a.mp3", "A       MP3", 1), file(u"b.mp3", "B       MP3", 2)};
    memory.announcedLength = 8 + 2 * 32 + 32 + 3; // a.mp3 whole, then a ragged tail
    EXPECT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 0);
    EXPECT_EQ(kestousb::cachedTable(KSUSB_MEM_FLASH).count, 1);
}

TEST_F(RefreshTest, GetFileInfoCopiesOnlyValidEntries) {
    memory.files = {file(u"a.mp3", "A       MP3", 1)};
    ASSERT_EQ(KSUSB_RefreshMemory(KSUSB_MEM_FLASH), 1);
    auto out = std::make_unique<KSUSB_TOpenTable>();
    std::memset(out.get(), 0x5A, sizeof *out);
    EXPECT_EQ(GetFileInfo(KSUSB_MEM_FLASH, out.get()), 1);
    EXPECT_EQ(out->count, 1);
    EXPECT_STREQ(out->entries[0].name83, "A.MP3");
    EXPECT_EQ(out->entries[0].name83[12], 0);
    EXPECT_EQ(out->entries[0].name83[13], 0);
    EXPECT_EQ(out->entries[0].name[255], 0);
    EXPECT_EQ(static_cast<unsigned char>(out->entries[1].name[0]), 0x5A); // left as it was
    EXPECT_EQ(GetFileInfo(KSUSB_MEM_FLASH, nullptr), 0);
}

TEST_F(RefreshTest, RefreshMemoryStopsAtFirstFailure) {
    // A 'Y' reply without its closing mark at byte 36: GetPlayerVersion fails with -6 and no
    // table is asked for.
    player.onCommand('Y', [](const FakePlayer::Packet &, size_t n) { return Bytes(n, 0x20); });
    EXPECT_EQ(RefreshMemory(KSUSB_MEM_FLASH), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NO_CLOSING_MARK);
    const auto writes = player.writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0][4], 'Y');
}

} // namespace
