// Delete, rename (both variants), play position and format against the fake player: the exact
// command bodies, the block counts, and every error path with its code.
#include "fake_player.h"
#include "test_fileops_player.h"
#include "wire.h"

#include "KestoUSB.h"
#include "filetable.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

using kestousb::test::Bytes;
using kestousb::test::FakePlayer;
using kestousb::test::frame;
using kestousb::test::ScriptedMemory;
using tabletest::FileRecord;
using Trace = std::vector<std::string>;

namespace {

FileRecord file(const char16_t *longName, const char *shortName) {
    FileRecord f;
    f.longName = longName;
    f.shortName = shortName;
    return f;
}

Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes utf16le(std::u16string_view s) {
    Bytes out;
    for (const char16_t u : s) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

Bytes be16(size_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
}

class FileOpsTest : public testing::Test {
protected:
    void SetUp() override {
        memory.files = {file(u"My Song [live].mp3", "MYSONG~1MP3"), file(u"abc.mp3", "ABC     MP3"),
                        file(u"", "README     ")};
        for (const unsigned char mem : {KSUSB_MEM_FLASH, KSUSB_MEM_CARD})
            ASSERT_EQ(KSUSB_RefreshMemory(mem), 1);
        player.clearOps();
        kestousb::setLastErrorCode(0);
    }
    // Commands written since SetUp ('I' card checks included).
    std::vector<Bytes> commands() const { return player.writes(); }
    FakePlayer player;
    ScriptedMemory memory{player};
};

TEST_F(FileOpsTest, DeleteSendsShortNameAndAsksForResult) {
    EXPECT_EQ(KSUSB_DeleteFileInMemory(KSUSB_MEM_FLASH, "My Song [live].mp3"), 1);
    const auto w = commands();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], frame(Bytes{'M', 'E'} + bytes("MYSONG~1.MP3")));
    EXPECT_EQ(w[1], frame({'F'}));
    EXPECT_EQ(player.wireTrace(),
              (Trace{"ready10", "write 64", "done", "ready12", "read 64", "done", "ready10",
                     "write 64", "done", "ready12", "read 64", "done"}));
}

TEST_F(FileOpsTest, DeleteFileWithoutLongNameByItsShortName) {
    EXPECT_EQ(KSUSB_DeleteFileInMemory(KSUSB_MEM_FLASH, "README."), 1);
    EXPECT_EQ(commands()[0], frame(Bytes{'M', 'E'} + bytes("README.")));
}

TEST_F(FileOpsTest, PlayPositionIsSentCountingFromZero) {
    EXPECT_EQ(KSUSB_ReplaceInMemory(KSUSB_MEM_FLASH, "abc.mp3", 1), 1);
    EXPECT_EQ(commands()[0], frame(Bytes{'M', 'P'} + bytes("ABC.MP3") + Bytes{0}));
    player.clearOps();
    EXPECT_EQ(KSUSB_ReplaceInMemory(KSUSB_MEM_FLASH, "abc.mp3", 200), 1);
    EXPECT_EQ(commands()[0], frame(Bytes{'M', 'P'} + bytes("ABC.MP3") + Bytes{199}));
}

TEST_F(FileOpsTest, FormatBody) {
    EXPECT_EQ(KSUSB_FormatMemory(KSUSB_MEM_FLASH), 1);
    const auto w = commands();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], frame({'M', 'F'}));
    EXPECT_EQ(w[1], frame({'F'}));
}

TEST_F(FileOpsTest, RenameBodyLayout) {
    char newName[] = "New Song.mp3";
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "abc.mp3", newName), 1);
    const Bytes body = Bytes{'M', 'N'} + be16(7) + bytes("ABC.MP3") + be16(11) +
                       bytes("NewSong.MP3") + be16(24) + utf16le(u"New Song.mp3");
    // L = o + s + w + 10 = 52; 55 bytes in all: one block.
    EXPECT_EQ(body.size() + 2, 7u + 11u + 24u + 10u);
    EXPECT_EQ(commands()[0], frame(body));
    EXPECT_EQ(std::string_view(newName), "New Song.mp3"); // the caller's buffer is not touched
}

// The player's record holds MYSONG~1: a candidate differing only in case is taken too, or the
// directory would get two files of the same short name.
TEST_F(FileOpsTest, RenameTakesNextFreeShortName) {
    char newName[] = "My Song [live] 2.mp3";
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "abc.mp3", newName), 1);
    const Bytes body = Bytes{'M', 'N'} + be16(7) + bytes("ABC.MP3") + be16(12) +
                       bytes("MySong~2.MP3") + be16(40) + utf16le(u"My Song [live] 2.mp3");
    EXPECT_EQ(commands()[0], frame(body));
}

// ABC.MP3 is taken: a short base that differs from it only in case takes a tail as well.
TEST_F(FileOpsTest, RenameOntoATakenShortBaseTakesATail) {
    char newName[] = "Abc.MP3";
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "My Song [live].mp3", newName), 1);
    const Bytes body = Bytes{'M', 'N'} + be16(12) + bytes("MYSONG~1.MP3") + be16(9) +
                       bytes("Abc~1.MP3") + be16(14) + utf16le(u"Abc.MP3");
    EXPECT_EQ(commands()[0], frame(body));
}

TEST_F(FileOpsTest, Rename83PadsTheBase) {
    char newName[] = "AB.mp3";
    EXPECT_EQ(KSUSB_RenameInMemory83(KSUSB_MEM_FLASH, "abc.mp3", newName), 1);
    const Bytes body = Bytes{'M', 'N'} + be16(7) + bytes("ABC.MP3") + be16(12) +
                       bytes("AB      .MP3") + be16(12) + utf16le(u"AB.mp3");
    EXPECT_EQ(commands()[0], frame(body));
}

TEST_F(FileOpsTest, RenameToLongNameSendsEightyBytesInThreeBlocks) {
    std::string longName(96, 'x');
    longName += ".mp3";
    std::u16string wide(76, u'x');
    wide += u".mp3";
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "abc.mp3", longName.data()), 1);
    const Bytes body = Bytes{'M', 'N'} + be16(7) + bytes("ABC.MP3") + be16(12) +
                       bytes("xxxxxx~1.MP3") + be16(160) + utf16le(wide);
    const Bytes expected = frame(body);
    EXPECT_EQ(expected.size(), 192u); // 7 + 12 + 160 + 13 = 192 bytes: 3 blocks
    ASSERT_GE(commands().size(), 1u);
    EXPECT_EQ(commands()[0], expected);
    // The first reply is read in as many blocks as the command took.
    const auto trace = player.wireTrace();
    EXPECT_EQ(trace[1], "write 192");
    EXPECT_EQ(trace[4], "read 192");
}

TEST_F(FileOpsTest, RenameNonAsciiName) {
    char newName[] = "\xC3\x9C"
                     "ber \xF0\x9F\x8E\xB5.mp3";
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "abc.mp3", newName), 1);
    const std::u16string wide = u"\u00DCber \xD83C\xDFB5.mp3";
    const Bytes body = Bytes{'M', 'N'} + be16(7) + bytes("ABC.MP3") + be16(11) +
                       bytes("_ber_~1.MP3") + be16(wide.size() * 2) + utf16le(wide);
    EXPECT_EQ(commands()[0], frame(body));
}

// ---- error paths ----------------------------------------------------------------------------

enum class Op { Delete, Rename, Rename83, Position, Format };

struct ErrorCase {
    const char *label;
    Op op;
    unsigned char mem;
    std::function<void(FakePlayer &, ScriptedMemory &)> arrange;
    const char *name;    // the file operated on
    const char *newName; // rename only
    int result;
    int code;
    size_t commandsAfterChecks; // commands written besides the card's 'I'
};

class FileOpErrors : public FileOpsTest, public testing::WithParamInterface<ErrorCase> {};

int run(const ErrorCase &c) {
    std::string newName = c.newName ? c.newName : "";
    switch (c.op) {
    case Op::Delete:
        return KSUSB_DeleteFileInMemory(c.mem, c.name);
    case Op::Rename:
        return KSUSB_RenameInMemory(c.mem, c.name, c.newName ? newName.data() : nullptr);
    case Op::Rename83:
        return KSUSB_RenameInMemory83(c.mem, c.name, c.newName ? newName.data() : nullptr);
    case Op::Position:
        return KSUSB_ReplaceInMemory(c.mem, c.name, 2);
    case Op::Format:
        return KSUSB_FormatMemory(c.mem);
    }
    return -1;
}

TEST_P(FileOpErrors, ResultCodeAndTraffic) {
    const auto &c = GetParam();
    c.arrange(player, memory);
    kestousb::setLastErrorCode(-99);
    EXPECT_EQ(run(c), c.result);
    EXPECT_EQ(KSUSB_GetLastError(), c.result ? -99 : c.code);
    size_t n = 0;
    for (const auto &w : player.writes())
        if (w != FakePlayer::frame({'I'}))
            ++n;
    EXPECT_EQ(n, c.commandsAfterChecks);
}

const auto none = [](FakePlayer &, ScriptedMemory &) {};
const auto echoUnknown = [](FakePlayer &, ScriptedMemory &m) { m.echo = '?'; };
const auto echoNoRoom = [](FakePlayer &, ScriptedMemory &m) { m.echo = '*'; };
const auto sendFails = [](FakePlayer &p, ScriptedMemory &) { p.faults().writeFailures = 1; };
const auto replyFails = [](FakePlayer &p, ScriptedMemory &) { p.faults().readFailures = 1; };
const auto noMark = [](FakePlayer &, ScriptedMemory &m) { m.resultMark = false; };
auto flags(uint8_t f) {
    return [f](FakePlayer &, ScriptedMemory &m) { m.resultFlags = f; };
}
// The result request itself fails / its reply does not arrive.
const auto requestFails = [](FakePlayer &p, ScriptedMemory &) {
    p.onWrite([&p](const Bytes &d) {
        if (d.size() > 5 && d[4] != 'F' && d[5] != 'I')
            p.faults().writeFailures = 1;
    });
};
const auto resultFails = [](FakePlayer &p, ScriptedMemory &) {
    p.onWrite([&p](const Bytes &d) {
        if (d.size() > 4 && d[4] == 'F')
            p.faults().readFailures = 1;
    });
};

constexpr unsigned char M = KSUSB_MEM_FLASH;
constexpr unsigned char S = KSUSB_MEM_CARD;
constexpr const char *song = "My Song [live].mp3";

INSTANTIATE_TEST_SUITE_P(
    Codes, FileOpErrors,
    testing::Values(
        // not in the cached table: nothing is sent
        ErrorCase{"DeleteUnknown", Op::Delete, M, none, "nope.mp3", nullptr, 0, -11, 0},
        ErrorCase{"DeleteCaseDiffers", Op::Delete, M, none, "ABC.mp3", nullptr, 0, -11, 0},
        ErrorCase{"DeleteNull", Op::Delete, M, none, nullptr, nullptr, 0, -11, 0},
        ErrorCase{"PositionUnknown", Op::Position, M, none, "nope.mp3", nullptr, 0, -11, 0},
        ErrorCase{"RenameUnknown", Op::Rename, M, none, "nope.mp3", "x.mp3", 0, -11, 0},
        ErrorCase{"RenameToExisting", Op::Rename, M, none, "abc.mp3", song, 0, -10, 0},
        ErrorCase{"RenameToItself", Op::Rename83, M, none, "abc.mp3", "abc.mp3", 0, -10, 0},
        ErrorCase{"RenameCutNameExists", Op::Rename, S,
                  [](FakePlayer &, ScriptedMemory &) {
                      // A name that fitLongName cuts to one that exists already.
                      std::string cut = std::string(76, 'k') + ".mp3";
                      KSUSB_TOpenTable &card = kestousb::cachedTable(S);
                      std::memcpy(card.entries[0].name, cut.c_str(), cut.size() + 1);
                  },
                  "abc.mp3",
                  "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"
                  "kkkkkkkkkkkkkk.mp3",
                  0, -10, 0},
        ErrorCase{"RenameToEmpty", Op::Rename, M, none, "abc.mp3", "", 0, -11, 0},
        ErrorCase{"RenameToNull", Op::Rename, M, none, "abc.mp3", nullptr, 0, -11, 0},
        // the player does not know the file (stale table): '?' echo, no result request
        ErrorCase{"DeleteEchoUnknown", Op::Delete, M, echoUnknown, song, nullptr, 0, -11, 1},
        ErrorCase{"PositionEchoUnknown", Op::Position, M, echoUnknown, song, nullptr, 0, -11, 1},
        ErrorCase{"RenameEchoUnknown", Op::Rename, M, echoUnknown, song, "n.mp3", 0, -11, 1},
        ErrorCase{"RenameEchoNoRoom", Op::Rename, M, echoNoRoom, song, "n.mp3", 0, -12, 1},
        ErrorCase{"DeleteStarEchoIsNotRename", Op::Delete, M, echoNoRoom, song, nullptr, 1, 0, 2},
        // transport failures
        ErrorCase{"DeleteSendFails", Op::Delete, M, sendFails, song, nullptr, 0, -2, 1},
        ErrorCase{"FormatSendFails", Op::Format, M, sendFails, nullptr, nullptr, 0, -2, 1},
        ErrorCase{"RenameReplyFails", Op::Rename, M, replyFails, song, "n.mp3", 0, -3, 1},
        ErrorCase{"PositionReplyFails", Op::Position, M, replyFails, song, nullptr, 0, -3, 1},
        ErrorCase{"DeleteRequestFails", Op::Delete, M, requestFails, song, nullptr, 0, -4, 2},
        ErrorCase{"FormatResultFails", Op::Format, M, resultFails, nullptr, nullptr, 0, -5, 2},
        ErrorCase{"DeleteNoMark", Op::Delete, M, noMark, song, nullptr, 0, -6, 2},
        ErrorCase{"RenameNoMark", Op::Rename, M, noMark, song, "n.mp3", 0, -6, 2},
        ErrorCase{"PositionNoMark", Op::Position, M, noMark, song, nullptr, 0, -6, 2},
        ErrorCase{"FormatNoMark", Op::Format, M, noMark, nullptr, nullptr, 0, -6, 2},
        // flags in the result reply
        ErrorCase{"FormatNotReady", Op::Format, M, flags(0x80), nullptr, nullptr, 0, -58, 2},
        ErrorCase{"DeleteNotReadyIgnored", Op::Delete, M, flags(0x80), song, nullptr, 1, 0, 2},
        ErrorCase{"DeleteProtectedCard", Op::Delete, S, flags(0x10), song, nullptr, 0, -61, 2},
        ErrorCase{"DeleteProtectedNoCard", Op::Delete, S, flags(0x12), song, nullptr, 1, 0, 2},
        ErrorCase{"DeleteProtectedFlash", Op::Delete, M, flags(0x10), song, nullptr, 1, 0, 2},
        ErrorCase{"RenameProtectedCard", Op::Rename, S, flags(0x12), song, "n.mp3", 0, -61, 2},
        ErrorCase{"PositionProtectedCard", Op::Position, S, flags(0x12), song, nullptr, 0, -61, 2},
        ErrorCase{"FormatProtectedCard", Op::Format, S, flags(0x10), nullptr, nullptr, 0, -61, 2},
        ErrorCase{"FormatProtectedNoCard", Op::Format, S, flags(0x12), nullptr, nullptr, 1, 0, 2},
        // no card: CheckMemory fails before anything else
        ErrorCase{"DeleteNoCard", Op::Delete, S,
                  [](FakePlayer &, ScriptedMemory &m) { m.invokeFlags = KSUSB_FLAG_NO_CARD; }, song,
                  nullptr, 0, -99, 0}),
    [](const auto &row) { return std::string(row.param.label); });

TEST_F(FileOpsTest, NotConnectedFailsBeforeLookup) {
    player.faults().absent = true;
    player.faults().probeFails = true;
    EXPECT_EQ(KSUSB_DeleteFileInMemory(KSUSB_MEM_FLASH, "abc.mp3"), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_CONNECTED);
    EXPECT_TRUE(player.writes().empty());
}

TEST_F(FileOpsTest, NameLongerThanTheInterfaceAllowsIsRefused) {
    std::string huge(4000, 'a');
    EXPECT_EQ(KSUSB_DeleteFileInMemory(KSUSB_MEM_FLASH, huge.c_str()), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_EQ(KSUSB_RenameInMemory(KSUSB_MEM_FLASH, "abc.mp3", huge.data()), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_TRUE(player.writes().empty());
}

// The operations leave the cache alone: the next lookup still sees the old names.
TEST_F(FileOpsTest, CacheUnchangedAfterSuccess) {
    EXPECT_EQ(KSUSB_DeleteFileInMemory(KSUSB_MEM_FLASH, "abc.mp3"), 1);
    EXPECT_NE(kestousb::findEntry(KSUSB_MEM_FLASH, "abc.mp3"), kestousb::kEntryNotFound);
}

} // namespace
