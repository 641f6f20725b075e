// KSUSB_SystemReg and KSUSB_SystemUpdateFirmware against the fake player.
#include "test_download_support.h"
#include "wire.h"

using namespace kestousb;
using namespace kestousb::test;

namespace {

constexpr uint8_t kFirmwareLetter = 'U'; // body 'U' 'P' count
constexpr uint8_t kImageLetter = 0x12;   // body 0x92 0x12 kind size

Bytes imageVerdict(uint8_t byte4, uint8_t byte6 = 0) {
    return FakePlayer::frame({byte4, 0, byte6});
}

struct ImageCase {
    const char *name;
    unsigned char kind; // 0xFF: firmware through KSUSB_SystemReg
    bool direct;        // KSUSB_SystemUpdateFirmware itself
    size_t size;
    uint32_t step;
    Bytes announcement;
    const char *phase;
    Notes expected;
};
class ImageStream : public TransferTest, public testing::WithParamInterface<ImageCase> {};

TEST_P(ImageStream, AnnouncesAndStreams512ByteBlocks) {
    const ImageCase &c = GetParam();
    const Bytes data = pattern(c.size, 11);
    const std::string path = dir.write("image.bin", data);
    player.onCommand(kFirmwareLetter, [](auto &, size_t) { return imageVerdict(0x55, 0); });
    player.onCommand(kImageLetter, [](auto &, size_t) { return imageVerdict(0, 0x55); });

    const int started = c.direct ? KSUSB_SystemUpdateFirmware(path.c_str(), &recorder, c.step)
                                 : KSUSB_SystemReg(c.kind, path.c_str(), &recorder, c.step);
    ASSERT_EQ(started, 1) << KSUSB_GetLastError();
    EXPECT_EQ(recorder.waitEnd(), c.expected);

    const auto writes = player.writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0], c.announcement);
    const size_t blocks = (c.size + 511) / 512;
    ASSERT_EQ(writes.size(), 1 + blocks);
    Bytes padded = data;
    padded.resize(blocks * 512, 0);
    Bytes streamed;
    for (size_t i = 1; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].size(), 512u);
        streamed.insert(streamed.end(), writes[i].begin(), writes[i].end());
    }
    EXPECT_EQ(streamed, padded);

    std::vector<std::string> wire = {"ready10", "write 64", "done", "ready12",
                                     "read 64", "done",     c.phase};
    for (size_t i = 0; i < blocks; ++i)
        wire.push_back("write 512");
    wire.push_back("done");
    EXPECT_EQ(player.wireTrace(), wire);
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageStream,
    testing::Values(
        // 1,000 bytes of firmware: 16 units of 64 bytes, two blocks, the second zero-padded.
        ImageCase{"firmware1000",
                  0,
                  true,
                  1000,
                  1000,
                  frame({'U', 'P', 0, 16}),
                  "ready11",
                  {{1, 1000}, {2, 1000}, {3, 1000}}},
        ImageCase{"kindFFIsFirmware",
                  0xFF,
                  false,
                  1000,
                  1000,
                  frame({'U', 'P', 0, 16}),
                  "ready11",
                  {{1, 1000}, {2, 1000}, {3, 1000}}},
        ImageCase{"fontEng",
                  0x02,
                  false,
                  1300,
                  1000,
                  frame({0x92, 0x12, 0x02, 0, 0, 0x05, 0x14}),
                  "ready10",
                  {{1, 1300}, {2, 1024}, {2, 1300}, {3, 1300}}},
        // Exactly one block: its only post depends on the step.
        ImageCase{"oneBlockBelowStep",
                  0xE1,
                  false,
                  512,
                  1000,
                  frame({0x92, 0x12, 0xE1, 0, 0, 0x02, 0x00}),
                  "ready10",
                  {{1, 512}, {3, 512}}},
        ImageCase{"oneBlockAboveStep",
                  0xE1,
                  false,
                  512,
                  100,
                  frame({0x92, 0x12, 0xE1, 0, 0, 0x02, 0x00}),
                  "ready10",
                  {{1, 512}, {2, 512}, {3, 512}}},
        ImageCase{"unknownKindPassesThrough",
                  0x42,
                  false,
                  0,
                  1000,
                  frame({0x92, 0x12, 0x42, 0, 0, 0, 0}),
                  "ready10",
                  {{1, 0}, {3, 0}}},
        ImageCase{"firmware65Bytes",
                  0,
                  true,
                  65,
                  1000,
                  frame({'U', 'P', 0, 2}),
                  "ready11",
                  {{1, 65}, {2, 65}, {3, 65}}}),
    [](const auto &row) { return row.param.name; });

struct RefusalCase {
    const char *name;
    bool firmware;
    uint8_t byte4, byte6;
    int result;
};
class ImageVerdict : public TransferTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(ImageVerdict, OnlyTheCommandsOwnByteCounts) {
    const RefusalCase &c = GetParam();
    const std::string path = dir.write("image.bin", pattern(100));
    player.onCommand(kFirmwareLetter,
                     [&](auto &, size_t) { return imageVerdict(c.byte4, c.byte6); });
    player.onCommand(kImageLetter, [&](auto &, size_t) { return imageVerdict(c.byte4, c.byte6); });
    const int started = c.firmware ? KSUSB_SystemUpdateFirmware(path.c_str(), &recorder, 1)
                                   : KSUSB_SystemReg(0x01, path.c_str(), &recorder, 1);
    EXPECT_EQ(started, c.result);
    if (started)
        recorder.waitEnd();
    else
        EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_REFUSED);
}

INSTANTIATE_TEST_SUITE_P(Images, ImageVerdict,
                         testing::Values(RefusalCase{"imageRefused", false, 1, 0, 0},
                                         RefusalCase{"imageIgnoresByte6", false, 0, 9, 1},
                                         RefusalCase{"firmwareRefused", true, 0, 1, 0},
                                         RefusalCase{"firmwareIgnoresByte4", true, 9, 0, 1}),
                         [](const auto &row) { return row.param.name; });

TEST_F(TransferTest, ImageCallFailures) {
    EXPECT_EQ(KSUSB_SystemReg(0x01, (dir.path() / "none").c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_EQ(KSUSB_SystemUpdateFirmware((dir.path() / "none").c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);

    // Firmware whose unit count does not fit 16 bits would be announced wrongly: refused.
    const auto big = dir.path() / "big.bin";
    dir.write("big.bin", {});
    std::filesystem::resize_file(big, 65536 * 64);
    EXPECT_EQ(KSUSB_SystemUpdateFirmware(big.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_REFUSED);
    EXPECT_TRUE(player.writes().empty());

    const std::string path = dir.write("image.bin", pattern(100));
    player.faults().writeFailures = 1;
    EXPECT_EQ(KSUSB_SystemReg(0x01, path.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_SEND);
    player.faults().readFailures = 1;
    EXPECT_EQ(KSUSB_SystemUpdateFirmware(path.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_RECEIVE);

    player.clearOps();
    const std::string longPath = "/" + std::string(260, 'y');
    EXPECT_EQ(KSUSB_SystemReg(0x01, longPath.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_OPEN_FILE);
    EXPECT_EQ(KSUSB_SystemReg(0xFF, longPath.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_OPEN_FILE);
    EXPECT_TRUE(player.trace().empty());
    EXPECT_TRUE(recorder.notes().empty());
}

TEST_F(TransferTest, FirmwareStoppedAfterFirstBlock) {
    const std::string path = dir.write("fw.bin", pattern(2048));
    player.onCommand(kFirmwareLetter, [](auto &, size_t) { return imageVerdict(0, 0); });
    player.onWrite([](const Bytes &w) {
        if (w.size() == 512)
            signalStopEvent();
    });
    ASSERT_EQ(KSUSB_SystemUpdateFirmware(path.c_str(), &recorder, 100000), 1);
    EXPECT_EQ(recorder.waitEnd(), (Notes{{1, 2048}, {4, KSUSB_ERR_STOPPED}}));
    EXPECT_EQ(player.writes().size(), 2u);
}

} // namespace
