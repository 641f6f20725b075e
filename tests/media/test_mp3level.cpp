// The lossless MP3 gain rewriter against streams lame makes from sox's noise, judged by ffmpeg:
// the levelled file decodes without a complaint (CRCs checked), with the same packets and
// samples, and its RMS moves by 1.505 dB per step. Damaged and hostile inputs keep their
// length, their tags and every byte the rewriter does not own.
#include "mediatestutil.h"
#include "mp3level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

using namespace tunara::media;
using namespace mediatest;

namespace {

// The stream after one flag set (lame's arguments), levelled by `steps`.
struct Encoding {
    const char *name;
    std::vector<std::string> lame;
    int channels;
    int steps;
    bool crc;
    bool infoFrame; // lame writes its Info/Xing frame (not with -t, nor where frames are too
                    // small to hold it)
};

const Encoding kEncodings[] = {
    {"mpeg1_stereo_up2", {"-m", "s", "-b", "128"}, 2, 2, false, true},
    {"mpeg1_joint_down3", {"-m", "j", "-b", "160"}, 2, -3, false, true},
    {"mpeg1_mono_up1", {"-m", "m", "-b", "64"}, 1, 1, false, true},
    {"mpeg1_stereo_no_info_up1", {"-m", "s", "-b", "128", "-t"}, 2, 1, false, false},
    {"mpeg1_vbr_down2", {"-V", "4"}, 2, -2, false, true},
    {"mpeg1_crc_stereo_up2", {"-p", "-m", "s", "-b", "128"}, 2, 2, true, true},
    {"mpeg1_crc_mono_down1", {"-p", "-m", "m", "-b", "64"}, 1, -1, true, true},
    {"mpeg2_mono_down2", {"-m", "m", "-b", "32", "--resample", "22.05"}, 1, -2, false, false},
    {"mpeg2_stereo_up2", {"-m", "s", "-b", "64", "--resample", "24"}, 2, 2, false, true},
    {"mpeg2_crc_joint_up1", {"-p", "-b", "64", "--resample", "16"}, 2, 1, true, true},
    {"mpeg25_stereo_up2", {"-m", "s", "-b", "32", "--resample", "11.025"}, 2, 2, false, true},
    {"mpeg25_crc_mono_down1", {"-p", "-m", "m", "-b", "16", "--resample", "8"}, 1, -1, true, false},
    {"zero_steps", {"-b", "128"}, 2, 0, false, true},
};

class Mp3Level : public testing::TestWithParam<Encoding> {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        // Noise at -16 dBFS RMS: room for +3 dB without clipping.
        ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", dir->file("n.wav"),
                       "synth", "3", "pinknoise", "vol", "0.15"})
                      .status,
                  0);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static TempDir *dir;
};
TempDir *Mp3Level::dir = nullptr;

struct Decoded {
    std::string err;
    std::vector<float> samples;
};

// ffmpeg's float decode, with every frame's CRC checked.
Decoded decode(const std::string &path, int channels) {
    const RunResult r =
        run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-err_detect", "crccheck+explode", "-i",
             path, "-f", "f32le", "-ac", std::to_string(channels), "-"});
    Decoded d;
    d.err = r.err + (r.status != 0 ? "exit status " + std::to_string(r.status) : "");
    d.samples.resize(r.out.size() / sizeof(float));
    std::memcpy(d.samples.data(), r.out.data(), d.samples.size() * sizeof(float));
    return d;
}

double rmsDb(const std::vector<float> &s) {
    double sum = 0;
    for (const float v : s)
        sum += double(v) * v;
    return 10.0 * std::log10(sum / double(s.size()));
}

std::string packets(const std::string &path) {
    return run({TUNARA_FFPROBE, "-v", "error", "-select_streams", "a:0", "-count_packets",
                "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path})
        .out;
}

TEST_P(Mp3Level, MovesTheDecodedLevelByOneAndAHalfDecibelsPerStep) {
    const Encoding &e = GetParam();
    const std::string source = dir->file(std::string(e.name) + ".mp3");
    const std::string levelled = dir->file(std::string(e.name) + "-levelled.mp3");
    std::vector<std::string> argv{TUNARA_LAME, "--quiet", "--add-id3v2", "--tt", "Levelled"};
    argv.insert(argv.end(), e.lame.begin(), e.lame.end());
    argv.push_back(dir->file("n.wav"));
    argv.push_back(source);
    ASSERT_EQ(run(argv).status, 0);
    const Bytes in = readFile(source);

    Mp3LevelReport report;
    ASSERT_EQ(levelMp3File(source, levelled, e.steps, &report), std::nullopt);
    const Bytes out = readFile(levelled);
    EXPECT_EQ(readFile(source), in) << "the source is never written";
    ASSERT_EQ(out.size(), in.size());
    if (e.steps == 0) {
        EXPECT_EQ(out, in);
    }

    const Mp3Layout layout = scanMp3(in);
    ASSERT_GT(layout.frames.size(), 20u);
    EXPECT_EQ(layout.skippedBytes, 0u);
    EXPECT_EQ(layout.frames.front().kind == Mp3Frame::Kind::InfoFrame, e.infoFrame);
    EXPECT_EQ(report.levelledFrames, layout.frames.size() - (e.infoFrame ? 1 : 0));
    EXPECT_EQ(report.clampedGains, 0u);
    EXPECT_EQ(scanMp3(out).frames.size(), layout.frames.size());
    // The tags and the info frame are copied as they are; in every frame the header and the
    // audio data after the side information are too.
    ASSERT_GT(layout.audioStart, 0u);
    EXPECT_TRUE(
        std::equal(in.begin(), in.begin() + std::ptrdiff_t(layout.audioStart), out.begin()));
    EXPECT_TRUE(std::equal(in.begin() + std::ptrdiff_t(layout.audioEnd), in.end(),
                           out.begin() + std::ptrdiff_t(layout.audioEnd)));
    for (const Mp3Frame &f : layout.frames) {
        const std::size_t kept = f.kind == Mp3Frame::Kind::InfoFrame ? 0 : 4 + (e.crc ? 2 : 0) + 32;
        EXPECT_TRUE(std::equal(in.begin() + std::ptrdiff_t(f.offset + kept),
                               in.begin() + std::ptrdiff_t(f.offset + f.length),
                               out.begin() + std::ptrdiff_t(f.offset + kept)))
            << "frame at " << f.offset;
        EXPECT_TRUE(std::equal(in.begin() + std::ptrdiff_t(f.offset),
                               in.begin() + std::ptrdiff_t(f.offset + 4),
                               out.begin() + std::ptrdiff_t(f.offset)));
    }

    const Decoded before = decode(source, e.channels);
    const Decoded after = decode(levelled, e.channels);
    EXPECT_EQ(before.err, "");
    EXPECT_EQ(after.err, "") << "ffmpeg finds the levelled stream damaged";
    EXPECT_EQ(after.samples.size(), before.samples.size());
    EXPECT_EQ(packets(levelled), packets(source));
    ASSERT_FALSE(before.samples.empty());
    EXPECT_NEAR(rmsDb(after.samples) - rmsDb(before.samples), e.steps * kGainStepDb, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Lame, Mp3Level, testing::ValuesIn(kEncodings),
                         [](const auto &row) { return std::string(row.param.name); });

// One damage or hostile shape made from a small real stream, and what must hold afterwards.
struct Damage {
    const char *name;
    std::function<void(Bytes &, const Mp3Layout &)> apply;
    int steps;
    std::size_t levelledLess; // frames of the clean stream no longer levelled
    const char *note;         // a note that must be in the report ("" for none)
};

Bytes appendApe(Bytes b) {
    // An APEv2 tag with a footer and a header whose item holds frame syncs.
    Bytes item{4, 0, 0, 0, 0, 0, 0, 0, 'K', 'e', 'y', 0, 0xFF, 0xFB, 0x90, 0x64};
    auto block = [&](bool header) {
        Bytes h{'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0};
        const std::uint32_t size = std::uint32_t(item.size() + 32);
        for (int i = 0; i < 4; ++i)
            h.push_back(std::uint8_t(size >> (8 * i)));
        h.insert(h.end(), {1, 0, 0, 0});
        const std::uint32_t flags = 0x80000000u | (header ? 0x20000000u : 0);
        for (int i = 0; i < 4; ++i)
            h.push_back(std::uint8_t(flags >> (8 * i)));
        h.resize(h.size() + 8, 0);
        return h;
    };
    const Bytes head = block(true), foot = block(false);
    b.insert(b.end(), head.begin(), head.end());
    b.insert(b.end(), item.begin(), item.end());
    b.insert(b.end(), foot.begin(), foot.end());
    return b;
}

const Damage kDamages[] = {
    {"truncated_last_frame",
     [](Bytes &b, const Mp3Layout &l) { b.resize(l.frames.back().offset + 30); }, 2, 1, ""},
    {"broken_header_mid_stream",
     // The frame before the broken header is not confirmed by the one after it either.
     [](Bytes &b, const Mp3Layout &l) { b[l.frames[10].offset + 1] = 0x00; }, 2, 2,
     "bytes of damaged or unknown data"},
    {"bad_crc", [](Bytes &b, const Mp3Layout &l) { b[l.frames[5].offset + 4] ^= 0x5A; }, -2, 1,
     "bad CRC"},
    {"junk_between_frames",
     [](Bytes &b, const Mp3Layout &l) {
         const Bytes junk{0xFF, 0xFB, 0x90, 0x64, 0x00, 0x13, 0xFF, 0xE0, 0x12};
         b.insert(b.begin() + std::ptrdiff_t(l.frames[7].offset), junk.begin(), junk.end());
     },
     3, 0, "bytes of damaged or unknown data"},
    {"ape_and_id3v1_at_the_end",
     [](Bytes &b, const Mp3Layout &) {
         b = appendApe(b);
         Bytes v1(128, 0xFF);
         std::memcpy(v1.data(), "TAG", 3);
         b.insert(b.end(), v1.begin(), v1.end());
     },
     1, 0, ""},
    {"free_format_frame", [](Bytes &b, const Mp3Layout &l) { b[l.frames[3].offset + 2] &= 0x0F; },
     1, 1, "free-format"},
    {"gains_held_at_the_top", [](Bytes &, const Mp3Layout &) {}, 255, 0, "held at the end"},
    {"gains_held_at_the_bottom", [](Bytes &, const Mp3Layout &) {}, -255, 0, "held at the end"},
};

class Mp3LevelDamage : public testing::TestWithParam<Damage> {};

TEST_P(Mp3LevelDamage, LevelsTheSoundFramesAndLeavesTheRestAsItIs) {
    const Damage &d = GetParam();
    TempDir dir;
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", dir.file("n.wav"),
                   "synth", "0.8", "pinknoise", "vol", "0.1"})
                  .status,
              0);
    ASSERT_EQ(run({TUNARA_LAME, "--quiet", "-p", "-b", "128", "--id3v2-only", "--tt", "x",
                   dir.file("n.wav"), dir.file("clean.mp3")})
                  .status,
              0);
    Bytes in = readFile(dir.file("clean.mp3"));
    const Mp3Layout clean = scanMp3(in);
    ASSERT_GT(clean.frames.size(), 15u);
    d.apply(in, clean);
    const Mp3Layout layout = scanMp3(in);

    Mp3LevelReport report;
    const Bytes out = levelMp3(in, d.steps, &report);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(report.levelledFrames, clean.frames.size() - 1 - d.levelledLess);
    const Mp3Layout after = scanMp3(out);
    ASSERT_EQ(after.frames.size(), layout.frames.size());
    for (std::size_t i = 0; i < layout.frames.size(); ++i)
        EXPECT_EQ(after.frames[i].offset, layout.frames[i].offset);
    // Every byte outside the levelled frames' CRC and side information is the source's.
    std::vector<bool> owned(in.size(), false);
    for (const Mp3Frame &f : layout.frames)
        if (f.kind == Mp3Frame::Kind::Levelled)
            for (std::size_t i = 4; i < 4 + 2 + 32; ++i)
                owned[f.offset + i] = true;
    for (std::size_t i = 0; i < in.size(); ++i)
        if (!owned[i]) {
            ASSERT_EQ(out[i], in[i]) << "byte " << i;
        }
    bool noted = std::string(d.note).empty();
    for (const std::string &n : report.notes)
        noted = noted || n.find(d.note) != std::string::npos;
    EXPECT_TRUE(noted) << "no note saying '" << d.note << "'";
    if (std::abs(d.steps) == 255) {
        EXPECT_GT(report.clampedGains, 0u);
    }

    // ffmpeg decodes the levelled frames without a CRC complaint beyond the source's own.
    writeFile(dir.file("in.mp3"), in);
    writeFile(dir.file("out.mp3"), out);
    const auto errors = [&](const std::string &path) {
        return run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-err_detect", "crccheck", "-i", path,
                    "-f", "null", "-"})
                   .err.find("CRC mismatch") != std::string::npos;
    };
    EXPECT_EQ(errors(dir.file("out.mp3")), errors(dir.file("in.mp3")));
}

INSTANTIATE_TEST_SUITE_P(Shapes, Mp3LevelDamage, testing::ValuesIn(kDamages),
                         [](const auto &row) { return std::string(row.param.name); });

// Inputs that are no MP3 at all come back as they are.
struct Hostile {
    const char *name;
    Bytes bytes;
};

const Hostile kHostile[] = {
    {"empty", {}},
    {"three_bytes", {0xFF, 0xFB, 0x90}},
    {"header_alone", {0xFF, 0xFB, 0x90, 0x64}},
    {"id3_claiming_more_than_the_file",
     {'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F, 0xFF, 0xFB}},
    {"ape_footer_claiming_more_than_the_file",
     {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X',  0xD0, 0x07, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
      0,   0,   0,   0,   0,   0,   0,   0xA0, 0,    0,    0, 0, 0,    0,    0,    0}},
    {"syncs_everywhere", Bytes(5000, 0xFF)},
};

class Mp3LevelHostile : public testing::TestWithParam<Hostile> {};

TEST_P(Mp3LevelHostile, ComesBackUnchanged) {
    const Hostile &h = GetParam();
    Mp3LevelReport report;
    EXPECT_EQ(levelMp3(h.bytes, 4, &report), h.bytes);
    EXPECT_EQ(report.levelledFrames, 0u);
}

INSTANTIATE_TEST_SUITE_P(Bytes, Mp3LevelHostile, testing::ValuesIn(kHostile),
                         [](const auto &row) { return std::string(row.param.name); });

struct StepCase {
    const char *name;
    double gainDb;
    double peak;
    int steps;
};

const StepCase kSteps[] = {
    {"nearest_step_up", 4.4, 0.3, 3},         // 4.4 / 1.505 = 2.92
    {"nearest_step_down", -5.0, 0.9, -3},     // -3.32
    {"half_a_step_is_nothing", 0.7, 0.99, 0}, // a file left alone stays alone
    {"cut_to_the_ceiling", 6.0, 0.5, 3},      // 4 steps would give 1.0; 3 give 0.84
    {"peak_unknown", 6.0, 0.0, 4},
    {"loud_peak_never_louder", 3.0, 1.0, 0},
    {"quieter_goes_under_the_ceiling", -1.6, 1.2, -2}, // 1.2 * 2^(-1/4) = 1.01 > 0.891
    {"huge_gain_held", 1000.0, 0.0, 255},
    {"not_a_number", std::nan(""), 0.5, 0},
};

class Mp3GainSteps : public testing::TestWithParam<StepCase> {};

TEST_P(Mp3GainSteps, RoundsAndKeepsThePeakUnderTheCeiling) {
    const StepCase &c = GetParam();
    const int steps = mp3GainSteps(c.gainDb, c.peak);
    EXPECT_EQ(steps, c.steps);
    if (c.peak > 0 && steps != 0) {
        EXPECT_LE(c.peak * std::pow(2.0, steps / 4.0), std::pow(10.0, -1.0 / 20.0) + 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(Gains, Mp3GainSteps, testing::ValuesIn(kSteps),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
