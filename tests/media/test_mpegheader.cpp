// CheckMpegHeader and IsMpegFrameHeader on crafted bytes: the exact search window, the three
// confirmation reads, the integer frame lengths, the tag skip and the refusal messages.
#include "mediatestutil.h"
#include "mpegheader.h"

#include <gtest/gtest.h>

using namespace tunara::media;
using namespace mediatest;

namespace {

constexpr unsigned V1 = 3, V2 = 2, V25 = 0, VRES = 1;
constexpr unsigned L1 = 3, L2 = 2, L3 = 1;

struct Shown {
    MessageIcon icon;
    std::string caption, text;
};
class RecordingSink final : public MessageSink {
public:
    void showMessage(MessageIcon icon, std::string_view caption, std::string_view text) override {
        shown.push_back({icon, std::string(caption), std::string(text)});
    }
    std::vector<Shown> shown;
};

MpegCheck check(const Bytes &bytes, RecordingSink &sink, std::string_view path = "song.mp3") {
    MemorySource source(bytes);
    return checkMpegHeader(source, path, sink);
}

// ---- IsMpegFrameHeader -------------------------------------------------------------------

struct ValidityCase {
    const char *name;
    std::uint32_t value;
    bool valid;
};
class Validity : public testing::TestWithParam<ValidityCase> {};
TEST_P(Validity, FollowsTheFieldRules) {
    EXPECT_EQ(IsMpegFrameHeader(GetParam().value), GetParam().valid)
        << std::hex << GetParam().value;
}
INSTANTIATE_TEST_SUITE_P(Headers, Validity,
                         testing::Values(ValidityCase{"mpeg1_l3_128", 0xFFFB9000u, true},
                                         ValidityCase{"mpeg2_l3", 0xFFF38000u, true},
                                         ValidityCase{"mpeg25_l3", 0xFFE38000u, true},
                                         ValidityCase{"free_format_passes", 0xFFFB0000u, true},
                                         ValidityCase{"private_and_emphasis_ignored", 0xFFFB9103u,
                                                      true},
                                         ValidityCase{"sync_short_by_one_bit", 0xFFDB9000u, false},
                                         ValidityCase{"reserved_version", 0xFFEB9000u, false},
                                         ValidityCase{"reserved_layer", 0xFFF99000u, false},
                                         ValidityCase{"reserved_sample_rate", 0xFFFB9C00u, false},
                                         ValidityCase{"bad_bit_rate", 0xFFFBF000u, false},
                                         ValidityCase{"zero", 0u, false}),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- Frame lengths and numbers from the table texts -------------------------------------------

struct LengthCase {
    const char *name;
    std::uint32_t header;
    std::uint32_t length;
};
class FrameLength : public testing::TestWithParam<LengthCase> {};
TEST_P(FrameLength, UsesIntegerArithmetic) {
    EXPECT_EQ(frameLength(FrameHeader{GetParam().header}), GetParam().length);
}
INSTANTIATE_TEST_SUITE_P(
    Lengths, FrameLength,
    testing::Values(LengthCase{"v1_l3_128_44k", header(V1, L3, 9, 0), 417},
                    LengthCase{"v1_l3_128_44k_padded", header(V1, L3, 9, 0, 1), 418},
                    LengthCase{"v2_l3_64_22k", header(V2, L3, 8, 0), 208},
                    LengthCase{"v25_l3_8_8k", header(V25, L3, 1, 2), 72},
                    LengthCase{"v25_l3_32_11k", header(V25, L3, 4, 0), 208},
                    LengthCase{"v1_l1_32_44k", header(V1, L1, 1, 0), 32},
                    LengthCase{"v1_l1_32_44k_padded", header(V1, L1, 1, 0, 1), 36},
                    LengthCase{"v1_l2_384_48k", header(V1, L2, 14, 1), 1152},
                    LengthCase{"v2_l2_160_16k_padded", header(V2, L2, 14, 2, 1), 1441},
                    LengthCase{"v25_l2_160_8k_padded", header(V25, L2, 14, 2, 1), 2881},
                    LengthCase{"free_format", header(V1, L3, 0, 0), 0},
                    LengthCase{"free_format_padded", header(V1, L3, 0, 0, 1), 1},
                    LengthCase{"reserved_sample_rate", header(V1, L3, 9, 3), 0},
                    LengthCase{"reserved_version", header(VRES, L3, 9, 0), 0}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(TableNumbers, SampleRatesAreExactThousands) {
    // 11.025 is not exact in binary; the rate must still be 11025, not 11024.
    EXPECT_EQ(sampleRateOf(FrameHeader{header(V25, L3, 1, 0)}), 11025u);
    EXPECT_EQ(sampleRateOf(FrameHeader{header(V2, L3, 1, 0)}), 22050u);
    EXPECT_EQ(sampleRateOf(FrameHeader{header(V1, L3, 1, 0)}), 44100u);
    EXPECT_EQ(sampleRateOf(FrameHeader{header(V25, L3, 1, 2)}), 8000u);
    EXPECT_EQ(bitRateOf(FrameHeader{header(V2, L3, 1, 0)}), 8000u); // " 8Kbps"
    EXPECT_EQ(bitRateOf(FrameHeader{header(V1, L1, 14, 0)}), 448000u);
    EXPECT_EQ(bitRateOf(FrameHeader{header(V1, L3, 0, 0)}), 0u); // "free"
}

TEST(TableTexts, KeepTheirLeadingBlanks) {
    EXPECT_EQ(bitRateName(FrameHeader{header(V1, L3, 4, 0)}), " 56Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(V1, L3, 3, 0)}), "48Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(V1, L2, 4, 0)}), " 64Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(V2, L1, 4, 0)}), " 64Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(V2, L3, 1, 0)}), " 8Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(V25, L2, 12, 0)}), "128Kbps");
    EXPECT_EQ(bitRateName(FrameHeader{header(VRES, L3, 0, 0)}), "error");
    EXPECT_EQ(bitRateName(FrameHeader{header(VRES, L3, 5, 0)}), "");
    EXPECT_EQ(bitRateName(FrameHeader{header(V1, 0, 0, 0)}), "reserved");
    EXPECT_EQ(bitRateName(FrameHeader{header(V1, L1, 15, 0)}), "bad");
    EXPECT_EQ(sampleRateName(FrameHeader{header(VRES, L3, 0, 1)}), "reserved");
    EXPECT_EQ(versionName(FrameHeader{header(V25, L3, 0, 0)}), "MPEG-2.5");
    EXPECT_EQ(layerName(FrameHeader{header(V1, 0, 0, 0)}), "Reserved");
}

// ---- The search ---------------------------------------------------------------------------

// Bytes with a candidate at `p` and a second header at `p + distance`.
Bytes candidateAt(std::size_t prefix, std::size_t p, std::uint32_t first, std::int64_t distance,
                  std::uint32_t second) {
    Bytes b(prefix, 0);
    putHeader(b, p, first);
    putHeader(b, std::size_t(std::int64_t(p) + distance), second);
    b.resize(b.size() + 16, 0);
    return b;
}

struct ConfirmCase {
    const char *name;
    std::uint32_t first;
    std::int64_t distance;
    bool confirmed;
};
class Confirmation : public testing::TestWithParam<ConfirmCase> {};
TEST_P(Confirmation, NeedsAHeaderWithinOneByteOfTheFrameEnd) {
    const auto &c = GetParam();
    RecordingSink sink;
    const Bytes b = candidateAt(0, 100, c.first, c.distance, header(V1, L3, 9, 0));
    const MpegCheck r = check(b, sink);
    if (c.confirmed) {
        ASSERT_TRUE(r.headerOffset);
        EXPECT_EQ(*r.headerOffset, 100u);
        EXPECT_TRUE(sink.shown.empty());
    } else {
        // The second header, having no follower, is not confirmed either.
        EXPECT_EQ(r.code, MpegCheckCode::NoFrameHeader);
        EXPECT_FALSE(r.headerOffset);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Distances, Confirmation,
    testing::Values(ConfirmCase{"L417_minus2", header(V1, L3, 9, 0), 415, false},
                    ConfirmCase{"L417_minus1", header(V1, L3, 9, 0), 416, true},
                    ConfirmCase{"L417_exact", header(V1, L3, 9, 0), 417, true},
                    ConfirmCase{"L417_plus1", header(V1, L3, 9, 0), 418, true},
                    ConfirmCase{"L417_plus2", header(V1, L3, 9, 0), 419, false},
                    ConfirmCase{"L418_minus1", header(V1, L3, 9, 0, 1), 417, true},
                    ConfirmCase{"L418_plus1", header(V1, L3, 9, 0, 1), 419, true},
                    ConfirmCase{"L418_minus2", header(V1, L3, 9, 0, 1), 416, false},
                    ConfirmCase{"L208_exact", header(V2, L3, 8, 0), 208, true},
                    ConfirmCase{"L208_minus1", header(V2, L3, 8, 0), 207, true},
                    ConfirmCase{"L208_plus1", header(V2, L3, 8, 0), 209, true},
                    ConfirmCase{"L208_minus2", header(V2, L3, 8, 0), 206, false},
                    ConfirmCase{"L208_plus2", header(V2, L3, 8, 0), 210, false},
                    ConfirmCase{"free_format", header(V1, L3, 0, 0), 417, false},
                    ConfirmCase{"free_format_padded_not_self_confirmed", header(V1, L3, 0, 0, 1),
                                417, false}),
    [](const auto &row) { return std::string(row.param.name); });

struct WindowCase {
    const char *name;
    Bytes tag;             // bytes before the search start
    std::uint64_t start;   // where the search must begin
    std::size_t candidate; // offset of the candidate after the start
    bool found;
};
class Window : public testing::TestWithParam<WindowCase> {};
TEST_P(Window, SearchesExactly2561PositionsAfterTheTag) {
    const auto &c = GetParam();
    Bytes b = c.tag;
    b.resize(std::size_t(c.start), 0);
    const std::size_t p = std::size_t(c.start) + c.candidate;
    putHeader(b, p, header(V1, L3, 9, 0));
    putHeader(b, p + 417, header(V1, L3, 9, 0));
    b.resize(b.size() + 8, 0);
    RecordingSink sink;
    const MpegCheck r = check(b, sink);
    EXPECT_EQ(r.searchStart, c.start);
    if (c.found) {
        ASSERT_TRUE(r.headerOffset);
        EXPECT_EQ(*r.headerOffset, p);
        EXPECT_EQ(r.code, MpegCheckCode::Accepted);
    } else {
        EXPECT_EQ(r.code, MpegCheckCode::NoFrameHeader);
        ASSERT_EQ(sink.shown.size(), 1u);
    }
}
Bytes tagOf(std::uint8_t flags, std::uint8_t b6, std::uint8_t b7, std::uint8_t b8,
            std::uint8_t b9) {
    return {'I', 'D', '3', 3, 0, flags, b6, b7, b8, b9};
}
INSTANTIATE_TEST_SUITE_P(
    Offsets, Window,
    testing::Values(
        WindowCase{"at_start", {}, 0, 0, true}, WindowCase{"last_position", {}, 0, 2560, true},
        WindowCase{"one_past_the_window", {}, 0, 2561, false},
        WindowCase{"tag_257", tagOf(0, 0, 0, 2, 1), 267, 0, true},
        WindowCase{"tag_257_last_position", tagOf(0, 0, 0, 2, 1), 267, 2560, true},
        WindowCase{"tag_257_past_window", tagOf(0, 0, 0, 2, 1), 267, 2561, false},
        WindowCase{"tag_257_footer_flag", tagOf(0x10, 0, 0, 2, 1), 277, 0, true},
        WindowCase{"footer_flag_past_window", tagOf(0x10, 0, 0, 2, 1), 277, 2561, false},
        WindowCase{"size_byte_0x80_means_no_tag", tagOf(0, 0, 0x80, 2, 1), 0, 100, true}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(Search, StrayHeaderInsideTheTagIsSteppedOver) {
    // A header pair inside the tag (as in a picture) would confirm itself; the search starts
    // after the tag and finds the real stream.
    Bytes b = tagOf(0, 0, 0, 0x0F, 0x76); // 2038 bytes of tag body
    b.resize(2048, 0);
    putHeader(b, 20, header(V2, L3, 8, 0)); // FF F3: MPEG-2, which would give a different text
    putHeader(b, 20 + 208, header(V2, L3, 8, 0));
    putHeader(b, 2048 + 5, header(V1, L3, 9, 0));
    putHeader(b, 2048 + 5 + 417, header(V1, L3, 9, 0));
    b.resize(b.size() + 4, 0);
    RecordingSink sink;
    const MpegCheck r = check(b, sink);
    ASSERT_TRUE(r.headerOffset);
    EXPECT_EQ(*r.headerOffset, 2053u);
    EXPECT_EQ(r.description, "song.mp3\n\nMPEG-1\nLayer-III\n44.1KHz\n128Kbps");
}

TEST(Search, ConfirmationPastTheEndIsNoMatch) {
    Bytes b(50, 0);
    putHeader(b, 10, header(V1, L3, 9, 0));
    RecordingSink sink;
    EXPECT_EQ(check(b, sink).code, MpegCheckCode::NoFrameHeader);
}

TEST(Search, TagLargerThanTheFileGivesNoHeader) {
    Bytes b = tagOf(0, 0x7F, 0x7F, 0x7F, 0x7F);
    b.resize(4000, 0xFF);
    RecordingSink sink;
    const MpegCheck r = check(b, sink);
    EXPECT_EQ(r.code, MpegCheckCode::NoFrameHeader);
    EXPECT_EQ(r.searchStart, 10u + 0x0FFFFFFFu);
}

// ---- Result codes and messages ---------------------------------------------------------

struct CodeCase {
    const char *name;
    std::uint32_t header;
    MpegCheckCode code;
    const char *describedAs; // version, layer, sample rate, bit rate
};
class Codes : public testing::TestWithParam<CodeCase> {};
TEST_P(Codes, FollowVersionAndBitRate) {
    const auto &c = GetParam();
    const FrameHeader h{c.header};
    Bytes b(4, 0);
    putHeader(b, 4, c.header);
    putHeader(b, 4 + frameLength(h), c.header);
    b.resize(b.size() + 4, 0);
    RecordingSink sink;
    const MpegCheck r = check(b, sink, "/music/a.mp3");
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.description, std::string("/music/a.mp3\n\n") + c.describedAs);
    if (c.code == MpegCheckCode::Mpeg25) {
        ASSERT_EQ(sink.shown.size(), 1u);
        EXPECT_EQ(sink.shown[0].icon, MessageIcon::Warning);
        EXPECT_EQ(sink.shown[0].text,
                  "Remote device doesn't support non-standard MPEG-2.5 formatted file.\n\n\n\n" +
                      r.description);
    } else {
        EXPECT_TRUE(sink.shown.empty());
    }
}
INSTANTIATE_TEST_SUITE_P(
    Streams, Codes,
    testing::Values(CodeCase{"l3_128", header(V1, L3, 9, 0), MpegCheckCode::Accepted,
                             "MPEG-1\nLayer-III\n44.1KHz\n128Kbps"},
                    CodeCase{"l3_256", header(V1, L3, 13, 0), MpegCheckCode::Accepted,
                             "MPEG-1\nLayer-III\n44.1KHz\n256Kbps"},
                    CodeCase{"l3_320", header(V1, L3, 14, 1), MpegCheckCode::BitRateTooHigh,
                             "MPEG-1\nLayer-III\n48KHz\n320Kbps"},
                    CodeCase{"l2_384", header(V1, L2, 14, 1), MpegCheckCode::BitRateTooHigh,
                             "MPEG-1\nLayer-II\n48KHz\n384Kbps"},
                    CodeCase{"l2_320", header(V1, L2, 13, 0), MpegCheckCode::BitRateTooHigh,
                             "MPEG-1\nLayer-II\n44.1KHz\n320Kbps"},
                    CodeCase{"l2_256", header(V1, L2, 12, 0), MpegCheckCode::Accepted,
                             "MPEG-1\nLayer-II\n44.1KHz\n256Kbps"},
                    CodeCase{"l1_320", header(V1, L1, 10, 2), MpegCheckCode::BitRateTooHigh,
                             "MPEG-1\nLayer-I\n32KHz\n320Kbps"},
                    CodeCase{"l1_288", header(V1, L1, 9, 2), MpegCheckCode::Accepted,
                             "MPEG-1\nLayer-I\n32KHz\n288Kbps"},
                    CodeCase{"mpeg2_l3_64", header(V2, L3, 8, 0), MpegCheckCode::Accepted,
                             "MPEG-2\nLayer-III\n22.05KHz\n 64Kbps"},
                    CodeCase{"mpeg2_l1_256", header(V2, L1, 14, 1), MpegCheckCode::Accepted,
                             "MPEG-2\nLayer-I\n24KHz\n256Kbps"},
                    CodeCase{"mpeg25_low_rate", header(V25, L3, 4, 0), MpegCheckCode::Mpeg25,
                             "MPEG-2.5\nLayer-III\n11.025KHz\n 32Kbps"},
                    CodeCase{"mpeg25_whatever_rate", header(V25, L2, 14, 2), MpegCheckCode::Mpeg25,
                             "MPEG-2.5\nLayer-II\n8KHz\n160Kbps"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(Messages, NoHeaderShowsStopMessageWithPath) {
    RecordingSink sink;
    const MpegCheck r = check(Bytes(3000, 0x55), sink, "/x/y.mp3");
    EXPECT_EQ(r.code, MpegCheckCode::NoFrameHeader);
    ASSERT_EQ(sink.shown.size(), 1u);
    EXPECT_EQ(sink.shown[0].icon, MessageIcon::Stop);
    EXPECT_EQ(sink.shown[0].caption, "");
    EXPECT_EQ(sink.shown[0].text, "ERROR : Can't find MP3 frame header.\n/x/y.mp3");
    EXPECT_TRUE(r.description.empty());
}

TEST(Messages, ShortOrMissingFilesPassSilently) {
    RecordingSink sink;
    const MpegCheck shortFile = check(Bytes{0xFF, 0xFB, 0x90, 0, 1, 2, 3, 4, 5}, sink);
    EXPECT_EQ(shortFile.code, MpegCheckCode::Accepted);
    EXPECT_TRUE(shortFile.opened);
    EXPECT_FALSE(shortFile.examined);
    const MpegCheck missing = CheckMpegHeader("/nonexistent/tunara/file.mp3", sink);
    EXPECT_EQ(missing.code, MpegCheckCode::Accepted);
    EXPECT_FALSE(missing.opened);
    EXPECT_TRUE(sink.shown.empty());
}

TEST(Files, CheckReadsTheFileOnDisk) {
    TempDir dir;
    Bytes b = tagOf(0x10, 0, 0, 2, 1);
    b.resize(277 + 2560, 0);
    putHeader(b, 277 + 2560, header(V1, L3, 14, 0));
    putHeader(b, 277 + 2560 + frameLength(FrameHeader{header(V1, L3, 14, 0)}),
              header(V1, L3, 14, 0));
    writeFile(dir.file("a.mp3"), b);
    RecordingSink sink;
    const MpegCheck r = CheckMpegHeader(dir.file("a.mp3"), sink);
    EXPECT_EQ(r.code, MpegCheckCode::BitRateTooHigh);
    ASSERT_TRUE(r.headerOffset);
    EXPECT_EQ(*r.headerOffset, 277u + 2560u);
}

} // namespace
