// The connection and status operations against the fake player: bytes on the wire, the polls
// around each transfer, the status cache and every error path.
#include "fake_player.h"

#include "KestoUSB.h"
#include "library_state.h"
#include "status.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <optional>

using kestousb::test::Bytes;
using kestousb::test::FakePlayer;
using Trace = std::vector<std::string>;

namespace {

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestousb::setLastErrorCode(0);
        kestousb::resetLibraryForTesting(kestousb::library().injected());
    }
    // Opens the connection, then forgets what that took, so a test sees only its own traffic.
    void connect() {
        ASSERT_EQ(KSUSB_CheckConnect(), 1);
        player.clearOps();
        kestousb::setLastErrorCode(0);
    }
    FakePlayer player;
};

// The bytes of a one-block command with this body.
Bytes command(std::initializer_list<uint8_t> body) {
    Bytes out(64, 0);
    out[0] = '#';
    out[2] = static_cast<uint8_t>(body.size() + 2);
    out[3] = ':';
    std::copy(body.begin(), body.end(), out.begin() + 4);
    out[4 + body.size()] = '.';
    return out;
}

Trace operator+(Trace a, const Trace &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Trace kExchange64 = {"ready10", "write 64", "done", "ready12", "read 64", "done"};

TEST_F(StatusTest, InvokePlayerSendsIAndReturnsFlags) {
    connect();
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({0x06}); });
    EXPECT_EQ(InvokePlayer(), 0x06);
    EXPECT_EQ(player.trace(), Trace({"probe"}) + kExchange64);
    ASSERT_EQ(player.writes().size(), 1u);
    EXPECT_EQ(player.writes()[0], command({'I'}));
    EXPECT_EQ(KSUSB_GetLastError(), 0);
}

// ---- the operations' wire traffic ------------------------------------------------------------

TEST_F(StatusTest, GetPlayerVersionSendsYAndFillsVersionDateModel) {
    connect();
    // Payload from byte 4: version (11), date (8), model (13), then '.' at byte 36.
    const std::string text = "V1.23.45-RC20261208QN520-TUNARAZ";
    ASSERT_EQ(text.size(), 32u);
    player.onCommand(
        'Y', [&](auto &, size_t) { return FakePlayer::frame(Bytes(text.begin(), text.end())); });
    ASSERT_EQ(GetPlayerVersion(), 1);
    EXPECT_EQ(player.trace(), Trace({"probe"}) + kExchange64);
    EXPECT_EQ(player.writes().at(0), command({'Y'}));
    KSPlayerStatus out;
    std::memset(&out, 0x77, sizeof out);
    ASSERT_EQ(GetPlayerInfo(&out), 1);
    EXPECT_STREQ(out.version, "V1.23.45-RC");
    EXPECT_STREQ(out.date, "20261208");
    EXPECT_STREQ(out.model, "QN520-TUNARAZ");
}

TEST_F(StatusTest, GetPlayerVersionWithoutClosingMarkIsMinus6AndKeepsTheCache) {
    connect();
    Bytes reply = FakePlayer::frame(Bytes(32, 'A'));
    reply[36] = 'x';
    player.queueReply(reply);
    EXPECT_EQ(GetPlayerVersion(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -6);
    KSPlayerStatus out{};
    GetPlayerInfo(&out);
    EXPECT_STREQ(out.version, "");
}

TEST_F(StatusTest, FullStatusSends90SAndFillsEveryFieldFromItsOffset) {
    connect();
    Bytes reply(192);
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<uint8_t>(i < 11 ? i : 'A' + i % 26); // bytes 6..10 are numbers
    player.onCommand('S', [&](auto &, size_t requested) {
        EXPECT_EQ(requested, 192u);
        return reply;
    });
    ASSERT_EQ(KSUSB_GetPlayerStatus(), 1);
    EXPECT_EQ(player.trace(),
              (Trace{"probe", "ready10", "write 64", "done", "ready12", "read 192", "done"}));
    EXPECT_EQ(player.writes().at(0), command({0x90, 'S'}));

    KSPlayerStatus out;
    std::memset(&out, 0x77, sizeof out);
    ASSERT_EQ(GetPlayerInfo(&out), 1);
    const auto *raw = reinterpret_cast<const uint8_t *>(&out);
    EXPECT_EQ(raw[0], 6);
    EXPECT_EQ(raw[1], 7);
    EXPECT_EQ(raw[2], 9);
    EXPECT_EQ(raw[3], 0x77) << "the alignment byte is never written";
    EXPECT_EQ(out.reply8, 8u);
    EXPECT_EQ(out.reply10, 10u);
    struct Field {
        size_t recordOffset, replyOffset, length, fieldSize;
    };
    const Field fields[] = {{12, 11, 12, 256}, {268, 23, 54, 55}, {323, 77, 11, 80},
                            {403, 96, 13, 80}, {483, 88, 8, 80},  {563, 109, 20, 80},
                            {723, 129, 11, 80}};
    for (const Field &f : fields) {
        SCOPED_TRACE(f.recordOffset);
        EXPECT_TRUE(std::equal(reply.begin() + f.replyOffset,
                               reply.begin() + f.replyOffset + f.length, raw + f.recordOffset));
        for (size_t i = f.length; i < f.fieldSize; ++i)
            ASSERT_EQ(raw[f.recordOffset + i], 0) << "byte " << i << " of the field";
    }
    for (size_t i = 643; i < 723; ++i)
        ASSERT_EQ(raw[i], 0x77) << "spare keeps the caller's bytes";
}

TEST_F(StatusTest, GetPlayerInfoBeforeAnyReadIsZerosExceptSpare) {
    KSPlayerStatus out;
    std::memset(&out, 0x5A, sizeof out);
    EXPECT_EQ(GetPlayerInfo(&out), 1);
    const auto *raw = reinterpret_cast<const uint8_t *>(&out);
    for (size_t i = 0; i < sizeof out; ++i) {
        if (i == 3 || (i >= 643 && i < 723) || i >= 803) // alignment, spare, tail padding
            EXPECT_EQ(raw[i], 0x5A) << i;
        else
            ASSERT_EQ(raw[i], 0) << i;
    }
    EXPECT_TRUE(player.ops().empty()) << "it does not talk to the player";
    EXPECT_EQ(GetPlayerInfo(nullptr), 0);
}

// ---- flags ----------------------------------------------------------------------------------

struct FlagsCase {
    const char *name;
    Bytes reply;
    unsigned char expectedFlags;
    int expectedError; // 0: untouched
};
// Test names and failure messages show the row by its name.
void PrintTo(const FlagsCase &row, std::ostream *os) {
    *os << row.name;
}

class InvokePlayerFlags : public StatusTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(InvokePlayerFlags, ReturnFlagsAndSetTheirCodes) {
    connect();
    player.queueReply(GetParam().reply);
    EXPECT_EQ(InvokePlayer(), GetParam().expectedFlags);
    EXPECT_EQ(KSUSB_GetLastError(), GetParam().expectedError);
}

Bytes unclosed(uint8_t flags) {
    Bytes r = FakePlayer::frame({flags});
    r[5] = 'x';
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, InvokePlayerFlags,
    ::testing::Values(FlagsCase{"AllClear", FakePlayer::frame({0x00}), 0x00, 0},
                      FlagsCase{"NoCard", FakePlayer::frame({0x02}), 0x02, 0},
                      FlagsCase{"FullAndProtected", FakePlayer::frame({0x1C}), 0x1C, 0},
                      FlagsCase{"NotReady", FakePlayer::frame({0x80}), 0x80, -58},
                      // 0x80 wins: the closing mark is not looked at then.
                      FlagsCase{"NotReadyUnclosed", unclosed(0x82), 0x82, -58},
                      FlagsCase{"CardChanged", FakePlayer::frame({0x20}), 0x20, -59},
                      FlagsCase{"CardChangedUnclosed", unclosed(0x20), 0x20, -6},
                      FlagsCase{"Unclosed", unclosed(0x04), 0x04, -6}),
    [](const auto &row) { return std::string(row.param.name); });

// ---- error paths of every operation ----------------------------------------------------------

struct ErrorCase {
    const char *name;
    int (*operation)();
    void (*inject)(FakePlayer &);
    int expectedResult;
    int expectedError;
};
// Test names and failure messages show the row by its name.
void PrintTo(const ErrorCase &row, std::ostream *os) {
    *os << row.name;
}

class OperationErrors : public StatusTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(OperationErrors, FailWithTheirCode) {
    connect();
    player.setDefaultResponder(
        [](auto &, size_t n) { return FakePlayer::frame(Bytes(32, '.'), n); });
    GetParam().inject(player);
    EXPECT_EQ(GetParam().operation(), GetParam().expectedResult);
    EXPECT_EQ(KSUSB_GetLastError(), GetParam().expectedError);
}

int invoke() {
    return InvokePlayer();
}
void gone(FakePlayer &p) {
    p.faults().probeFails = true;
    p.faults().absent = true;
}
void writeFails(FakePlayer &p) {
    p.faults().writeFailures = 1;
}
void readFails(FakePlayer &p) {
    p.faults().readFailures = 1;
}
void shortRead(FakePlayer &p) {
    p.faults().shortRead = 100;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, OperationErrors,
    ::testing::Values(ErrorCase{"CheckConnectGone", KSUSB_CheckConnect, gone, 0, -40},
                      ErrorCase{"ReconnectGone", KSUSB_Reconnect, gone, 0, -40},
                      ErrorCase{"InvokeGone", invoke, gone, 0, -40},
                      ErrorCase{"InvokeSend", invoke, writeFails, 0, -2},
                      ErrorCase{"InvokeReceive", invoke, readFails, 0, -5},
                      ErrorCase{"VersionGone", GetPlayerVersion, gone, 0, -40},
                      ErrorCase{"VersionSend", GetPlayerVersion, writeFails, 0, -2},
                      ErrorCase{"VersionReceive", GetPlayerVersion, readFails, 0, -5},
                      ErrorCase{"StatusGone", KSUSB_GetPlayerStatus, gone, 0, -40},
                      ErrorCase{"StatusSend", KSUSB_GetPlayerStatus, writeFails, 0, -2},
                      ErrorCase{"StatusReceive", KSUSB_GetPlayerStatus, readFails, 0, -3},
                      // 100 of 192 bytes: the rest would be stale or zeros, so no success.
                      ErrorCase{"StatusShortReply", KSUSB_GetPlayerStatus, shortRead, 0, -3},
                      ErrorCase{"StopBeforeAnyTransfer", KSUSB_Stop, [](FakePlayer &) {}, 0, -22}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(StatusTest, FailedStatusReadKeepsThePreviousValues) {
    connect();
    Bytes reply(192, 'Q');
    player.queueReply(reply);
    ASSERT_EQ(KSUSB_GetPlayerStatus(), 1);
    player.faults().readFailures = 1;
    EXPECT_EQ(KSUSB_GetPlayerStatus(), 0);
    KSPlayerStatus out{};
    GetPlayerInfo(&out);
    EXPECT_STREQ(out.model, "QQQQQQQQQQQQQ");
}

// ---- memories -------------------------------------------------------------------------------

struct MemoryCase {
    const char *name;
    unsigned char mem;
    std::optional<uint8_t> flags; // nullopt: the 'I' exchange fails
    int expected;
    Trace expectedWire;
};
// Test names and failure messages show the row by its name.
void PrintTo(const MemoryCase &row, std::ostream *os) {
    *os << row.name;
}

class CheckMemory : public StatusTest, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(CheckMemory, AsksForFlagsOnlyForTheCard) {
    connect();
    if (GetParam().flags)
        player.queueReply(FakePlayer::frame({*GetParam().flags}));
    else
        player.faults().readFailures = 1;
    EXPECT_EQ(KSUSB_CheckMemory(GetParam().mem), GetParam().expected);
    EXPECT_EQ(player.wireTrace(), GetParam().expectedWire);
    if (GetParam().flags) {
        EXPECT_EQ(KSUSB_GetLastError(), 0) << "no code of its own";
    }
}

INSTANTIATE_TEST_SUITE_P(Memories, CheckMemory,
                         ::testing::Values(MemoryCase{"Flash", 'M', 0x02, 1, {}},
                                           MemoryCase{"CardPresent", 'S', 0x00, 1, kExchange64},
                                           MemoryCase{"CardAbsent", 'S', 0x02, 0, kExchange64},
                                           // A failed exchange must not pass for "card present".
                                           MemoryCase{"CardExchangeFails",
                                                      'S',
                                                      std::nullopt,
                                                      0,
                                                      {"ready10", "write 64", "done", "ready12",
                                                       "read 64"}}),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- connection -----------------------------------------------------------------------------

TEST_F(StatusTest, DevicePathIsTheOpenPlayersAndSafeWithoutOne) {
    char path[256];
    std::memset(path, 'x', sizeof path);
    EXPECT_EQ(GetDevicePID(path), 1);
    EXPECT_STREQ(path, "");
    connect();
    EXPECT_EQ(GetDevicePID(path), 1);
    EXPECT_STREQ(path, "fake:1-1");
    EXPECT_EQ(GetDevicePID(nullptr), 0);
}

TEST_F(StatusTest, ReconnectClosesAndOpens) {
    connect();
    EXPECT_EQ(KSUSB_Reconnect(), 1);
    EXPECT_EQ(player.trace(), (Trace{"release", "close", "enumerate", "open"}));
}

TEST_F(StatusTest, PlayerPresentOnlyEnumerates) {
    connect();
    EXPECT_EQ(KSUSB_PlayerPresent(), 1);
    player.faults().absent = true;
    EXPECT_EQ(KSUSB_PlayerPresent(), 0);
    EXPECT_EQ(player.trace(), (Trace{"enumerate", "enumerate"}));
    EXPECT_TRUE(kestousb::pipesOpen()) << "the open connection is not touched";
}

// ---- stop -----------------------------------------------------------------------------------

TEST_F(StatusTest, StopSignalsPausesReconnectsAndWaitsForTheAbort) {
    connect();
    kestousb::createStopEvent();
    EXPECT_EQ(KSUSB_Stop(), 1);
    EXPECT_EQ(player.trace(),
              (Trace{"sleep 1000", "release", "close", "enumerate", "open", "abort"}));
    EXPECT_TRUE(kestousb::takeStopEvent());
}

TEST_F(StatusTest, StopReportsAnAbortThatNeverCompletes) {
    connect();
    kestousb::createStopEvent();
    player.setPollAnswer(0x00);
    player.clock().setStep(5000);
    EXPECT_EQ(KSUSB_Stop(), 0);
}

} // namespace
