#include "metadatacache.h"
#include "sizeprediction.h"

#include "converter.h"
#include "convertfixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

namespace {

using namespace tunara::sync;

struct PredictRow {
    const char *name;
    std::string format; // extension of the source sox makes
    double seconds;
    int sourceRate;
    int kbps;
    bool vbr;
    bool cover; // a 600 x 600 PNG front cover in the source (FLAC only)
};

class PredictionTest : public ::testing::TestWithParam<PredictRow> {};

// The converted size told before converting, against the converter's own output.
TEST_P(PredictionTest, TellsTheConvertedSize) {
    const PredictRow &r = GetParam();
    mediatest::TempDir dir;
    std::string source = dir.file("source." + r.format);
    mediatest::makeTone(source, r.seconds, r.sourceRate);
    if (r.cover) {
        const std::string png = dir.file("cover.png");
        mediatest::makeCover(png, 600, 600);
        const std::string withCover = dir.file("covered." + r.format);
        mediatest::ffmpeg({"-i",
                           source,
                           "-i",
                           png,
                           "-map",
                           "0",
                           "-map",
                           "1",
                           "-c:a",
                           "copy",
                           "-disposition:v",
                           "attached_pic",
                           "-metadata:s:v",
                           "comment=Cover (front)",
                           "-metadata",
                           "title=A title",
                           "-metadata",
                           "album=An album",
                           "-metadata",
                           "track=3",
                           withCover});
        source = withCover;
    }
    auto probed = probeSource(source);
    ASSERT_TRUE(std::holds_alternative<SourceInfo>(probed)) << std::get<std::string>(probed);
    const SourceInfo info = std::get<SourceInfo>(probed);
    EXPECT_NEAR(info.seconds, r.seconds, 0.05);
    EXPECT_EQ(info.sampleRate, r.sourceRate);
    if (r.cover) {
        EXPECT_GT(info.tagBytesWithCover, info.tagBytes + 1000);
        EXPECT_EQ(info.track, 3);
        EXPECT_EQ(info.title, "A title");
    }

    tunara::media::ConvertSettings settings;
    settings.bitRateKbps = r.kbps;
    settings.vbr = r.vbr;
    settings.sampleRate = outputSampleRate(info.sampleRate);
    settings.cover = true;
    const std::uint64_t predicted = predictedConvertedBytes(info, settings);
    const std::string output = dir.file("out.mp3");
    ASSERT_EQ(tunara::media::convertFile(source, output, settings, {}, nullptr), std::nullopt);
    const auto actual = std::uint64_t(std::filesystem::file_size(output));
    const double error = (double(predicted) - double(actual)) / double(actual);
    std::printf("| %-5s | %6.1f s | %5d Hz | %s %3d | cover %-3s | predicted %9llu | actual "
                "%9llu | %+6.2f %% |\n",
                r.format.c_str(), r.seconds, r.sourceRate, r.vbr ? "VBR" : "CBR", r.kbps,
                r.cover ? "yes" : "no", static_cast<unsigned long long>(predicted),
                static_cast<unsigned long long>(actual), error * 100);
    if (r.vbr) {
        EXPECT_GE(predicted, actual); // an upper bound
    } else {
        EXPECT_LE(std::fabs(error), 0.03);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PredictionTest,
    ::testing::Values(PredictRow{"flac_3s_128", "flac", 3, 44100, 128, false, false},
                      PredictRow{"flac_20s_192", "flac", 20, 44100, 192, false, false},
                      PredictRow{"flac_61s_320", "flac", 61, 44100, 320, false, false},
                      PredictRow{"ogg_3s_320", "ogg", 3, 44100, 320, false, false},
                      PredictRow{"ogg_20s_128", "ogg", 20, 44100, 128, false, false},
                      PredictRow{"ogg_61s_192", "ogg", 61, 44100, 192, false, false},
                      PredictRow{"wav_3s_192", "wav", 3, 44100, 192, false, false},
                      PredictRow{"wav_20s_320", "wav", 20, 44100, 320, false, false},
                      PredictRow{"wav_61s_128", "wav", 61, 44100, 128, false, false},
                      PredictRow{"wav_48k_20s_192", "wav", 20, 48000, 192, false, false},
                      PredictRow{"flac_32k_20s_128", "flac", 20, 32000, 128, false, false},
                      PredictRow{"flac_96k_20s_192", "flac", 20, 96000, 192, false, false},
                      PredictRow{"flac_cover_20s_192", "flac", 20, 44100, 192, false, true},
                      PredictRow{"flac_vbr_20s_192", "flac", 20, 44100, 192, true, false},
                      PredictRow{"wav_vbr_61s_128", "wav", 61, 44100, 128, true, false},
                      PredictRow{"flac_cover_vbr_3s_320", "flac", 3, 44100, 320, true, true}),
    [](const auto &row) { return std::string(row.param.name); });

struct LengthRow {
    const char *name;
    double seconds;
    int rate, kbps;
    bool vbr;
    std::uint64_t bytes;
};

class AudioBytesTest : public ::testing::TestWithParam<LengthRow> {};

// Lengths a damaged or hostile source may claim.
TEST_P(AudioBytesTest, StaysBoundedForAnyClaimedLength) {
    const LengthRow &r = GetParam();
    EXPECT_EQ(predictedAudioBytes(r.seconds, r.rate, r.kbps, r.vbr), r.bytes);
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// 1e7 s at 44.1 kHz: 382,812,501 frames and the info frame, 417.96 bytes each at 128 kbit/s.
constexpr std::uint64_t kLongest128 = 382812502ull * 144 * 128000 / 44100;

INSTANTIATE_TEST_SUITE_P(
    Lengths, AudioBytesTest,
    ::testing::Values(LengthRow{"zero_is_two_frames", 0, 44100, 128, false, 835},
                      LengthRow{"one_frame_48k", 0.024, 48000, 128, false, 3 * 384},
                      LengthRow{"negative", -1, 44100, 128, false, 0},
                      LengthRow{"nan", kNan, 44100, 128, false, 0},
                      LengthRow{"infinite", kInf, 44100, 128, false, kLongest128},
                      LengthRow{"huge", 1e300, 44100, 128, false, kLongest128},
                      LengthRow{"no_rate", 10, 0, 128, false, 0},
                      LengthRow{"no_bit_rate", 10, 44100, 0, false, 0},
                      LengthRow{"vbr_pads_each_frame", 0, 44100, 128, true, 2 * 418}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
