// kesto put and kesto sync bringing music onto a player that cannot play all of it, as a black
// box against the virtual player (model LUMA: it refuses MPEG-2.5). mcopy reads the files back
// out of the image, `kesto check` judges them for the model, ffmpeg decodes them and mutagen
// reads their tags.
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::scratchPath;
using kestousb::test::VplayerProcess;

namespace fs = std::filesystem;

namespace {

const std::string kAccented = "02 \xC3\x87"
                              "a va, Zo\xC3\xAB"; // "02 Ça va, Zoë"

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
        // Names with characters a FAT name cannot hold.
        fs::copy_file(src / "A" / "01 Intro.flac", work / "AC:DC - Song.flac");
        fs::copy_file(src / "B" / "fine.mp3", work / "a*b.mp3");
        fs::copy_file(src / "B" / "fine.mp3", work / (kAccented + "?.mp3"));
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
    int silence = 0; // seconds of silence made as WORK/long.flac first (0: none)
};

class KestoConvertPut : public KestoConvert, public ::testing::WithParamInterface<PutRow> {};

TEST_P(KestoConvertPut, ArrivesPlayable) {
    const PutRow &row = GetParam();
    if (row.silence > 0)
        ffmpeg({"-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo", "-t",
                std::to_string(row.silence), (work / "long.flac").string()});
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
        // A character a FAT name cannot hold becomes '_', before the conversion names the MP3.
        PutRow{"illegal_characters_converted",
               {"WORK/AC:DC - Song.flac"},
               0,
               {"WORK/AC:DC - Song.flac -> M as AC_DC - Song.mp3 (converted: FLAC audio)\n"},
               "",
               {{"AC_DC - Song.mp3", "WORK/AC:DC - Song.flac"}},
               true},
        PutRow{"illegal_characters_as_is",
               {"WORK/a*b.mp3", "WORK/" + kAccented + "?.mp3"},
               0,
               {"WORK/a*b.mp3 -> M as a_b.mp3\n",
                "WORK/" + kAccented + "?.mp3 -> M as " + kAccented + "_.mp3\n"},
               "",
               {{"a_b.mp3", "WORK/a*b.mp3"}, {kAccented + "_.mp3", "WORK/" + kAccented + "?.mp3"}},
               false},
        PutRow{"corrupt_source", {"WORK/bad.flac"}, 1, {}, "kesto put: WORK/bad.flac: ", {}, true},
        // 25 minutes take about 36 MB at 192 kbit/s, more than the 32 MiB flash: refused before
        // it is converted.
        PutRow{"larger_than_the_memory",
               {"WORK/long.flac"},
               1,
               {},
               "more than the free room of the memory it goes to",
               {},
               true,
               1500},
        PutRow{"level_off_byte_exact",
               {"--level", "off", "MUSIC/B/fine.mp3"},
               0,
               {"MUSIC/B/fine.mp3 -> M\n"},
               "",
               {{"fine.mp3", "MUSIC/B/fine.mp3"}},
               false},
        PutRow{"level_not_a_mode",
               {"--level", "x", "MUSIC/B/fine.mp3"},
               2,
               {},
               "--level takes off, track or album, not 'x'",
               {},
               false},
        PutRow{"bitrate_not_mp3",
               {"--bitrate", "100", "MUSIC/A/song.flac"},
               2,
               {},
               "--bitrate",
               {},
               true}),
    [](const auto &row) { return std::string(row.param.name); });

// kesto sync names a converted file as put does, and finds it by that name again.
struct SyncRow {
    const char *name;
    std::vector<std::pair<std::string, std::string>> first;     // folder name, source; synced first
    std::vector<std::pair<std::string, std::string>> added;     // then added and synced
    std::vector<std::string> out;                               // lines that sync prints
    std::vector<std::pair<std::string, std::string>> asIs;      // player name, source: same bytes
    std::vector<std::pair<std::string, std::string>> converted; // player name, source: decoded
    size_t files;                                               // up to date on the next run
};

class KestoConvertSync : public KestoConvert, public ::testing::WithParamInterface<SyncRow> {};

TEST_P(KestoConvertSync, NamesLikePutAndFindsThemAgain) {
    const SyncRow &row = GetParam();
    const fs::path dir = work / "sync";
    fs::create_directories(dir);
    const auto fill = [&](const std::vector<std::pair<std::string, std::string>> &files) {
        for (const auto &[name, source] : files)
            fs::copy_file(src / source, dir / name);
    };
    if (!row.first.empty()) {
        fill(row.first);
        const ProcessResult r = kesto({"sync", dir.string(), "M"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }
    fill(row.added);
    ProcessResult r = kesto({"sync", dir.string(), "M"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const std::string &line : row.out)
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    for (const auto &[name, source] : row.asIs)
        EXPECT_EQ(readAll(back(name)), readAll(src / source)) << name;
    for (const auto &[name, source] : row.converted)
        EXPECT_NEAR(decodedSeconds(back(name)), decodedSeconds(src / source), 0.05) << name;
    const std::string image = readAll(fs::path(player.stateDir()) / "flash.img");
    r = kesto({"sync", dir.string(), "M", "--delete"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sent 0 file(s), 0 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("deleted 0;"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; " + std::to_string(row.files) + " up to date"), std::string::npos)
        << r.out;
    EXPECT_TRUE(readAll(fs::path(player.stateDir()) / "flash.img") == image);
}

INSTANTIATE_TEST_SUITE_P(
    Names, KestoConvertSync,
    ::testing::Values(
        // The player's song.mp3 is the folder's song.mp3: the FLAC's MP3 takes a free name.
        SyncRow{"source_name_before_converted_name",
                {{"song.mp3", "B/fine.mp3"}},
                {{"song.flac", "A/song.flac"}},
                {"send song.flac as song (2).mp3 (", "; 1 up to date"},
                {{"song.mp3", "B/fine.mp3"}},
                {{"song (2).mp3", "A/song.flac"}},
                2},
        SyncRow{"illegal_characters_converted",
                {},
                {{"AC:DC - Song.flac", "A/01 Intro.flac"}},
                {"send AC:DC - Song.flac as AC_DC - Song.mp3 ("},
                {},
                {{"AC_DC - Song.mp3", "A/01 Intro.flac"}},
                1}),
    [](const auto &row) { return std::string(row.param.name); });

// Ctrl-C while the run waits for a conversion: the conversions stop, the partial MP3 leaves the
// cache, the link folder leaves the temporary folder, and the exit status is 130.
struct InterruptRow {
    const char *name;
    std::vector<std::string> args; // DIR stands for the folder of the two files
};

class KestoConvertInterrupt : public KestoConvert,
                              public ::testing::WithParamInterface<InterruptRow> {
protected:
    // Starts kesto with `args`, stdout and stderr into files of the work folder; its pid.
    pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env) {
        std::vector<std::string> all = {KESTO_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<std::string> environment = env;
        for (char **e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string key = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const std::string &mine : env)
                replaced = replaced || mine.starts_with(key);
            if (!replaced)
                environment.push_back(entry);
        }
        std::vector<char *> argv, envp;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string out = (work / "kesto.out").string(), err = (work / "kesto.err").string();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, STDOUT_FILENO);
            ::dup2(e, STDERR_FILENO);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        return pid;
    }
    static std::vector<fs::path> matching(const fs::path &dir, const std::string &start) {
        std::vector<fs::path> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->path().filename().string().starts_with(start))
                found.push_back(it->path());
        return found;
    }
};

TEST_P(KestoConvertInterrupt, StopsCleansUpAndExits130) {
    const fs::path dir = work / "two", tmp = work / "tmp", cache = work / "cache";
    fs::create_directories(dir);
    fs::create_directories(tmp);
    // "a*b.mp3" goes first, through a link (its name is not the player's), then the long FLAC.
    fs::copy_file(src / "B" / "fine.mp3", dir / "a*b.mp3");
    must({SOX_PROGRAM, "-n", "-r", "44100", "-c", "2", (dir / "long.flac").string(), "synth", "900",
          "sine", "440", "vol", "0.5"});
    std::vector<std::string> args;
    for (const std::string &a : GetParam().args)
        args.push_back(a == "DIR"              ? dir.string()
                       : a.starts_with("DIR/") ? (dir / a.substr(4)).string()
                                               : a);
    const pid_t pid = spawn(args, {"KESTOUSB_USBIP=" + player.address(),
                                   "XDG_CACHE_HOME=" + cache.string(), "TMPDIR=" + tmp.string()});
    ASSERT_GT(pid, 0);
    // Until the first file has arrived (its link was made in the link folder and removed once
    // sent) and the FLAC converts.
    bool converting = false;
    for (int tries = 0; tries < 1200 && !converting; ++tries) {
        ::usleep(50000);
        const auto links = matching(tmp, "kesto-send-");
        std::error_code ec;
        converting = links.size() == 1 && fs::is_empty(links.front(), ec) &&
                     !matching(cache, ".partial-").empty();
    }
    EXPECT_TRUE(converting) << "the run never waited for the long conversion";
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "kesto died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130) << readAll(work / "kesto.err");
    EXPECT_NE(readAll(work / "kesto.err").find(": stopped"), std::string::npos)
        << readAll(work / "kesto.err");
    EXPECT_EQ(matching(cache, ".partial-"), std::vector<fs::path>{}) << "a partial file is left";
    EXPECT_EQ(matching(tmp, "kesto-send-"), std::vector<fs::path>{}) << "a link folder is left";
}

INSTANTIATE_TEST_SUITE_P(Verbs, KestoConvertInterrupt,
                         ::testing::Values(InterruptRow{"put",
                                                        {"put", "DIR/a*b.mp3", "DIR/long.flac"}},
                                           InterruptRow{"sync", {"sync", "DIR", "M"}}),
                         [](const auto &row) { return std::string(row.param.name); });

// kesto put --level: a loud and a quiet FLAC (converted) and a loud and a quiet MP3 (levelled
// losslessly) read back with kesto get and measured by kesto check --loudness.
struct LevelRow {
    const char *name;
    std::string mode;
    // Track: the pairs arrive equally loud; album: they keep the difference they had.
    bool keepsDifference;
};

class KestoConvertLevel : public KestoConvert, public ::testing::WithParamInterface<LevelRow> {
protected:
    // Integrated loudness and peak (dBFS) per file, from kesto check --loudness.
    std::map<std::string, std::pair<double, double>> loudness(const std::vector<fs::path> &files) {
        std::vector<std::string> args = {"check", "--loudness"};
        for (const fs::path &f : files)
            args.push_back(f.string());
        const ProcessResult r = kesto(args);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        std::map<std::string, std::pair<double, double>> found;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const auto tab = line.find('\t');
            const auto peak = line.find("peak ");
            if (tab == std::string::npos || peak == std::string::npos ||
                line.starts_with("album ("))
                continue;
            found[fs::path(line.substr(0, tab)).filename().string()] = {
                std::stod(line.substr(tab + 1)), std::stod(line.substr(peak + 5))};
        }
        return found;
    }
    size_t decodedBytes(const fs::path &p) {
        const ProcessResult r = runProcess(
            {FFMPEG_PROGRAM, "-nostdin", "-v", "error", "-i", p.string(), "-f", "s16le", "-"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out.size();
    }
};

TEST_P(KestoConvertLevel, ArrivesLevelled) {
    const LevelRow &row = GetParam();
    const fs::path dir = work / "lvl", back = work / "back";
    fs::create_directories(dir);
    fs::create_directories(back);
    // Tones of known loudness (a sine of amplitude A reads 20 log10 A LUFS): -3 and -30.5.
    for (const auto &[name, volume] : {std::pair{"loudf", "0.7"}, std::pair{"quietf", "0.03"},
                                       std::pair{"loudm", "0.7"}, std::pair{"quietm", "0.03"}}) {
        const fs::path wav = work / (std::string(name) + ".wav");
        must({SOX_PROGRAM, "-n", "-r", "44100", "-c", "2", wav.string(), "synth", "5", "sine",
              "1000", "vol", volume});
        if (std::string(name).ends_with('f'))
            ffmpeg({"-i", wav.string(), (dir / (std::string(name) + ".flac")).string()});
        else
            must({LAME_PROGRAM, "--quiet", "-b", "192", wav.string(),
                  (dir / (std::string(name) + ".mp3")).string()});
    }
    const std::vector<std::string> sources = {"loudf.flac", "quietf.flac", "loudm.mp3",
                                              "quietm.mp3"};
    std::map<std::string, std::string> before;
    std::vector<fs::path> sourcePaths;
    for (const std::string &f : sources) {
        before[f] = readAll(dir / f);
        sourcePaths.push_back(dir / f);
    }
    std::vector<std::string> args = {"put", "-m", "M", "--level", row.mode};
    for (const fs::path &p : sourcePaths)
        args.push_back(p.string());
    const ProcessResult r = kesto(args);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("loudm.mp3 -> M as loudm.mp3 (levelled)"), std::string::npos) << r.out;
    std::vector<fs::path> arrived;
    for (const std::string name : {"loudf.mp3", "quietf.mp3", "loudm.mp3", "quietm.mp3"}) {
        const ProcessResult got = kesto({"get", "-m", "M", name, (back / name).string()});
        ASSERT_EQ(got.exitCode, 0) << got.out << got.err;
        arrived.push_back(back / name);
    }
    for (const std::string &f : sources)
        EXPECT_TRUE(readAll(dir / f) == before[f]) << f << " changed";
    auto source = loudness(sourcePaths), out = loudness(arrived);
    ASSERT_EQ(out.size(), 4u) << "not every file measured";
    for (const auto &[name, measured] : out)
        RecordProperty(name, std::to_string(measured.first) + " LUFS");
    const auto spread = [&](const char *loud, const char *quiet, const char *loudSource,
                            const char *quietSource) {
        const double now = out[loud].first - out[quiet].first;
        return row.keepsDifference ? now - (source[loudSource].first - source[quietSource].first)
                                   : now;
    };
    EXPECT_LE(std::abs(spread("loudf.mp3", "quietf.mp3", "loudf.flac", "quietf.flac")), 1.0);
    EXPECT_LE(std::abs(spread("loudm.mp3", "quietm.mp3", "loudm.mp3", "quietm.mp3")), 1.6);
    for (const auto &[name, measured] : out)
        EXPECT_LE(measured.second, -1.0) << name << " peaks above -1 dBFS";
    // Levelled losslessly: the same length and the same audio frames.
    for (const std::string name : {"loudm.mp3", "quietm.mp3"}) {
        EXPECT_EQ(fs::file_size(back / name), fs::file_size(dir / name)) << name;
        EXPECT_EQ(decodedBytes(back / name), decodedBytes(dir / name)) << name;
        EXPECT_FALSE(readAll(back / name) == before[name]) << name << " arrived unlevelled";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, KestoConvertLevel,
                         ::testing::Values(LevelRow{"track", "track", false},
                                           LevelRow{"album", "album", true}),
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
    // Another levelling replaces what it changes, once.
    r = kesto({"sync", (src / "A").string(), "M", "--level", "track"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("replace song.mp3 with song.flac as song.mp3 ("), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the volume levelling differs"), std::string::npos) << r.out;
    r = kesto({"sync", (src / "A").string(), "M", "--level", "track"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("sent 0 file(s), 0 bytes"), std::string::npos) << r.out;
    r = kesto({"sync", (src / "A").string(), "M"});
    EXPECT_NE(r.out.find("replace song.mp3 with song.flac as song.mp3 ("), std::string::npos)
        << r.out;
}

} // namespace
