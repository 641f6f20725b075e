// The connection and status operations against the fake player: bytes on the wire, the polls
// around each transfer, the status cache and every error path.
#include "fake_player.h"

#include "KestoUSB.h"
#include "status.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstring>

using kestousb::test::Bytes;
using kestousb::test::FakePlayer;
using Trace = std::vector<std::string>;

namespace {

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestousb::setLastErrorCode(0);
        kestousb::resetStatusCacheForTesting();
        kestousb::resetStopEventForTesting();
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

} // namespace
