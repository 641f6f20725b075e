// kesto put and kesto sync bringing music onto a player that cannot play all of it, as a black
// box against the virtual player (model LUMA: it refuses MPEG-2.5). mcopy reads the files back
// out of the image, `kesto check` judges them for the model, ffmpeg decodes them and mutagen
// reads their tags.
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::scratchPath;
using kestousb::test::VplayerProcess;

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void must(const std::vector<std::string> &argv) {
    const ProcessResult r = runProcess(argv);
    ASSERT_EQ(r.exitCode, 0) << argv.front() << ": " << r.err;
}

void ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-y"});
    must(args);
}

double decodedSeconds(const fs::path &p) {
    const ProcessResult r = runProcess({FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-i", p.string(),
                                        "-f", "s16le", "-ac", "1", "-ar", "44100", "-"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return double(r.out.size()) / 2.0 / 44100.0;
}

// The tag as mutagen reads it: "ID=text" lines, "APIC=bytes".
std::string mutagenTag(const fs::path &p) {
    const ProcessResult r =
        runProcess({PYTHON_PROGRAM, "-c",
                    "import sys,mutagen.id3 as "
                    "m\nt=m.ID3(sys.argv[1],translate=False)\nprint('v=%d'%t.version[1])\n"
                    "for k in ('TIT2','TPE1','TALB','TRCK','TYER','TCON','TCOM'):\n"
                    "  print('%s=%s'%(k,t[k].text[0] if k in t else ''))\n"
                    "print('COMM=%s'%''.join(c.text[0] for c in t.getall('COMM')))\n"
                    "print('APIC=%d'%sum(len(a.data) for a in t.getall('APIC')))",
                    p.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

class KestoConvert : public ::testing::Test {
public:
    KestoConvert() : player(VPLAYER_PROGRAM, state()) {}

    static std::string state() {
        const fs::path dir = scratchPath(
            "kesto_convert_state", testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(dir / "player.ini") << "[Player]\nModel=LUMA\n";
        return dir.string();
    }

    void SetUp() override {
        ASSERT_TRUE(player.started());
        fs::create_directories(src / "A");
        fs::create_directories(src / "B");
        must({SOX_PROGRAM, "-n", "-r", "44100", "-c", "2", (work / "t.wav").string(), "synth",
              "3.3", "sine", "440", "vol", "0.5"});
        ffmpeg({"-f", "lavfi", "-i", "testsrc=size=500x400", "-frames:v", "1",
                (work / "c.png").string()});
        ffmpeg({"-i",
                (work / "t.wav").string(),
                "-i",
                (work / "c.png").string(),
                "-map",
                "0",
                "-map",
                "1",
                "-c:v",
                "png",
                "-disposition:v",
                "attached_pic",
                "-metadata",
                "title=Song",
                "-metadata",
                "artist=Band",
                "-metadata",
                "album=LP",
                "-metadata",
                "track=3",
                "-metadata",
                "date=1999",
                "-metadata",
                "genre=Jazz",
                "-metadata",
                "comment=Hi",
                "-metadata",
                "composer=Ann",
                (src / "A" / "song.flac").string()});
        must({LAME_PROGRAM, "--quiet", "-b", "32", "--resample", "11.025",
              (work / "t.wav").string(), (src / "A" / "low.mp3").string()});
        must({LAME_PROGRAM, "--quiet", "-b", "128", (work / "t.wav").string(),
              (src / "B" / "fine.mp3").string()});
        ffmpeg({"-i", (work / "t.wav").string(), "-metadata", "track=1",
                (src / "A" / "01 Intro.flac").string()});
        ffmpeg({"-i", (work / "t.wav").string(), "-metadata", "track=1",
                (src / "B" / "01 Intro.flac").string()});
        std::ofstream(src / "B" / "notes.txt") << "not audio";
        std::ofstream(src / "B" / ".hidden.flac") << "hidden";
        std::ofstream(work / "bad.flac") << std::string(5000, 'x');
        fs::copy_file(src / "A" / "01 Intro.flac", work / (std::string(250, 'L') + ".flac"));
    }
    void TearDown() override {
        fs::remove_all(work);
        fs::remove_all(player.stateDir());
    }

    ProcessResult kesto(std::vector<std::string> args) {
        args.insert(args.begin(), KESTO_PROGRAM);
        return runProcess(args, {"KESTOUSB_USBIP=" + player.address(),
                                 "XDG_CACHE_HOME=" + (work / "cache").string()});
    }
    // The player's file `name` copied out of the flash image.
    fs::path back(const std::string &name) {
        const fs::path out = work / ("back_" + name);
        fs::remove(out);
        const ProcessResult r = runProcess({MCOPY_PROGRAM, "-n", "-i",
                                            (fs::path(player.stateDir()) / "flash.img").string(),
                                            "::" + name, out.string()},
                                           {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"});
        EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err;
        return out;
    }

    fs::path work =
        scratchPath("kesto_convert", testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path src = work / "music";
    VplayerProcess player;
};

// What arrives for each kind of source, sent with `kesto put`.
struct PutRow {
    const char *name;
    std::vector<std::string> args; // after "put -m M"; MUSIC/ stands for the music folder
    int exit;
    std::vector<std::string> out;                             // lines stdout holds
    std::string err;                                          // part of stderr ("" for none)
    std::vector<std::pair<std::string, std::string>> arrived; // player name, source (MUSIC/...)
    bool converted;                                           // else byte for byte
};

class KestoConvertPut : public KestoConvert, public ::testing::WithParamInterface<PutRow> {};

TEST_P(KestoConvertPut, ArrivesPlayable) {
    const PutRow &row = GetParam();
    // MUSIC and WORK stand for the music and work folders, anywhere in the text.
    const auto expand = [&](std::string a) {
        for (const auto &[word, path] : {std::pair{std::string("MUSIC"), src.string()},
                                         std::pair{std::string("WORK"), work.string()}})
            for (size_t at = a.find(word); at != std::string::npos; at = a.find(word, at + 1))
                a.replace(at, word.size(), path);
        return a;
    };
    std::vector<std::string> args = {"put", "-m", "M"};
    for (const std::string &a : row.args)
        args.push_back(expand(a));
    const ProcessResult r = kesto(args);
    EXPECT_EQ(r.exitCode, row.exit) << r.out << r.err;
    for (std::string line : row.out) {
        line = expand(line);
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    if (row.err.empty())
        EXPECT_EQ(r.err, "");
    else
        EXPECT_NE(r.err.find(expand(row.err)), std::string::npos) << r.err;
    for (const auto &[name, source] : row.arrived) {
        const fs::path file = back(name);
        const fs::path from = expand(source);
        if (!row.converted) {
            EXPECT_EQ(readAll(file), readAll(from)) << name;
            continue;
        }
        const ProcessResult check = kesto({"check", file.string()});
        EXPECT_EQ(check.exitCode, 0) << name << ": " << check.out << check.err;
        EXPECT_NEAR(decodedSeconds(file), decodedSeconds(from), 0.05) << name;
        if (name != "song.mp3")
            continue;
        const std::string tag = mutagenTag(file);
        EXPECT_TRUE(tag.starts_with("v=3\nTIT2=Song\nTPE1=Band\nTALB=LP\nTRCK=3\nTYER=1999\n"
                                    "TCON=(8)Jazz\nTCOM=Ann\nCOMM=Hi\nAPIC="))
            << tag;
        EXPECT_EQ(tag.find("APIC=0\n"), std::string::npos) << "no cover: " << tag;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, KestoConvertPut,
    ::testing::Values(
        PutRow{"flac_tags_cover",
               {"MUSIC/A/song.flac"},
               0,
               {"MUSIC/A/song.flac -> M as song.mp3 (converted: FLAC audio)\n"},
               "",
               {{"song.mp3", "MUSIC/A/song.flac"}},
               true},
        PutRow{"mpeg25_refused_by_model",
               {"MUSIC/A/low.mp3"},
               0,
               {"as low.mp3 (converted: MPEG-2.5, which this player cannot decode)\n"},
               "",
               {{"low.mp3", "MUSIC/A/low.mp3"}},
               true},
        PutRow{"playable_mp3_byte_exact",
               {"MUSIC/B/fine.mp3"},
               0,
               {"MUSIC/B/fine.mp3 -> M\n"},
               "",
               {{"fine.mp3", "MUSIC/B/fine.mp3"}},
               false},
        PutRow{"no_convert",
               {"--no-convert", "MUSIC/A/song.flac"},
               0,
               {"MUSIC/A/song.flac -> M\n"},
               "",
               {{"song.flac", "MUSIC/A/song.flac"}},
               false},
        PutRow{
            "folder_album_order_free_names",
            {"MUSIC"},
            0,
            {"MUSIC/A/01 Intro.flac -> M as 01 Intro.mp3 (converted: FLAC audio)\n"
             "MUSIC/A/song.flac -> M as song.mp3 (converted: FLAC audio)\n"
             "MUSIC/A/low.mp3 -> M as low.mp3",
             "MUSIC/B/01 Intro.flac -> M as 01 Intro (2).mp3 (converted: FLAC audio)\n"
             "MUSIC/B/fine.mp3 -> M\n",
             "M (flash): sent 5 file(s), 4 converted, 0 failed; skipped 1 hidden, 1 not audio\n"},
            "",
            {{"01 Intro (2).mp3", "MUSIC/B/01 Intro.flac"}},
            true},
        // The player keeps 80 bytes of a name; the link it is sent through is named so too.
        PutRow{"name_longer_than_the_player_keeps",
               {"WORK/" + std::string(250, 'L') + ".flac"},
               0,
               {" -> M as " + std::string(76, 'L') + ".mp3 (converted: FLAC audio)\n"},
               "",
               {{std::string(76, 'L') + ".mp3", "WORK/" + std::string(250, 'L') + ".flac"}},
               true},
        PutRow{"corrupt_source", {"WORK/bad.flac"}, 1, {}, "kesto put: WORK/bad.flac: ", {}, true},
        PutRow{"bitrate_not_mp3",
               {"--bitrate", "100", "MUSIC/A/song.flac"},
               2,
               {},
               "--bitrate",
               {},
               true}),
    [](const auto &row) { return std::string(row.param.name); });

// kesto sync sends converted files once: the second run finds them up to date by their
// source's name and time, and sends nothing.
TEST_F(KestoConvert, SecondSyncSendsNothing) {
    ProcessResult r = kesto({"sync", (src / "A").string(), "M"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("send song.flac as song.mp3 ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sent 3 file(s)"), std::string::npos) << r.out;
    const std::string image = readAll(fs::path(player.stateDir()) / "flash.img");
    r = kesto({"sync", (src / "A").string(), "M"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sent 0 file(s), 0 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; 3 up to date"), std::string::npos) << r.out;
    EXPECT_TRUE(readAll(fs::path(player.stateDir()) / "flash.img") == image);
}

} // namespace
