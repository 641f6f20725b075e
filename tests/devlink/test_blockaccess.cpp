// KSUSB_PhysicalBlockAccess against the fake player: packets, replies, failures.
#include "test_download_support.h"

using namespace kestousb;
using namespace kestousb::test;

namespace {

// 64 reply bytes 0x80, 0x81, ...: raw data, no framing.
Bytes rawReply() {
    Bytes r(64);
    for (size_t i = 0; i < r.size(); ++i)
        r[i] = uint8_t(0x80 + i);
    return r;
}

struct OpCase {
    const char *name;
    unsigned char mem;
    unsigned char op;
    uint32_t address;
    size_t packetBytes;
    size_t closeAt; // offset of the '.'
    bool readsReply;
    size_t copied; // bytes of the reply copied into the caller's buffer
};
class BlockAccess : public TransferTest, public testing::WithParamInterface<OpCase> {};

TEST_P(BlockAccess, PacketAndReply) {
    const OpCase &c = GetParam();
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({0x00}); });
    player.onCommand(c.op, [](auto &, size_t) { return rawReply(); });
    uint8_t buffer[64];
    for (size_t i = 0; i < sizeof buffer; ++i)
        buffer[i] = uint8_t(i); // data for 'x' and 'w'; a marker for what is not copied
    player.clearOps();

    ASSERT_EQ(KSUSB_PhysicalBlockAccess(c.mem, c.address, c.op, buffer), 1);

    Bytes packet;
    for (const Bytes &w : player.writes())
        if (w.size() >= 6 && w[5] == c.op)
            packet = w;
    ASSERT_EQ(packet.size(), c.packetBytes);
    Bytes head = {'#',
                  0,
                  0x12,
                  ':',
                  c.mem,
                  c.op,
                  uint8_t(c.address >> 24),
                  uint8_t(c.address >> 16),
                  uint8_t(c.address >> 8),
                  uint8_t(c.address)};
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 10), head);
    EXPECT_EQ(packet[c.closeAt], '.');
    for (size_t i = 10; i < c.closeAt; ++i)
        EXPECT_EQ(packet[i], uint8_t(i - 10)) << "data byte " << i;
    for (size_t i = c.closeAt + 1; i < packet.size(); ++i)
        EXPECT_EQ(packet[i], 0) << "fill byte " << i;

    auto wire = player.wireTrace();
    std::vector<std::string> expectedTail = {"ready10", "write " + std::to_string(c.packetBytes),
                                             "done"};
    if (c.readsReply)
        expectedTail.insert(expectedTail.end(), {"ready12", "read 64", "done"});
    ASSERT_GE(wire.size(), expectedTail.size());
    EXPECT_EQ(tail(wire, wire.size() - expectedTail.size()), expectedTail);

    const Bytes reply = rawReply();
    for (size_t i = 0; i < 64; ++i)
        EXPECT_EQ(buffer[i], i < c.copied ? reply[i] : uint8_t(i)) << "buffer byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Flash, BlockAccess,
                         testing::Values(
                             // address 0x1234 goes out as 00 00 12 34 at offsets 6-9
                             OpCase{"read64", 'M', 'r', 0x1234, 64, 10, true, 64},
                             OpCase{"readSpare", 'M', 's', 0x200, 64, 10, true, 16},
                             OpCase{"readCard", 'S', 'r', 0xA1B2C3D4, 64, 10, true, 64},
                             OpCase{"writeSpare", 'M', 'x', 0x400, 64, 26, true, 0},
                             // 64 data bytes after the address and the '.' at 74: two blocks
                             OpCase{"write64", 'M', 'w', 0x40, 128, 74, true, 0},
                             OpCase{"otherLetterOnlySends", 'S', 'q', 7, 64, 10, false, 0}),
                         [](const auto &row) { return row.param.name; });

struct FailCase {
    const char *name;
    unsigned char op;
    enum { WriteFails, ShortWrite, ReadFails, ShortRead, NullBuffer } fault;
    std::vector<std::string> wire; // a failed transfer ends the exchange: no poll after it
};
const std::vector<std::string> kWriteFailWire = {"ready10", "write 64"};
const std::vector<std::string> kReadFailWire = {"ready10", "write 64", "done", "ready12",
                                                "read 64"};
class BlockAccessFailure : public TransferTest, public testing::WithParamInterface<FailCase> {};

TEST_P(BlockAccessFailure, GivesMinusTwoAndLeavesTheBufferAlone) {
    const FailCase &c = GetParam();
    player.onCommand(c.op, [](auto &, size_t) { return rawReply(); });
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    switch (c.fault) {
    case FailCase::WriteFails:
        player.faults().writeFailures = 1;
        break;
    case FailCase::ShortWrite:
        player.faults().shortWrite = 10;
        break;
    case FailCase::ReadFails:
        player.faults().readFailures = 1;
        break;
    case FailCase::ShortRead:
        player.faults().shortRead = 10; // a reply that arrives short is not data
        break;
    case FailCase::NullBuffer:
        break;
    }
    uint8_t buffer[64];
    std::memset(buffer, 0x5A, sizeof buffer);
    player.clearOps();
    EXPECT_EQ(KSUSB_PhysicalBlockAccess('M', 0x100, c.op,
                                        c.fault == FailCase::NullBuffer ? nullptr : buffer),
              0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_SEND);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0x5A);
    if (c.fault == FailCase::NullBuffer) {
        EXPECT_TRUE(player.trace().empty());
    } else {
        EXPECT_EQ(player.wireTrace(), c.wire);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flash, BlockAccessFailure,
    testing::Values(FailCase{"writeFails", 'r', FailCase::WriteFails, kWriteFailWire},
                    FailCase{"shortWrite", 'r', FailCase::ShortWrite, kWriteFailWire},
                    FailCase{"readFails", 'r', FailCase::ReadFails, kReadFailWire},
                    FailCase{"spareReadFails", 's', FailCase::ReadFails, kReadFailWire},
                    FailCase{"shortRead", 'r', FailCase::ShortRead, kReadFailWire},
                    FailCase{"ackFails", 'x', FailCase::ReadFails, kReadFailWire},
                    FailCase{"nullBuffer", 'r', FailCase::NullBuffer, {}},
                    FailCase{"nullSpareData", 'x', FailCase::NullBuffer, {}}),
    [](const auto &row) { return row.param.name; });

TEST_F(TransferTest, BlockAccessOnAbsentCard) {
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({KSUSB_FLAG_NO_CARD}); });
    uint8_t buffer[64] = {};
    EXPECT_EQ(KSUSB_PhysicalBlockAccess('S', 0, 'r', buffer), 0);
    for (const Bytes &w : player.writes())
        EXPECT_NE(w[5], 'r');
}

} // namespace
