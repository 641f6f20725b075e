// `kesto check --loudness` as a black box: files made by sox and lame with a known loudness
// (a 1 kHz sine of amplitude A in both channels reads 20 log10 A LUFS), checked on stdout,
// stderr and the exit status.
#include "process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::TempDir;

namespace {

// A file the row makes: name, sox synth arguments (after "synth"), lame arguments ("" keeps
// the WAV), and an optional second sox part joined after the first.
struct Source {
    std::string name;
    std::string synth;
    std::string lame;
    std::string tail;                   // sox synth arguments of a part appended, "" for none
    std::vector<std::string> tagValues; // ffmpeg -metadata values written into an MP3
};

// What one stdout line must say: its first field (a file name or "album (N files)"), the
// loudness in LUFS, the MP3 steps, a text it contains.
struct Line {
    std::string first;
    std::optional<double> lufs;
    std::optional<int> steps;
    std::string contains;
};

struct Row {
    const char *name;
    std::vector<Source> sources;
    std::vector<std::string> options; // before the files
    int exitCode;
    std::vector<Line> lines;
    std::string stderrHas;
};

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    for (std::string x; in >> x;)
        w.push_back(x);
    return w;
}

std::vector<std::string> split(const std::string &s, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, by))
        parts.push_back(part);
    return parts;
}

const Row kRows[] = {
    // -21.94 LUFS (lame takes a pure tone down by about 0.3 dB): +4.2 dB is 2.8 steps, so 3.
    // The album pools both tones' blocks: about -16.4 LUFS, -1 step.
    {"quiet_mp3_and_loud_wav",
     {{"quiet.mp3", "4 sine 1000 vol 0.08", "-b 192", "", {}},
      {"loud.wav", "4 sine 1000 vol 0.2", "", "", {}}},
     {},
     0,
     {{"quiet.mp3", -21.94, 3, "gain +4."},
      {"loud.wav", -13.98, std::nullopt, "gain -4.0"},
      {"album (2 files)", -16.4, -1, "peak -13.9"}},
     ""},
    // A quiet tone (+5 steps) with a 10 ms full-scale burst: the steps stop before the peak
    // passes -1 dBFS, here at none.
    {"peak_holds_the_steps_back",
     {{"peaky.mp3", "20 sine 1000 vol 0.05", "-b 192", "0.01 square 200 vol 0.98", {}}},
     {},
     0,
     {{"peaky.mp3", std::nullopt, 0, "mp3 0 steps"}, {"album (1 file)", std::nullopt, 0, ""}},
     ""},
    {"silent_and_short_get_no_gain",
     {{"silent.mp3", "3 sine 1000 vol 0", "-b 128", "", {}},
      {"short.wav", "0.3 sine 1000 vol 0.5", "", "", {}}},
     {},
     0,
     {{"silent.mp3", std::nullopt, std::nullopt, "too short or silent to measure: no gain"},
      {"short.wav", std::nullopt, std::nullopt, "too short or silent to measure: no gain"},
      {"album (2 files)", std::nullopt, std::nullopt, "too short or silent to measure"}},
     ""},
    {"tags_read_and_garbage_ignored",
     {{"tagged.mp3",
       "3 sine 1000 vol 0.07",
       "-b 192",
       "",
       {"REPLAYGAIN_TRACK_GAIN=loud", "REPLAYGAIN_ALBUM_GAIN=-2.5 dB",
        "REPLAYGAIN_TRACK_PEAK=0.5"}}},
     {"--tags"},
     0,
     {{"tagged.mp3", -23.1, 4, "tags peak 0.500000 album -2.50 dB"},
      {"album (1 file)", -23.1, 4, ""}},
     "REPLAYGAIN_TRACK_GAIN 'loud' is not a gain: ignored"},
    {"undecodable_file_fails_the_run",
     {{"tone.wav", "2 sine 1000 vol 0.1", "", "", {}}, {"junk.mp3", "", "", "", {}}},
     {},
     1,
     {{"tone.wav", -20.0, std::nullopt, ""}, {"album (1 file)", -20.0, std::nullopt, ""}},
     "kesto check: '"},
};

class LoudnessCli : public testing::TestWithParam<Row> {};

TEST_P(LoudnessCli, PrintsLoudnessPeakGainAndSteps) {
    const Row &row = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.made());
    std::vector<std::string> argv{KESTO_PROGRAM, "check", "--loudness"};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    for (const Source &s : row.sources) {
        const std::string path = (dir / s.name).string();
        argv.push_back(path);
        if (s.synth.empty()) {
            std::ofstream(path) << std::string(3000, 'U');
            continue;
        }
        const std::string wav = s.lame.empty() ? path : (dir / (s.name + ".wav")).string();
        std::vector<std::string> sox{SOX_PROGRAM, "-n", "-r", "44100", "-c",
                                     "2",         "-b", "16", wav,     "synth"};
        for (const auto &w : words(s.synth))
            sox.push_back(w);
        ASSERT_EQ(runProcess(sox).exitCode, 0);
        if (!s.tail.empty()) {
            const std::string part = (dir / "tail.wav").string(), joined = wav + ".joined.wav";
            std::vector<std::string> tail{SOX_PROGRAM, "-n", "-r", "44100", "-c",
                                          "2",         "-b", "16", part,    "synth"};
            for (const auto &w : words(s.tail))
                tail.push_back(w);
            ASSERT_EQ(runProcess(tail).exitCode, 0);
            ASSERT_EQ(runProcess({SOX_PROGRAM, wav, part, joined}).exitCode, 0);
            std::filesystem::rename(joined, wav);
        }
        if (s.lame.empty())
            continue;
        std::vector<std::string> lame{LAME_PROGRAM, "--quiet"};
        for (const auto &w : words(s.lame))
            lame.push_back(w);
        const std::string encoded = s.tagValues.empty() ? path : path + ".plain.mp3";
        lame.push_back(wav);
        lame.push_back(encoded);
        ASSERT_EQ(runProcess(lame).exitCode, 0);
        if (!s.tagValues.empty()) {
            std::vector<std::string> ff{FFMPEG_PROGRAM, "-nostdin", "-v", "error",
                                        "-i",           encoded,    "-c", "copy"};
            for (const auto &t : s.tagValues) {
                ff.push_back("-metadata");
                ff.push_back(t);
            }
            ff.push_back(path);
            ASSERT_EQ(runProcess(ff).exitCode, 0);
        }
    }

    const ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.exitCode, row.exitCode) << r.out << r.err;
    if (!row.stderrHas.empty()) {
        EXPECT_NE(r.err.find(row.stderrHas), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.err, "");
    }
    const std::vector<std::string> lines = split(r.out, '\n');
    ASSERT_EQ(lines.size(), row.lines.size()) << r.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line &want = row.lines[i];
        const std::vector<std::string> fields = split(lines[i], '\t');
        ASSERT_GE(fields.size(), 2u) << lines[i];
        EXPECT_TRUE(fields[0].ends_with(want.first)) << lines[i];
        if (want.lufs) {
            ASSERT_TRUE(fields[1].ends_with(" LUFS")) << lines[i];
            // lame's encoding moves a pure tone's level by a few tenths of a dB.
            const bool encoded = lines[i].find(".mp3\t") != std::string::npos ||
                                 row.sources.front().name.ends_with(".mp3");
            EXPECT_NEAR(std::stod(fields[1]), *want.lufs, encoded ? 0.4 : 0.1) << lines[i];
        }
        std::optional<int> steps;
        for (const auto &f : fields)
            if (f.starts_with("mp3 "))
                steps = std::stoi(f.substr(4));
        EXPECT_EQ(steps, want.steps) << lines[i];
        EXPECT_NE(lines[i].find(want.contains), std::string::npos)
            << "'" << want.contains << "' not in: " << lines[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, LoudnessCli, testing::ValuesIn(kRows),
                         [](const auto &row) { return std::string(row.param.name); });

struct Usage {
    const char *name;
    std::vector<std::string> args;
};

class LoudnessCliUsage : public testing::TestWithParam<Usage> {};

TEST_P(LoudnessCliUsage, IsRefusedWithStatusTwo) {
    std::vector<std::string> argv{KESTO_PROGRAM, "check"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    const ProcessResult r = runProcess(argv);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, LoudnessCliUsage,
                         testing::Values(Usage{"no_file", {"--loudness"}},
                                         Usage{"tags_alone", {"--tags", "x.mp3"}},
                                         Usage{"unknown_option", {"--loudness", "--level", "x"}}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
