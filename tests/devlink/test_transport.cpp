// The transport against the fake player: packet framing, the handshake polls and their 10 s
// limit on an injected clock, the command exchange and the connection's open/close/probe paths.
#include "fake_player.h"

#include "KestoUSB.h"
#include "library_state.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <ostream>

using kestousb::test::Bytes;
using kestousb::test::FakeOp;
using kestousb::test::FakePlayer;
using Trace = std::vector<std::string>;
namespace ku = kestousb;

namespace {

// ---- framing --------------------------------------------------------------------------------

struct FrameCase {
    const char *name;
    size_t bodySize;
    size_t expectedLength; // buildPacket's result
    size_t expectedBlock;  // bytes that go on the wire
};
// Test names and failure messages show the row by its name.
void PrintTo(const FrameCase &row, std::ostream *os) {
    *os << row.name;
}

class PacketFraming : public ::testing::TestWithParam<FrameCase> {};

TEST_P(PacketFraming, FramesBodyAndFillsWholeBlocksWithZeros) {
    const FrameCase &c = GetParam();
    Bytes body(c.bodySize);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(0xA0 + i % 16);
    Bytes out(512, 0xEE);
    const size_t length = ku::buildPacket(out, body);
    ASSERT_EQ(length, c.expectedLength);
    EXPECT_EQ(ku::blockAligned(length), c.expectedBlock);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(out[2], c.bodySize + 2); // ':' body '.'
    EXPECT_EQ(out[3], ':');
    EXPECT_TRUE(std::equal(body.begin(), body.end(), out.begin() + 4));
    EXPECT_EQ(out[4 + c.bodySize], '.');
    for (size_t i = length; i < c.expectedBlock; ++i)
        ASSERT_EQ(out[i], 0) << "fill byte " << i;
    for (size_t i = c.expectedBlock; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xEE) << "written past the block at " << i;
}

INSTANTIATE_TEST_SUITE_P(Lengths, PacketFraming,
                         ::testing::Values(FrameCase{"I", 1, 6, 64}, FrameCase{"Status", 2, 7, 64},
                                           FrameCase{"Exactly64", 59, 64, 64},
                                           FrameCase{"Exactly65", 60, 65, 128},
                                           FrameCase{"Exactly128", 123, 128, 128},
                                           FrameCase{"LargestL", 253, 258, 320}),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(PacketFramingLimits, RefusesWhatDoesNotFit) {
    Bytes out(512, 0xEE);
    Bytes tooLong(254); // L would be 256
    EXPECT_EQ(ku::buildPacket(out, tooLong), 0u);
    Bytes small(64, 0xEE);
    Bytes body60(60); // 65 bytes need two blocks
    EXPECT_EQ(ku::buildPacket(small, body60), 0u);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0xEE; }));
}

// ---- fixture --------------------------------------------------------------------------------

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override { ku::setLastErrorCode(0); }
    void connect() {
        ASSERT_EQ(KSUSB_CheckConnect(), 1);
        player.clearOps();
        ku::setLastErrorCode(0);
    }
    static Bytes iPacket() {
        Bytes p(64);
        const uint8_t body[] = {'I'};
        ku::buildPacket(p, body);
        return p;
    }
    FakePlayer player;
};

const Trace kReopen = {"release", "close", "enumerate", "open"};

Trace operator+(Trace a, const Trace &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- polls ----------------------------------------------------------------------------------

struct PollCase {
    const char *name;
    bool (*poll)();
    uint8_t request;
    uint16_t value, index;
};
// Test names and failure messages show the row by its name.
void PrintTo(const PollCase &row, std::ostream *os) {
    *os << row.name;
}

class PollRequests : public TransportTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollRequests, SendRequestValueIndexUntilReady) {
    connect();
    int answers = 0;
    player.setPollHandler([&](uint8_t, uint16_t, uint16_t) {
        return ++answers < 4 ? uint8_t{0x00} : uint8_t{0x40}; // busy three times, then ready
    });
    EXPECT_TRUE(GetParam().poll());
    const auto ops = player.ops();
    ASSERT_EQ(ops.size(), 4u);
    for (const FakeOp &op : ops) {
        EXPECT_EQ(op.kind, FakeOp::Kind::Vendor);
        EXPECT_EQ(op.request, GetParam().request);
        EXPECT_EQ(op.value, GetParam().value);
        EXPECT_EQ(op.index, GetParam().index);
    }
}

TEST_P(PollRequests, GiveUpAfterMoreThanTenSecondsOfTicks) {
    connect();
    player.setPollAnswer(0x00);
    player.clock().setStep(1000); // each tick read moves the clock 1 s on
    EXPECT_FALSE(GetParam().poll());
    // Start at t, then requests at t+1 s ... the first answer read after more than 10 s ends it:
    // 10 000 ms is still within the limit, so eleven requests are made.
    EXPECT_EQ(player.ops().size(), 11u);
    EXPECT_EQ(KSUSB_GetLastError(), 0) << "a poll time-out is silent";
}

// The poll's requests and pauses in order: "ok" / "failed" per request, "sleep N" per pause.
Trace pollSteps(const FakePlayer &player) {
    Trace steps;
    for (const FakeOp &op : player.ops())
        steps.push_back(op.kind == FakeOp::Kind::Sleep ? "sleep " + std::to_string(op.size)
                        : op.ok                        ? "ok"
                                                       : "failed");
    return steps;
}

TEST_P(PollRequests, KeepAskingWhenTheRequestFailsAfterAPause) {
    connect();
    player.faults().vendorFails = true;
    player.clock().setStep(2500);
    EXPECT_FALSE(GetParam().poll());
    // 2.5, 5, 7.5, 10 s are within; 12.5 s is not. No pause after the last request.
    EXPECT_EQ(pollSteps(player), (Trace{"failed", "sleep 1", "failed", "sleep 2", "failed",
                                        "sleep 4", "failed", "sleep 8", "failed"}));
}

TEST_P(PollRequests, PausesGrowWhileRequestsFailAndEndWithAnAnswer) {
    connect();
    player.faults().vendorFailures = 5;
    int answered = 0;
    player.setPollHandler([&](uint8_t, uint16_t, uint16_t) {
        if (++answered == 1) {
            player.faults().vendorFailures = 1; // one more failure after a busy answer
            return uint8_t{0x00};
        }
        return uint8_t{0x40};
    });
    EXPECT_TRUE(GetParam().poll());
    EXPECT_EQ(pollSteps(player),
              (Trace{"failed", "sleep 1", "failed", "sleep 2", "failed", "sleep 4", "failed",
                     "sleep 8", "failed", "sleep 8", "ok", "failed", "sleep 1", "ok"}));
}

TEST_P(PollRequests, FailAtOnceWithoutConnection) {
    ku::resetLibraryForTesting(ku::library().injected());
    EXPECT_FALSE(GetParam().poll());
    EXPECT_TRUE(player.ops().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Polls, PollRequests,
    ::testing::Values(
        PollCase{"ReadyCommand", [] { return ku::waitReady(ku::Phase::Command); }, 10, 0, 0},
        PollCase{"ReadyStream", [] { return ku::waitReady(ku::Phase::Stream); }, 11, 0, 0},
        PollCase{"ReadyReply", [] { return ku::waitReady(ku::Phase::Reply); }, 12, 0, 0},
        PollCase{"Done", ku::waitDone, 10, 0, 0xFFFF},
        PollCase{"AbortDone", ku::waitAbortDone, 10, 0xFFFF, 0xFFFF}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(TransportTest, ExchangeGoesOnAfterAPollTimesOut) {
    connect();
    player.setPollAnswer(0x00);
    player.clock().setStep(5000);
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({0x00}); });
    Bytes reply(64);
    const Bytes packet = iPacket();
    EXPECT_TRUE(ku::commandExchange(packet.data(), 64, reply.data(), 64, -2, -5));
    EXPECT_EQ(reply, FakePlayer::frame({0x00}));
    EXPECT_EQ(KSUSB_GetLastError(), 0);
}

// ---- command exchange -----------------------------------------------------------------------

TEST_F(TransportTest, ExchangePollsAroundEachTransfer) {
    connect();
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({0x12}); });
    Bytes reply(64);
    const Bytes packet = iPacket();
    ASSERT_TRUE(ku::commandExchange(packet.data(), 64, reply.data(), 64, -2, -5));
    EXPECT_EQ(player.trace(), (Trace{"ready10", "write 64", "done", "ready12", "read 64", "done"}));
    EXPECT_EQ(player.writes().at(0), packet);
}

struct ExchangeFault {
    const char *name;
    void (*inject)(FakePlayer::Faults &);
    int expectedError;
    Trace expectedTrace;
    bool reopened = true;
};
// Test names and failure messages show the row by its name.
void PrintTo(const ExchangeFault &row, std::ostream *os) {
    *os << row.name;
}

class ExchangeFaults : public TransportTest, public ::testing::WithParamInterface<ExchangeFault> {};

TEST_P(ExchangeFaults, StoreTheCallersCodeAfterReconnecting) {
    connect();
    player.setDefaultResponder([](auto &, size_t) { return FakePlayer::frame({0x00}); });
    GetParam().inject(player.faults());
    Bytes reply(64);
    const Bytes packet = iPacket();
    EXPECT_FALSE(ku::commandExchange(packet.data(), 64, reply.data(), 64, -2, -5));
    EXPECT_EQ(KSUSB_GetLastError(), GetParam().expectedError);
    EXPECT_EQ(player.trace(), GetParam().expectedTrace);
    EXPECT_EQ(ku::pipesOpen(), GetParam().reopened);
}

const Trace kWriteFailed = Trace{"ready10", "write 64"} + kReopen;
const Trace kReadFailed = Trace{"ready10", "write 64", "done", "ready12", "read 64"} + kReopen;

INSTANTIATE_TEST_SUITE_P(
    Faults, ExchangeFaults,
    ::testing::Values(
        ExchangeFault{"WriteFails", [](auto &f) { f.writeFailures = 1; }, -2, kWriteFailed},
        ExchangeFault{"WriteShort", [](auto &f) { f.shortWrite = 63; }, -2, kWriteFailed},
        ExchangeFault{"ReadFails", [](auto &f) { f.readFailures = 1; }, -5, kReadFailed},
        ExchangeFault{"ReadShort", [](auto &f) { f.shortRead = 6; }, -5, kReadFailed},
        // The reopen after the failure does not succeed: the caller's code still wins over -40.
        ExchangeFault{"WriteFailsAndPlayerGone",
                      [](auto &f) {
                          f.writeFailures = 1;
                          f.openFailures = 1;
                      },
                      -2, Trace{"ready10", "write 64", "release", "close", "enumerate", "open"},
                      false}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(TransportTest, ReadNeverRunsPastTheReplyBuffer) {
    connect();
    // The player sends more than asked for: only the requested bytes may land.
    player.onCommand('I', [](auto &, size_t) { return Bytes(256, 0x55); });
    Bytes reply(80, 0xEE);
    const Bytes packet = iPacket();
    ASSERT_TRUE(ku::commandExchange(packet.data(), 64, reply.data(), 64, -2, -5));
    EXPECT_TRUE(
        std::all_of(reply.begin(), reply.begin() + 64, [](uint8_t b) { return b == 0x55; }));
    EXPECT_TRUE(std::all_of(reply.begin() + 64, reply.end(), [](uint8_t b) { return b == 0xEE; }));
}

// ---- result request -------------------------------------------------------------------------

TEST_F(TransportTest, FetchResultRequestsWithFAndReadsTheFlags) {
    connect();
    player.onCommand('F', [](auto &, size_t) { return FakePlayer::frame({0x02}); });
    uint8_t reply[64];
    ASSERT_TRUE(ku::fetchResult(reply));
    EXPECT_EQ(reply[4], 0x02);
    EXPECT_EQ(reply[5], '.');
    EXPECT_EQ(player.trace(),
              (Trace{"ready10", "probe", "write 64", "done", "ready12", "read 64", "done"}));
    Bytes expected(64, 0);
    expected[0] = '#';
    expected[2] = 3;
    expected[3] = ':';
    expected[4] = 'F';
    expected[5] = '.';
    EXPECT_EQ(player.writes().at(0), expected);
}

TEST_F(TransportTest, FetchResultCodes) {
    connect();
    player.onCommand('F', [](auto &, size_t) { return FakePlayer::frame({0x00}); });
    uint8_t reply[64];

    player.faults().writeFailures = 1;
    EXPECT_FALSE(ku::fetchResult(reply));
    EXPECT_EQ(KSUSB_GetLastError(), -4);

    player.faults().readFailures = 1;
    EXPECT_FALSE(ku::fetchResult(reply));
    EXPECT_EQ(KSUSB_GetLastError(), -5);

    // Not connected and not to be found: the request is never written.
    player.faults().probeFails = true;
    player.faults().absent = true;
    player.clearOps();
    EXPECT_FALSE(ku::requestResult());
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    for (const FakeOp &op : player.ops())
        EXPECT_NE(op.kind, FakeOp::Kind::Write);
}

// ---- connection -----------------------------------------------------------------------------

TEST_F(TransportTest, OpenWithoutPlayerIsMinus40AtOnce) {
    player.faults().absent = true;
    EXPECT_FALSE(ku::openPipes());
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    EXPECT_FALSE(ku::pipesOpen());
    EXPECT_EQ(ku::devicePath(), "");
    EXPECT_EQ(KSUSB_CheckConnect(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -40);
}

TEST_F(TransportTest, OpenSkipsAPlayerThatDoesNotOpen) {
    FakePlayer second("fake:2-1", false);
    player.faults().openFailures = 1;
    ku::TestInjection both = ku::library().injected();
    both.backends = {&player, &second};
    ku::library().inject(both);
    ASSERT_TRUE(ku::openPipes());
    EXPECT_EQ(ku::devicePath(), "fake:2-1");
    both.backends = {&player};
    ku::library().inject(both);
}

TEST_F(TransportTest, FailedCloseIsMinus41AndLeavesTheConnectionClosed) {
    connect();
    player.faults().closeFailures = 1;
    EXPECT_FALSE(ku::closePipes());
    EXPECT_EQ(KSUSB_GetLastError(), -41);
    EXPECT_FALSE(ku::pipesOpen());
    EXPECT_EQ(player.trace(), (Trace{"release", "close"}));
    EXPECT_EQ(player.openConnections(), 0);
    // Closing again has nothing to close and cannot fail.
    ku::setLastErrorCode(0);
    EXPECT_TRUE(ku::closePipes());
    EXPECT_EQ(KSUSB_GetLastError(), 0);
}

TEST_F(TransportTest, ProbeFailsWithMinus45WhenClosedOrUnanswered) {
    EXPECT_FALSE(ku::probeLink());
    EXPECT_EQ(KSUSB_GetLastError(), -45);
    connect();
    EXPECT_TRUE(ku::probeLink());
    player.faults().probeFails = true;
    EXPECT_FALSE(ku::probeLink());
    EXPECT_EQ(KSUSB_GetLastError(), -45);
}

TEST_F(TransportTest, CheckConnectReopensAfterAFailedProbe) {
    connect();
    player.faults().probeFails = true;
    EXPECT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(player.trace(), Trace{"probe"} + kReopen);
    EXPECT_EQ(KSUSB_GetLastError(), -45) << "a success does not clear the last error";
    EXPECT_EQ(player.openConnections(), 1);
}

TEST_F(TransportTest, PipeFailureReconnectsAndReportsWhatMoved) {
    connect();
    player.faults().shortWrite = 10;
    Bytes block(512, 0x11);
    size_t moved = 0;
    // A short write is no failure of the pipe itself: the workers judge the count.
    EXPECT_TRUE(ku::pipeWrite(block.data(), block.size(), &moved));
    EXPECT_EQ(moved, 10u);
    player.faults().writeFailures = 1;
    EXPECT_FALSE(ku::pipeWrite(block.data(), block.size(), &moved));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(player.trace(), Trace({"write 512", "write 512"}) + kReopen);
    EXPECT_EQ(KSUSB_GetLastError(), 0) << "pipes set no code of their own";
}

// ---- stop event -----------------------------------------------------------------------------

TEST(StopEvent, IsAutoResetAndKeepsASignalUntilTaken) {
    ku::resetLibraryForTesting();
    EXPECT_FALSE(ku::stopEventExists());
    ku::createStopEvent();
    EXPECT_TRUE(ku::stopEventExists());
    EXPECT_FALSE(ku::takeStopEvent());
    ku::signalStopEvent();
    ku::createStopEvent(); // a later transfer start keeps the pending signal
    EXPECT_TRUE(ku::takeStopEvent());
    EXPECT_FALSE(ku::takeStopEvent()) << "taking it resets it";
}

// ---- error names ----------------------------------------------------------------------------

TEST(ErrorNames, EveryCodeHasItsNameAndUnknownCodesAreSafe) {
    const std::pair<int, const char *> cases[] = {{-2, "KSUSB_ERR_SEND"},
                                                  {-40, "KSUSB_ERR_NOT_CONNECTED"},
                                                  {-45, "KSUSB_ERR_PROBE"},
                                                  {-58, "KSUSB_ERR_PLAYER_NOT_READY"},
                                                  {-61, "KSUSB_ERR_WRITE_PROTECTED"},
                                                  {0, "KSUSB_OK"},
                                                  {-1, "KSUSB_ERR_UNKNOWN"},
                                                  {12345, "KSUSB_ERR_UNKNOWN"}};
    for (const auto &[code, name] : cases)
        EXPECT_STREQ(KSUSB_ErrorName(code), name) << code;
}

} // namespace
