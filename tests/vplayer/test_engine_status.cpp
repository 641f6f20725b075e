// The player's engine in-process: polls, standard requests, 'I', 'Y', the 192-byte status, the
// result reply, flags, malformed packets, pipe faults and the state folder.
#include "host_side.h"

#include <gtest/gtest.h>

using namespace hosttest;
using vplayer::Engine;
using vplayer::Fault;
using vplayer::UrbStatus;

namespace {

TEST(EngineStatus, FreshFolderGetsDefaultsAndCleanImages) {
    StateDir dir;
    std::filesystem::remove(dir.path() / "player.ini");
    std::filesystem::remove(dir.path());
    {
        Engine engine(dir.path());
        ASSERT_TRUE(engine.ok()) << engine.loadError();
        Host host(engine);
        const Bytes y = host.exchange(bytesOf("Y"));
        EXPECT_EQ(std::string(y.begin() + 4, y.begin() + 15), "1.00.00.K5 ");
        EXPECT_EQ(std::string(y.begin() + 15, y.begin() + 23), "20050718");
        EXPECT_EQ(std::string(y.begin() + 23, y.begin() + 36), "QN520        ");
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "flash.img"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "card.img"));
    std::ifstream ini(dir.path() / "player.ini");
    const std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_NE(text.find("Model=QN520"), std::string::npos);
    EXPECT_NE(text.find("CardPresent=1"), std::string::npos);
}

TEST(EngineStatus, IniValuesReachTheReplies) {
    StateDir dir("Model=QN70 EXTRA LONG NAME\nVersion=2.1\nDate=20061231\n");
    Engine engine(dir.path());
    ASSERT_TRUE(engine.ok());
    Host host(engine);
    const Bytes y = host.exchange(bytesOf("Y"));
    EXPECT_EQ(y[2], 34); // L counts offsets 3..36
    EXPECT_EQ(std::string(y.begin() + 4, y.begin() + 15), "2.1        ");
    EXPECT_EQ(std::string(y.begin() + 15, y.begin() + 23), "20061231");
    EXPECT_EQ(std::string(y.begin() + 23, y.begin() + 36), "QN70 EXTRA LO"); // 13 bytes
    EXPECT_EQ(y[36], '.');

    const Bytes s = host.exchange({0x90, 'S'}, 192);
    ASSERT_EQ(s.size(), 192u);
    EXPECT_EQ(std::string(s.begin() + 77, s.begin() + 88), "2.1        ");
    EXPECT_EQ(std::string(s.begin() + 88, s.begin() + 96), "20061231");
    EXPECT_EQ(std::string(s.begin() + 96, s.begin() + 109), "QN70 EXTRA LO");
}

TEST(EngineStatus, StateFolderRoundTripKeepsCardAndProtection) {
    StateDir dir;
    {
        Engine engine(dir.path());
        engine.setCardPresent(false);
        engine.setWriteProtected(true);
    }
    Engine again(dir.path());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.statusFlags() & 0x02, 0x02);
    again.setCardPresent(true);
    Engine third(dir.path());
    EXPECT_EQ(third.statusFlags() & (0x02 | 0x10), 0x10);
}

TEST(EngineStatus, UnreadableImageLeavesThePlayerUnplugged) {
    StateDir dir;
    std::ofstream(dir.path() / "flash.img") << "not a FAT volume";
    Engine engine(dir.path());
    EXPECT_FALSE(engine.ok());
    EXPECT_FALSE(engine.loadError().empty());
    EXPECT_FALSE(engine.plugged());
    engine.setPlugged(true);
    EXPECT_FALSE(engine.plugged());
    Host host(engine);
    EXPECT_EQ(host.poll(10), -1);
}

struct PollCase {
    const char *name;
    bool busy;
    bool neverReady;
    int answer;
};

class Polls : public ::testing::TestWithParam<PollCase> {};

TEST_P(Polls, AnswerReadyOnlyWhenThePlayerIs) {
    StateDir dir;
    Engine engine(dir.path());
    engine.setBusy(GetParam().busy);
    engine.setNeverReady(GetParam().neverReady);
    Host host(engine);
    for (int phase : {10, 11, 12})
        EXPECT_EQ(host.poll(static_cast<uint8_t>(phase)), GetParam().answer) << phase;
    EXPECT_EQ(host.poll(10, 0, 0xFFFF), GetParam().answer);
    EXPECT_EQ(host.poll(10, 0xFFFF, 0xFFFF), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(All, Polls,
                         ::testing::Values(PollCase{"ready", false, false, 0x40},
                                           PollCase{"busy", true, false, 0x00},
                                           PollCase{"neverReady", false, true, 0x00}),
                         [](const auto &tpi) { return std::string(tpi.param.name); });

struct ControlCase {
    const char *name;
    vplayer::Setup setup;
    UrbStatus status;
    std::vector<uint8_t> prefix; // first bytes of the answer
};

class ControlRequests : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlRequests, AnswerAsTheDeviceDoes) {
    StateDir dir;
    Engine engine(dir.path());
    std::vector<uint8_t> buf(255, 0xAA);
    size_t actual = 0;
    const auto &c = GetParam();
    const auto st = engine.control(c.setup, std::span(buf).first(c.setup.wLength), actual);
    EXPECT_EQ(st, c.status);
    if (st == UrbStatus::Ok) {
        ASSERT_GE(actual, c.prefix.size());
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), buf.begin()));
        EXPECT_LE(actual, c.setup.wLength);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, ControlRequests,
    ::testing::Values(
        ControlCase{"linkProbe", {0x80, 0, 0, 0, 2}, UrbStatus::Ok, {0, 0}},
        ControlCase{"deviceDescriptor",
                    {0x80, 6, 0x0100, 0, 18},
                    UrbStatus::Ok,
                    {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00}},
        ControlCase{"configHeaderOnly", {0x80, 6, 0x0200, 0, 9}, UrbStatus::Ok, {9, 2, 32, 0}},
        ControlCase{"configWhole",
                    {0x80, 6, 0x0200, 0, 255},
                    UrbStatus::Ok,
                    {9, 2, 32, 0, 1,    1, 0,    0xC0, 50, 9, 4, 0,    0, 2,    0xFF, 0,
                     0, 0, 7,  5, 0x01, 2, 0x00, 0x02, 0,  7, 5, 0x82, 2, 0x00, 0x02, 0}},
        ControlCase{"unknownString", {0x80, 6, 0x0309, 0, 255}, UrbStatus::Stall, {}},
        ControlCase{"setConfiguration", {0x00, 9, 1, 0, 0}, UrbStatus::Ok, {}},
        ControlCase{"unknownVendorRequest", {0xC0, 13, 0, 0, 1}, UrbStatus::Stall, {}},
        ControlCase{"vendorOut", {0x40, 10, 0, 0, 0}, UrbStatus::Stall, {}},
        ControlCase{"pollWithoutRoom", {0xC0, 10, 0, 0, 0}, UrbStatus::Stall, {}},
        ControlCase{"classRequest", {0xA1, 1, 0, 0, 1}, UrbStatus::Stall, {}}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

struct FlagCase {
    const char *name;
    void (*steer)(Engine &);
    uint8_t flags;
};

class Flags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(Flags, ReportedInTheStatusAndResultReplies) {
    StateDir dir;
    Engine engine(dir.path());
    GetParam().steer(engine);
    Host host(engine);
    const Bytes i = host.exchange(bytesOf("I"));
    EXPECT_EQ(i[0], '#');
    EXPECT_EQ(i[2], 3);
    EXPECT_EQ(i[3], ':');
    EXPECT_EQ(i[4], GetParam().flags);
    EXPECT_EQ(i[5], '.');
    const Bytes r = host.result();
    EXPECT_EQ(r[4], GetParam().flags & ~0x20); // card changed is reported once
    EXPECT_EQ(r[5], '.');
}

INSTANTIATE_TEST_SUITE_P(
    All, Flags,
    ::testing::Values(FlagCase{"none", [](Engine &) {}, 0x00},
                      FlagCase{"cardOut", [](Engine &e) { e.setCardPresent(false); }, 0x22},
                      FlagCase{"protected", [](Engine &e) { e.setWriteProtected(true); }, 0x10},
                      FlagCase{"protectedNoCard",
                               [](Engine &e) {
                                   e.setWriteProtected(true);
                                   e.setCardPresent(false);
                                   e.clearFlags(0x20);
                               },
                               0x02},
                      FlagCase{"busy", [](Engine &e) { e.setBusy(true); }, 0x40},
                      FlagCase{"fullFlash", [](Engine &e) { e.setFull('M', true); }, 0x08},
                      FlagCase{"fullCard", [](Engine &e) { e.setFull('S', true); }, 0x04},
                      FlagCase{"stickyNotReady", [](Engine &e) { e.setFlags(0x80); }, 0x80},
                      FlagCase{"stickySetThenCleared",
                               [](Engine &e) {
                                   e.setFlags(0x81);
                                   e.clearFlags(0x80);
                               },
                               0x01}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineStatus, CardChangedIsReportedOnce) {
    StateDir dir;
    Engine engine(dir.path());
    engine.setCardPresent(false);
    engine.setCardPresent(true);
    Host host(engine);
    EXPECT_EQ(host.exchange(bytesOf("I"))[4], 0x20);
    EXPECT_EQ(host.exchange(bytesOf("I"))[4], 0x00);
}

struct MalformedCase {
    const char *name;
    Bytes packet;
};

class Malformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, IsIgnoredAndTheNextCommandWorks) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    Bytes p = GetParam().packet;
    p.resize(64, 0);
    EXPECT_EQ(host.write(p), UrbStatus::Ok);
    UrbStatus st = UrbStatus::Ok;
    host.read(64, &st);
    EXPECT_EQ(st, UrbStatus::Pending); // no reply
    EXPECT_EQ(engine.counters().rejectedPackets, 1u);
    const Bytes i = host.exchange(bytesOf("I"));
    EXPECT_EQ(i[5], '.');
}

INSTANTIATE_TEST_SUITE_P(
    All, Malformed,
    ::testing::Values(MalformedCase{"noHash", {'!', 0, 3, ':', 'I', '.'}},
                      MalformedCase{"noColon", {'#', 0, 3, ';', 'I', '.'}},
                      MalformedCase{"secondByteSet", {'#', 1, 3, ':', 'I', '.'}},
                      MalformedCase{"unknownCommand", {'#', 0, 3, ':', 'Q', '.'}},
                      MalformedCase{"unknownMemory", {'#', 0, 4, ':', 'X', 'G', '.'}},
                      MalformedCase{"noClosingMark", {'#', 0, 3, ':', 'I', 'x'}},
                      MalformedCase{"unknownMemOp", {'#', 0, 4, ':', 'M', 'Z', '.'}},
                      MalformedCase{"deleteWithoutName", {'#', 0, 4, ':', 'M', 'E', '.'}},
                      MalformedCase{"renameLengthsPastTheEnd",
                                    {'#', 0, 10, ':', 'M', 'N', 0xFF, 0xFF, '.'}}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineStatus, UnplugFailsEveryTransferUntilPluggedAgain) {
    StateDir dir;
    Engine engine(dir.path());
    bool told = true;
    int calls = 0;
    engine.setPlugListener([&](bool plugged) {
        told = plugged;
        ++calls;
    });
    Host host(engine);
    engine.setPlugged(false);
    EXPECT_FALSE(told);
    EXPECT_EQ(host.poll(10), -1);
    EXPECT_EQ(host.write(frame(bytesOf("I"))), UrbStatus::Error);
    engine.setPlugged(true);
    EXPECT_TRUE(told);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.');
}

struct PipeFaultCase {
    const char *name;
    Fault fault;
    uint32_t arg;
    UrbStatus write; // of the 'I' command
    UrbStatus read;  // of its reply
    size_t replyBytes;
};

class PipeFaults : public ::testing::TestWithParam<PipeFaultCase> {};

TEST_P(PipeFaults, HitTheNextTransferOnly) {
    StateDir dir;
    Engine engine(dir.path());
    engine.injectFault(GetParam().fault, GetParam().arg);
    Host host(engine);
    host.poll(10);
    EXPECT_EQ(host.write(frame(bytesOf("I"))), GetParam().write);
    host.poll(12);
    UrbStatus st = UrbStatus::Ok;
    const Bytes reply = host.read(64, &st);
    EXPECT_EQ(st, GetParam().read);
    EXPECT_EQ(reply.size(), GetParam().replyBytes);
    // Recovery as the host does it: cancel what hangs, reopen the device.
    engine.transferCancelled();
    engine.hostReset();
    EXPECT_EQ(host.exchange(bytesOf("I"))[5], '.');
}

INSTANTIATE_TEST_SUITE_P(
    All, PipeFaults,
    ::testing::Values(
        PipeFaultCase{"pipeError", Fault::PipeError, 0, UrbStatus::Error, UrbStatus::Pending, 0},
        PipeFaultCase{"pipeErrorTwice", Fault::PipeError, 2, UrbStatus::Error, UrbStatus::Error, 0},
        PipeFaultCase{"stall", Fault::Stall, 0, UrbStatus::Pending, UrbStatus::Pending, 0},
        PipeFaultCase{"dropReply", Fault::DropReply, 0, UrbStatus::Ok, UrbStatus::Pending, 0},
        PipeFaultCase{"shortReply", Fault::ShortReply, 0, UrbStatus::Ok, UrbStatus::Ok, 32}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(EngineStatus, StalledPipeRecoversWhenTheTransferIsCancelled) {
    StateDir dir;
    Engine engine(dir.path());
    engine.injectFault(Fault::Stall, 1);
    Host host(engine);
    EXPECT_EQ(host.write(frame(bytesOf("I"))), UrbStatus::Pending);
    EXPECT_EQ(host.write(frame(bytesOf("I"))), UrbStatus::Pending); // asked again: still stuck
    engine.transferCancelled();
    EXPECT_EQ(host.write(frame(bytesOf("I"))), UrbStatus::Ok);
    EXPECT_EQ(host.read(64)[5], '.');
}

TEST(EngineStatus, ReplyReadInPiecesAndNewCommandDropsTheRest) {
    StateDir dir;
    Engine engine(dir.path());
    Host host(engine);
    host.write(frame({0x90, 'S'}));
    const Bytes first = host.read(100);
    EXPECT_EQ(first.size(), 100u);
    const Bytes second = host.read(100);
    EXPECT_EQ(second.size(), 92u); // the rest of the 192-byte reply, no more
    host.write(frame({0x90, 'S'}));
    host.read(64);
    host.write(frame(bytesOf("I"))); // the unread 128 bytes are gone
    const Bytes i = host.read(64);
    EXPECT_EQ(i[4], 0);
    EXPECT_EQ(i[5], '.');
}

} // namespace
