// Loudness against known signals and against ffmpeg's own R128 meter on files sox, lame and
// ffmpeg make; album loudness pooled over tracks; the gains stored in tags, good and garbage, and
// when they are taken in place of a measurement.
#include "gaintags.h"
#include "levelling.h"
#include "levelmode.h"
#include "loudness.h"
#include "loudnesscache.h"
#include "mediatestutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <regex>
#include <sstream>

using namespace tunara::media;
using namespace mediatest;

namespace {

// Signals made in memory and fed to a meter as a converter feeds it.
struct MeterCase {
    const char *name;
    int rate;
    int channels;
    PeakMode mode;
    bool planar;                    // through addStereo, as AudioSource delivers
    std::function<float(int)> wave; // sample n of every channel
    double seconds;
    std::optional<double> lufs; // nullopt: too short or silent to measure
    double peak;
};

float sine(double freq, double amp, int rate, int n, double phase = 0) {
    return float(amp * std::sin(2 * std::numbers::pi * freq * n / rate + phase));
}

const MeterCase kMeterCases[] = {
    // A 1 kHz sine at -20 dBFS in both channels reads -20 LUFS by the definition of the scale.
    {"stereo_1k_minus20", 48000, 2, PeakMode::Sample, false,
     [](int n) { return sine(1000, 0.1, 48000, n); }, 5, -20.0, 0.1},
    {"stereo_planar_path", 44100, 2, PeakMode::Sample, true,
     [](int n) { return sine(1000, 0.1, 44100, n); }, 5, -20.0, 0.1},
    // One channel counts as dual mono: a mono file is heard on both sides.
    {"mono_is_dual_mono", 44100, 1, PeakMode::Sample, false,
     [](int n) { return sine(1000, 0.1, 44100, n); }, 5, -20.0, 0.1},
    // A quarter-rate sine sampled 45 degrees off its crests: the samples reach 0.707 of it.
    {"sample_peak_misses_the_crest", 44100, 2, PeakMode::Sample, false,
     [](int n) { return sine(11025, 0.5, 44100, n, std::numbers::pi / 4); }, 3, std::nullopt,
     0.3536},
    {"true_peak_finds_the_crest", 44100, 2, PeakMode::True, false,
     [](int n) { return sine(11025, 0.5, 44100, n, std::numbers::pi / 4); }, 3, std::nullopt, 0.5},
    {"too_short", 44100, 2, PeakMode::Sample, false,
     [](int n) { return sine(1000, 0.5, 44100, n); }, 0.3, std::nullopt, 0},
    {"silence", 44100, 2, PeakMode::Sample, false, [](int) { return 0.0f; }, 4, std::nullopt, 0},
};

class Meter : public testing::TestWithParam<MeterCase> {};

TEST_P(Meter, MeasuresKnownSignals) {
    const MeterCase &c = GetParam();
    auto made = LoudnessMeter::create(c.rate, c.channels, c.mode);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<LoudnessMeter>>(made));
    LoudnessMeter &meter = *std::get<std::unique_ptr<LoudnessMeter>>(made);
    const int frames = int(c.seconds * c.rate);
    constexpr int kBlock = 1152;
    std::vector<float> interleaved, left, right;
    for (int start = 0; start < frames; start += kBlock) {
        const int n = std::min(kBlock, frames - start);
        interleaved.clear();
        left.clear();
        right.clear();
        for (int i = 0; i < n; ++i) {
            const float v = c.wave(start + i);
            for (int ch = 0; ch < c.channels; ++ch)
                interleaved.push_back(v);
            left.push_back(v);
            right.push_back(v);
        }
        ASSERT_TRUE(c.planar ? meter.addStereo(left.data(), right.data(), std::size_t(n))
                             : meter.add(interleaved.data(), std::size_t(n)));
    }
    const auto result = meter.result();
    const bool measurable = c.lufs.has_value() || c.peak > 0;
    ASSERT_EQ(result.has_value(), measurable);
    if (!result)
        return;
    if (c.lufs) {
        EXPECT_NEAR(result->lufs, *c.lufs, 0.05);
        EXPECT_NEAR(result->gainDb(), kReplayGainReferenceLufs - *c.lufs, 0.05);
    }
    EXPECT_NEAR(result->peak, c.peak, c.peak * 0.02);
    EXPECT_NEAR(result->seconds, c.seconds, 0.001);
}

INSTANTIATE_TEST_SUITE_P(Signals, Meter, testing::ValuesIn(kMeterCases),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(Meter, RefusesRatesAndChannelsNoAudioHas) {
    EXPECT_TRUE(std::holds_alternative<std::string>(LoudnessMeter::create(0, 2)));
    EXPECT_TRUE(std::holds_alternative<std::string>(LoudnessMeter::create(44100, 0)));
    EXPECT_TRUE(std::holds_alternative<std::string>(LoudnessMeter::create(44100, 65)));
    EXPECT_TRUE(std::holds_alternative<std::string>(LoudnessMeter::create(900000, 2)));
    auto mono = LoudnessMeter::create(44100, 1);
    const float one[2] = {0.5f, 0.5f};
    EXPECT_FALSE(std::get<std::unique_ptr<LoudnessMeter>>(mono)->addStereo(one, one, 1));
}

// ffmpeg's ebur128 filter: integrated loudness and sample peak as it prints them.
struct Judged {
    double lufs = 0;
    double peakDb = 0;
};
std::optional<Judged> ffmpegLoudness(const std::string &path, bool dualMono) {
    const RunResult r =
        run({TUNARA_FFMPEG, "-nostdin", "-hide_banner", "-nostats", "-i", path, "-af",
             std::string("ebur128=peak=sample") + (dualMono ? ":dualmono=true" : ""), "-f", "null",
             "-"});
    const auto summary = r.err.find("Summary:");
    if (summary == std::string::npos)
        return std::nullopt;
    const std::string text = r.err.substr(summary);
    std::smatch i, p;
    static const std::regex integrated(R"(I:\s+(-?[0-9.]+) LUFS)");
    static const std::regex peak(R"(Peak:\s+(-?[0-9.]+) dBFS)");
    if (!std::regex_search(text, i, integrated) || !std::regex_search(text, p, peak))
        return std::nullopt;
    return Judged{std::stod(i[1]), std::stod(p[1])};
}

// A file made by a command line (sox, then lame or ffmpeg when the name says so).
struct FileCase {
    const char *name;
    std::vector<std::string> sox; // after "sox -n", before the output: rate, channels
    const char *synth;            // sox's synth arguments
    const char *encode;           // "" (sox writes it), "mp3:ARGS", "ffmpeg:EXT"
    bool measurable;
    bool dualMono;
};

const FileCase kFiles[] = {
    {"wav_pink_noise", {"-r", "44100", "-c", "2"}, "4 pinknoise vol 0.2", "", true, false},
    {"mp3_joint_128", {"-r", "44100", "-c", "2"}, "4 pinknoise vol 0.3", "mp3:-b 128", true, false},
    {"mp3_mono_mpeg2",
     {"-r", "22050", "-c", "1"},
     "4 pinknoise vol 0.1",
     "mp3:-m m -b 32",
     true,
     true},
    {"flac_48k", {"-r", "48000", "-c", "2"}, "4 sine 300 vol 0.4", "", true, false},
    {"ogg_vorbis", {"-r", "44100", "-c", "2"}, "4 brownnoise vol 0.3", "ffmpeg:ogg", true, false},
    {"mp3_silent", {"-r", "44100", "-c", "2"}, "3 sine 440 vol 0", "mp3:-b 128", false, false},
    {"mp3_too_short",
     {"-r", "44100", "-c", "2"},
     "0.2 pinknoise vol 0.3",
     "mp3:-b 128",
     false,
     false},
};

class MeasureFile : public testing::TestWithParam<FileCase> {};

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    for (std::string x; in >> x;)
        w.push_back(x);
    return w;
}

std::string makeFile(const TempDir &dir, const FileCase &c) {
    const std::string enc = c.encode;
    const std::string wav = dir.file(std::string(c.name) + ".wav");
    std::string target = wav;
    if (enc.empty() && std::string(c.name).starts_with("flac"))
        target = dir.file(std::string(c.name) + ".flac");
    std::vector<std::string> argv{TUNARA_SOX, "-n"};
    argv.insert(argv.end(), c.sox.begin(), c.sox.end());
    argv.push_back("-b");
    argv.push_back("16");
    argv.push_back(target);
    argv.push_back("synth");
    for (const auto &w : words(c.synth))
        argv.push_back(w);
    EXPECT_EQ(run(argv).status, 0);
    if (enc.starts_with("mp3:")) {
        const std::string mp3 = dir.file(std::string(c.name) + ".mp3");
        std::vector<std::string> lame{TUNARA_LAME, "--quiet"};
        for (const auto &w : words(enc.substr(4)))
            lame.push_back(w);
        lame.push_back(wav);
        lame.push_back(mp3);
        EXPECT_EQ(run(lame).status, 0);
        return mp3;
    }
    if (enc.starts_with("ffmpeg:")) {
        const std::string out = dir.file(std::string(c.name) + "." + enc.substr(7));
        EXPECT_EQ(run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-i", wav, out}).status, 0);
        return out;
    }
    return target;
}

TEST_P(MeasureFile, AgreesWithFfmpegsMeter) {
    const FileCase &c = GetParam();
    TempDir dir;
    const std::string path = makeFile(dir, c);
    auto measured = measureFile(path);
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(measured))
        << std::get<DecodeFailure>(measured).reason;
    const MeasuredFile &m = std::get<MeasuredFile>(measured);
    ASSERT_EQ(m.loudness.has_value(), c.measurable);
    if (!c.measurable)
        return;
    const auto judged = ffmpegLoudness(path, c.dualMono);
    ASSERT_TRUE(judged.has_value());
    EXPECT_NEAR(m.loudness->lufs, judged->lufs, 0.15);
    EXPECT_NEAR(m.loudness->peakDbfs(), judged->peakDb, 0.15);
}

INSTANTIATE_TEST_SUITE_P(Files, MeasureFile, testing::ValuesIn(kFiles),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(MeasureFile, RefusesWhatIsNoAudio) {
    TempDir dir;
    writeFile(dir.file("junk.mp3"), Bytes(4000, 0x55));
    EXPECT_TRUE(std::holds_alternative<DecodeFailure>(measureFile(dir.file("junk.mp3"))));
    EXPECT_TRUE(std::holds_alternative<DecodeFailure>(measureFile(dir.file("missing.mp3"))));
}

// A name libavformat would take for a protocol ("pipe:" reads standard input) is a local file's.
TEST(MeasureFile, TakesANameLikeAProtocolForALocalFile) {
    TempDir dir;
    const std::string made = makeFile(dir, kFiles[0]);
    ASSERT_EQ(std::rename(made.c_str(), dir.file("pipe:0.wav").c_str()), 0);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.file(""));
    const auto measured = measureFile("pipe:0.wav");
    std::filesystem::current_path(before);
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(measured))
        << std::get<DecodeFailure>(measured).reason;
    EXPECT_TRUE(std::get<MeasuredFile>(measured).loudness.has_value());
}

// Joined files: a stereo MP3 followed by a mono one of 22.05 kHz. The decoder's output changes
// channels and rate in the middle; the whole stream is still measured.
TEST(MeasureFile, FollowsAStreamThatChangesChannelsAndRate) {
    TempDir dir;
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", dir.file("s.wav"),
                   "synth", "3", "sine", "1000", "vol", "0.1"})
                  .status,
              0);
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "22050", "-c", "1", "-b", "16", dir.file("m.wav"),
                   "synth", "3", "sine", "1000", "vol", "0.1"})
                  .status,
              0);
    ASSERT_EQ(run({TUNARA_LAME, "--quiet", "-t", "-b", "128", dir.file("s.wav"), dir.file("s.mp3")})
                  .status,
              0);
    ASSERT_EQ(run({TUNARA_LAME, "--quiet", "-t", "-b", "64", "-m", "m", dir.file("m.wav"),
                   dir.file("m.mp3")})
                  .status,
              0);
    Bytes joined = readFile(dir.file("s.mp3"));
    const Bytes second = readFile(dir.file("m.mp3"));
    joined.insert(joined.end(), second.begin(), second.end());
    writeFile(dir.file("joined.mp3"), joined);
    auto measured = measureFile(dir.file("joined.mp3"));
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(measured))
        << std::get<DecodeFailure>(measured).reason;
    const auto &l = std::get<MeasuredFile>(measured).loudness;
    ASSERT_TRUE(l.has_value());
    EXPECT_NEAR(l->seconds, 6.0, 0.2);
    EXPECT_GT(l->lufs, -24.0);
    EXPECT_LT(l->lufs, -19.5);
}

// Two tracks of equal length at -20 and -26 LUFS: the album is their pooled energy, -22.03
// LUFS, not the mean of the two readings (-23); ffmpeg measuring them joined agrees.
TEST(Album, PoolsTheTracksBlocks) {
    TempDir dir;
    const std::string a = dir.file("a.wav"), b = dir.file("b.wav"), ab = dir.file("ab.wav");
    const double ampA = 0.1, ampB = 0.1 * std::pow(10.0, -6.0 / 20.0);
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", a, "synth", "6", "sine",
                   "1000", "vol", std::to_string(ampA)})
                  .status,
              0);
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "48000", "-c", "2", "-b", "16", b, "synth", "6", "sine",
                   "1000", "vol", std::to_string(ampB)})
                  .status,
              0);
    auto ma = measureFile(a), mb = measureFile(b);
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(ma));
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(mb));
    const LoudnessMeter *meters[] = {std::get<MeasuredFile>(ma).meter.get(),
                                     std::get<MeasuredFile>(mb).meter.get()};
    const auto album = albumLoudness(meters);
    ASSERT_TRUE(album.has_value());
    EXPECT_NEAR(album->lufs, 10 * std::log10((0.01 + 0.01 * std::pow(10.0, -0.6)) / 2), 0.05);
    EXPECT_NEAR(album->peak, ampA, 0.002);
    EXPECT_NEAR(album->seconds, 12, 0.01);
    ASSERT_EQ(run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-i", a, "-i", b, "-filter_complex",
                   "[1]aresample=44100[b];[0][b]concat=n=2:v=0:a=1", ab})
                  .status,
              0);
    const auto joined = ffmpegLoudness(ab, false);
    ASSERT_TRUE(joined.has_value());
    EXPECT_NEAR(album->lufs, joined->lufs, 0.1);

    // A silent track adds nothing to the album; an album of silence has no loudness.
    ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", dir.file("s.wav"), "trim", "0", "5"})
                  .status,
              0);
    auto ms = measureFile(dir.file("s.wav"));
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(ms));
    const LoudnessMeter *withSilence[] = {meters[0], std::get<MeasuredFile>(ms).meter.get()};
    EXPECT_NEAR(albumLoudness(withSilence)->lufs, -20.0, 0.05);
    const LoudnessMeter *silenceOnly[] = {std::get<MeasuredFile>(ms).meter.get()};
    EXPECT_FALSE(albumLoudness(silenceOnly).has_value());
}

// Gains stored in tags, written by ffmpeg into each container.
struct StoredCase {
    const char *name;
    const char *extension;
    std::vector<std::pair<std::string, std::string>> tags;
    std::optional<double> track, album, trackPeak;
    std::size_t warnings;
};

const StoredCase kStored[] = {
    {"flac_comments",
     "flac",
     {{"REPLAYGAIN_TRACK_GAIN", "-6.50 dB"},
      {"REPLAYGAIN_TRACK_PEAK", "0.912"},
      {"REPLAYGAIN_ALBUM_GAIN", "-7.25 dB"}},
     -6.5,
     -7.25,
     0.912,
     0},
    {"vorbis_comments",
     "ogg",
     {{"REPLAYGAIN_TRACK_GAIN", "+2.1 dB"}},
     2.1,
     std::nullopt,
     std::nullopt,
     0},
    // -1280 / 256 = -5 dB to -23 LUFS, which is 0 dB to -18; 512 is +2 dB, so +7.
    {"opus_r128",
     "opus",
     {{"R128_TRACK_GAIN", "-1280"}, {"R128_ALBUM_GAIN", "512"}},
     0.0,
     7.0,
     std::nullopt,
     0},
    {"opus_r128_wins_over_replaygain",
     "opus",
     {{"R128_TRACK_GAIN", "0"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}},
     5.0,
     std::nullopt,
     std::nullopt,
     0},
    {"mp3_txxx",
     "mp3",
     {{"REPLAYGAIN_TRACK_GAIN", "-4.37 dB"}, {"REPLAYGAIN_TRACK_PEAK", "1.052"}},
     -4.37,
     std::nullopt,
     1.052,
     0},
    {"garbage_gain_ignored",
     "mp3",
     {{"REPLAYGAIN_TRACK_GAIN", "loud"}, {"REPLAYGAIN_ALBUM_GAIN", "-2 dB"}},
     std::nullopt,
     -2.0,
     std::nullopt,
     1},
    {"garbage_r128_and_peak_ignored",
     "opus",
     {{"R128_TRACK_GAIN", "12x"}, {"REPLAYGAIN_TRACK_PEAK", "-0.5"}},
     std::nullopt,
     std::nullopt,
     std::nullopt,
     2},
    {"no_gain_at_all", "flac", {{"TITLE", "x"}}, std::nullopt, std::nullopt, std::nullopt, 0},
};

class StoredGains : public testing::TestWithParam<StoredCase> {};

TEST_P(StoredGains, AreReadAsGainsToMinus18Lufs) {
    const StoredCase &c = GetParam();
    TempDir dir;
    const std::string path = dir.file(std::string("t.") + c.extension);
    std::vector<std::string> argv{TUNARA_FFMPEG, "-nostdin", "-v", "error",
                                  "-f",          "lavfi",    "-i", "sine=d=1"};
    for (const auto &[key, value] : c.tags) {
        argv.push_back("-metadata");
        argv.push_back(key + "=" + value);
    }
    argv.push_back(path);
    ASSERT_EQ(run(argv).status, 0);
    const StoredGain g = readStoredGain(path);
    const auto same = [](std::optional<double> a, std::optional<double> b) {
        return a.has_value() == b.has_value() && (!a || std::fabs(*a - *b) < 1e-9);
    };
    EXPECT_TRUE(same(g.trackGainDb, c.track)) << g.trackGainDb.value_or(-999);
    EXPECT_TRUE(same(g.albumGainDb, c.album)) << g.albumGainDb.value_or(-999);
    EXPECT_TRUE(same(g.trackPeak, c.trackPeak)) << g.trackPeak.value_or(-999);
    EXPECT_EQ(g.warnings.size(), c.warnings);
    for (const auto &w : g.warnings)
        EXPECT_NE(w.find("ignored"), std::string::npos) << w;
}

INSTANTIATE_TEST_SUITE_P(Tags, StoredGains, testing::ValuesIn(kStored),
                         [](const auto &row) { return std::string(row.param.name); });

// The gains of files whose tags hold one: taken when asked for and whole (a gain with its peak;
// for an album every file's album gain too), else measured. The tone measures far from the
// -30 dB the tags claim, so either way shows.
struct TaggedFile {
    std::vector<std::pair<std::string, std::string>> tags;
    bool useStoredGain;
    bool fromTags; // expected
};
struct TagsOrMeasureCase {
    const char *name;
    LevelMode mode;
    std::vector<TaggedFile> files;
    std::size_t warnings;
};

const std::vector<std::pair<std::string, std::string>> kWholeTrack = {
    {"REPLAYGAIN_TRACK_GAIN", "-30.00 dB"}, {"REPLAYGAIN_TRACK_PEAK", "0.5"}};
const std::vector<std::pair<std::string, std::string>> kWholeAlbum = {
    {"REPLAYGAIN_TRACK_GAIN", "-30.00 dB"},
    {"REPLAYGAIN_TRACK_PEAK", "0.5"},
    {"REPLAYGAIN_ALBUM_GAIN", "-31.00 dB"},
    {"REPLAYGAIN_ALBUM_PEAK", "0.6"}};

const TagsOrMeasureCase kTagsOrMeasure[] = {
    {"track_tags_whole", LevelMode::Track, {{kWholeTrack, true, true}}, 0},
    {"track_tags_not_asked_for", LevelMode::Track, {{kWholeTrack, false, false}}, 0},
    {"track_gain_without_peak",
     LevelMode::Track,
     {{{{"REPLAYGAIN_TRACK_GAIN", "-30.00 dB"}}, true, false}},
     0},
    {"track_garbage_gain_warned",
     LevelMode::Track,
     {{{{"REPLAYGAIN_TRACK_GAIN", "loud"}, {"REPLAYGAIN_TRACK_PEAK", "0.5"}}, true, false}},
     1},
    {"tracks_each_their_own", LevelMode::Track, {{kWholeTrack, true, true}, {{}, true, false}}, 0},
    {"album_all_tagged",
     LevelMode::Album,
     {{kWholeAlbum, true, true}, {kWholeAlbum, true, true}},
     0},
    {"album_with_an_untagged_file_measured",
     LevelMode::Album,
     {{kWholeAlbum, true, false}, {{}, true, false}},
     0},
    {"album_tracks_tagged_without_album_gain",
     LevelMode::Album,
     {{kWholeTrack, true, false}, {kWholeTrack, true, false}},
     0},
};

class TagsOrMeasure : public testing::TestWithParam<TagsOrMeasureCase> {};

TEST_P(TagsOrMeasure, TakesWholeTagsWhenAskedElseMeasures) {
    const TagsOrMeasureCase &c = GetParam();
    TempDir dir;
    std::vector<LevelSource> sources;
    for (std::size_t i = 0; i < c.files.size(); ++i) {
        const std::string path = dir.file("t" + std::to_string(i) + ".flac");
        std::vector<std::string> argv{TUNARA_FFMPEG, "-nostdin", "-v",       "error", "-f",
                                      "lavfi",       "-i",       "sine=d=2", "-af",   "volume=0.5"};
        for (const auto &[key, value] : c.files[i].tags) {
            argv.push_back("-metadata");
            argv.push_back(key + "=" + value);
        }
        argv.push_back(path);
        ASSERT_EQ(run(argv).status, 0);
        sources.push_back({path, PeakMode::Sample, c.files[i].useStoredGain});
    }
    const std::vector<LevelDecision> decided = decideLevels(sources, c.mode);
    ASSERT_EQ(decided.size(), c.files.size());
    std::size_t warnings = 0;
    for (std::size_t i = 0; i < decided.size(); ++i) {
        const LevelDecision &d = decided[i];
        warnings += d.warnings.size();
        for (const std::string &w : d.warnings)
            EXPECT_EQ(w.rfind(sources[i].path + ": ", 0), 0u) << w;
        ASSERT_TRUE(d.gain.has_value()) << d.note;
        if (c.files[i].fromTags) {
            EXPECT_DOUBLE_EQ(d.gain->trackGainDb, -30.0) << i;
            EXPECT_DOUBLE_EQ(d.gain->trackPeak, 0.5) << i;
            if (c.mode == LevelMode::Album) {
                EXPECT_DOUBLE_EQ(d.gain->wantedDb(LevelMode::Album), -31.0) << i;
            }
        } else {
            EXPECT_GT(std::fabs(d.gain->trackGainDb + 30.0), 5.0) << i << " was not measured";
            if (c.mode == LevelMode::Album) {
                ASSERT_TRUE(d.gain->albumGainDb.has_value());
                EXPECT_GT(std::fabs(*d.gain->albumGainDb + 31.0), 5.0) << i;
            }
        }
    }
    EXPECT_EQ(warnings, c.warnings);
}

INSTANTIATE_TEST_SUITE_P(Levels, TagsOrMeasure, testing::ValuesIn(kTagsOrMeasure),
                         [](const auto &row) { return std::string(row.param.name); });

// An album measured once is not measured again while its files stay as they are: the kept
// entry is what the next run takes (an entry edited by hand shows it), a file that changed, a
// damaged entry or a folder others may write is measured anew.
enum class CacheTamper { None, EditedEntry, EditedEntryFileChanged, DamagedEntry, OpenFolder };
struct CacheCase {
    const char *name;
    CacheTamper tamper;
    bool takesEditedValue; // the second run's first gain is the edited -42 dB
    bool entryKept;        // the first run left an entry
};

const CacheCase kCacheCases[] = {
    {"kept_entry_taken", CacheTamper::EditedEntry, true, true},
    {"unchanged_gives_the_same", CacheTamper::None, false, true},
    {"changed_file_measured_again", CacheTamper::EditedEntryFileChanged, false, true},
    {"damaged_entry_measured_again", CacheTamper::DamagedEntry, false, true},
    {"open_folder_neither_read_nor_written", CacheTamper::OpenFolder, false, false},
};

class AlbumCache : public testing::TestWithParam<CacheCase> {};

TEST_P(AlbumCache, MeasuresOnlyWhatChanged) {
    const CacheCase &c = GetParam();
    TempDir dir;
    const std::string cacheDir = dir.file("cache");
    std::filesystem::create_directory(cacheDir);
    ::chmod(cacheDir.c_str(), c.tamper == CacheTamper::OpenFolder ? 0777 : 0700);
    const auto cache = std::make_shared<const LoudnessCache>(cacheDir);
    std::vector<LevelSource> files;
    for (const char *name : {"a.flac", "b.flac"}) {
        ASSERT_EQ(run({TUNARA_FFMPEG, "-nostdin", "-v", "error", "-f", "lavfi", "-i", "sine=d=2",
                       dir.file(name)})
                      .status,
                  0);
        files.push_back({dir.file(name), PeakMode::Sample, false});
    }
    const std::vector<LevelDecision> first =
        decideLevels(files, LevelMode::Album, nullptr, cache.get());
    ASSERT_EQ(first.size(), 2u);
    ASSERT_TRUE(first[0].gain.has_value());
    std::vector<std::string> entries;
    for (const auto &e : std::filesystem::directory_iterator(cacheDir))
        entries.push_back(e.path().string());
    ASSERT_EQ(entries.size(), c.entryKept ? 1u : 0u);
    if (c.tamper == CacheTamper::EditedEntry || c.tamper == CacheTamper::EditedEntryFileChanged) {
        std::ifstream in(entries[0]);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const std::size_t at = text.find("\ngain ");
        ASSERT_NE(at, std::string::npos) << text;
        text.replace(at + 6, text.find(' ', at + 6) - (at + 6), "-42");
        std::ofstream(entries[0], std::ios::trunc) << text;
    }
    if (c.tamper == CacheTamper::EditedEntryFileChanged) {
        ASSERT_EQ(run({TUNARA_FFMPEG, "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                       "sine=d=2", "-metadata", "TITLE=changed", files[0].path})
                      .status,
                  0);
    }
    if (c.tamper == CacheTamper::DamagedEntry)
        std::filesystem::resize_file(entries[0], 40);
    const LevelDecision again = AlbumLevels(files, cache).decision(0, nullptr);
    ASSERT_TRUE(again.gain.has_value()) << again.note;
    if (c.takesEditedValue) {
        EXPECT_DOUBLE_EQ(again.gain->trackGainDb, -42.0);
    } else {
        EXPECT_NEAR(again.gain->trackGainDb, first[0].gain->trackGainDb, 0.01);
        ASSERT_TRUE(again.gain->albumGainDb.has_value());
        EXPECT_NEAR(*again.gain->albumGainDb, *first[0].gain->albumGainDb, 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, AlbumCache, testing::ValuesIn(kCacheCases),
                         [](const auto &row) { return std::string(row.param.name); });

struct GainText {
    const char *text;
    std::optional<double> gain;
};

class GainTexts : public testing::TestWithParam<GainText> {};

TEST_P(GainTexts, AcceptOnlyPlainDecibels) {
    const auto parsed = parseGainText(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().gain.has_value()) << GetParam().text;
    if (parsed) {
        EXPECT_DOUBLE_EQ(*parsed, *GetParam().gain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GainTexts,
    testing::Values(GainText{"-6.50 dB", -6.5}, GainText{"+3 dB", 3.0},
                    GainText{" -0.25dB ", -0.25}, GainText{"1,5 dB", 1.5}, GainText{"-7.1", -7.1},
                    GainText{"", std::nullopt}, GainText{"dB", std::nullopt},
                    GainText{"nan dB", std::nullopt}, GainText{"inf", std::nullopt},
                    GainText{"1e3 dB", std::nullopt}, GainText{"-6.5 dB extra", std::nullopt},
                    GainText{"--6 dB", std::nullopt}, GainText{"1.2.3 dB", std::nullopt},
                    GainText{"250 dB", std::nullopt}));

struct LimitCase {
    const char *name;
    double gainDb, peak, applied;
};

class LimitedGain : public testing::TestWithParam<LimitCase> {};

TEST_P(LimitedGain, KeepsThePeakUnderMinusOneDbfs) {
    EXPECT_NEAR(limitedGainDb(GetParam().gainDb, GetParam().peak), GetParam().applied, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Gains, LimitedGain,
                         testing::Values(LimitCase{"room_enough", 3.0, 0.5, 3.0},
                                         // 0.5 is -6.02 dBFS: +5.02 dB reaches -1 dBFS.
                                         LimitCase{"cut_at_the_ceiling", 8.0, 0.5,
                                                   -1.0 - 20 * std::log10(0.5)},
                                         LimitCase{"loud_peak_not_made_louder", 2.0, 1.0, 0.0},
                                         LimitCase{"cut_goes_deeper", -0.5, 1.0, -1.0},
                                         LimitCase{"peak_unknown", 4.0, 0.0, 4.0},
                                         LimitCase{"not_a_number", std::nan(""), 0.5, 0.0}),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(LevelModes, HaveOneNameEach) {
    for (const LevelMode m : {LevelMode::Off, LevelMode::Track, LevelMode::Album})
        EXPECT_EQ(parseLevelMode(levelModeName(m)), m);
    EXPECT_EQ(parseLevelMode("Album"), std::nullopt);
    EXPECT_EQ(parseLevelMode(""), std::nullopt);
}

TEST(GainTexts, RenderAsTaggersWriteThem) {
    EXPECT_EQ(gainText(-6.504), "-6.50 dB");
    EXPECT_EQ(gainText(3.0), "+3.00 dB");
    EXPECT_EQ(peakText(0.98765432), "0.987654");
    const auto items = replayGainItems({-1.0, 0.5, -2.0, 0.75});
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[2].first, "REPLAYGAIN_ALBUM_GAIN");
    EXPECT_EQ(items[2].second, "-2.00 dB");
}

} // namespace
