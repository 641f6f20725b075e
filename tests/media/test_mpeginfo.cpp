// ReadMpegInfo: the sync scan from byte 0, the MPEG-1-only rule, the frame check and the texts.
#include "mediatestutil.h"
#include "mpeginfo.h"

#include <gtest/gtest.h>

using namespace tunara::media;
using namespace mediatest;

namespace {

constexpr unsigned V1 = 3, V2 = 2;
constexpr unsigned L1 = 3, L2 = 2, L3 = 1;

std::optional<MpegInfo> infoOf(const Bytes &b) {
    MemorySource source(b);
    return readMpegInfo(source);
}

struct TextCase {
    const char *name;
    std::uint32_t header;
    MpegInfo expected;
};
class Texts : public testing::TestWithParam<TextCase> {};
TEST_P(Texts, DescribeTheHeader) {
    Bytes b(7, 0x11);
    putHeader(b, 7, GetParam().header);
    b.resize(7 + 2000, 0);
    const auto info = infoOf(b);
    ASSERT_TRUE(info);
    MpegInfo expected = GetParam().expected;
    expected.offset = 7;
    EXPECT_EQ(*info, expected);
}
INSTANTIATE_TEST_SUITE_P(
    Headers, Texts,
    testing::Values(TextCase{"l3_128_joint",
                             header(V1, L3, 9, 0, 0, 1, 1),
                             {3, "128 kbit/s", "44.1 kHz", "Joint stereo", "No", "No", "No", 0}},
                    TextCase{"l2_384_crc_single",
                             header(V1, L2, 14, 1, 0, 0, 3),
                             {2, "384 kbit/s", "48 kHz", "Single channel", "No", "No", "Yes", 0}},
                    TextCase{"l1_448_dual_copyright_original",
                             header(V1, L1, 14, 2, 0, 1, 2) | 0x0Cu,
                             {1, "448 kbit/s", "32 kHz", "Dual channel", "Yes", "Yes", "No", 0}},
                    TextCase{"l3_32_stereo",
                             header(V1, L3, 1, 0),
                             {3, "32 kbit/s", "44.1 kHz", "Stereo", "No", "No", "No", 0}}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(Scan, Mpeg2IsNotTaken) {
    Bytes b;
    putHeader(b, 0, header(V2, L3, 8, 0)); // FF F3
    putHeader(b, 208, header(V2, L3, 8, 0));
    b.resize(5000, 0);
    EXPECT_FALSE(infoOf(b));
}

TEST(Scan, LaterMpeg1PairIsTakenAfterMpeg2) {
    Bytes b;
    putHeader(b, 0, header(V2, L3, 8, 0));
    putHeader(b, 300, header(V1, L3, 9, 0));
    b.resize(300 + 417, 0);
    const auto info = infoOf(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->offset, 300u);
}

TEST(Scan, StraySyncInsideATagIsTaken) {
    // No tag skip here: the first MPEG-1-looking pair wins, even inside the tag.
    Bytes b = id3Header(3, 0, 1000);
    b.resize(1010, 0);
    putHeader(b, 40, header(V1, L3, 5, 1)); // 64 kbit/s 48 kHz: 192 bytes
    putHeader(b, 1010, header(V1, L3, 9, 0));
    b.resize(1010 + 417, 0);
    const auto info = infoOf(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->offset, 40u);
    EXPECT_EQ(info->bitRate, "64 kbit/s");
}

struct PassCase {
    const char *name;
    std::uint32_t candidate;
};
class PassedOver : public testing::TestWithParam<PassCase> {};
TEST_P(PassedOver, CandidatesWithoutAFrameLength) {
    Bytes b;
    putHeader(b, 0, GetParam().candidate);
    putHeader(b, 10, header(V1, L3, 9, 0));
    b.resize(10 + 417, 0);
    const auto info = infoOf(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->offset, 10u);
}
INSTANTIATE_TEST_SUITE_P(Candidates, PassedOver,
                         testing::Values(PassCase{"reserved_layer", header(V1, 0, 9, 0)},
                                         PassCase{"reserved_sample_rate", header(V1, L3, 9, 3)},
                                         PassCase{"free_format", header(V1, L3, 0, 0)},
                                         PassCase{"forbidden_bit_rate", header(V1, L3, 15, 0)}),
                         [](const auto &row) { return std::string(row.param.name); });

struct FrameCheckCase {
    const char *name;
    std::uint32_t header;
    std::size_t fileSize;
    bool complete;
};
class FrameCheck : public testing::TestWithParam<FrameCheckCase> {};
TEST_P(FrameCheck, NeedsTheWholeFirstFrame) {
    Bytes b;
    putHeader(b, 0, GetParam().header);
    b.resize(GetParam().fileSize, 0);
    EXPECT_EQ(infoOf(b).has_value(), GetParam().complete);
}
INSTANTIATE_TEST_SUITE_P(
    Lengths, FrameCheck,
    testing::Values(FrameCheckCase{"l3_417_complete", header(V1, L3, 9, 0), 417, true},
                    FrameCheckCase{"l3_417_short", header(V1, L3, 9, 0), 416, false},
                    FrameCheckCase{"l3_padded_short", header(V1, L3, 9, 0, 1), 417, false},
                    // A padded Layer I frame at 48 kHz is 4 bytes longer, as at 44.1 kHz.
                    FrameCheckCase{"l1_48k_padded_complete", header(V1, L1, 12, 1, 1), 388, true},
                    FrameCheckCase{"l1_48k_padded_short", header(V1, L1, 12, 1, 1), 386, false},
                    FrameCheckCase{"l1_44k_padded_short", header(V1, L1, 1, 0, 1), 35, false},
                    FrameCheckCase{"three_bytes", 0xFFFB9000u, 3, false}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(Scan, HeaderAcrossAReadChunkIsFound) {
    Bytes b(65534, 0);
    putHeader(b, 65534, header(V1, L3, 9, 0));
    b.resize(65534 + 417, 0);
    const auto info = infoOf(b);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->offset, 65534u);
}

TEST(Files, UnopenableFileShowsItsMessage) {
    struct Sink final : MessageSink {
        void showMessage(MessageIcon, std::string_view c, std::string_view t) override {
            caption = c;
            text = t;
            ++count;
        }
        std::string caption, text;
        int count = 0;
    } sink;
    EXPECT_FALSE(ReadMpegInfo("/nonexistent/x.mp3", sink));
    EXPECT_EQ(sink.count, 1);
    EXPECT_EQ(sink.caption, "Invalid handle");
    EXPECT_EQ(sink.text, "Error opening file: /nonexistent/x.mp3");

    TempDir dir;
    writeFile(dir.file("none.mp3"), Bytes(100, 0));
    EXPECT_FALSE(ReadMpegInfo(dir.file("none.mp3"), sink));
    EXPECT_EQ(sink.count, 1); // other failures are silent
}

TEST(Panel, TemplateIsFilledInOrder) {
    const MpegInfo info{3, "128 kbit/s", "44.1 kHz", "Joint stereo", "No", "Yes", "No", 0};
    EXPECT_EQ(mpegPanelText(123456, 2048, info),
              "|MPEG Info\t|| Size\r|123456 Bytes|| Header found at\r|2048 Bytes|| Length\r|xxx "
              "Seconds|| MPEG1.0 layer\r|3|| Bitrate\r|128 kbit/s|| Frames\r|xxx "
              "frames||Frequency\r|44.1 kHz|| Mode\r|Joint stereo|| CRCs\r|No|| "
              "Copyrighted\r|No|| Original\r|Yes|| Emphasis\r|None||");
}

} // namespace
