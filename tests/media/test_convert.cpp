// The conversion engine on real files in other formats: what arrives (an MP3 the player's check
// accepts, the source's length, its tags and a small cover), what is refused and why, and the
// cache and the queue ahead of a transfer.
#include "conversioncache.h"
#include "conversionqueue.h"
#include "converter.h"
#include "convertfixture.h"
#include "coverart.h"
#include "folderscan.h"
#include "mpegheader.h"
#include "mutagenjudge.h"
#include "playerformat.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace tunara::media;
using namespace mediatest;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kTags = {
    "-metadata", "title=Träume", "-metadata", "artist=The Band", "-metadata", "album=First",
    "-metadata", "track=7/12",   "-metadata", "date=2011-05-03", "-metadata", "genre=Rock",
    "-metadata", "comment=Live", "-metadata", "composer=Ann"};

// Makes the source in `dir` and returns its path.
using Maker = std::function<std::string(const TempDir &dir)>;

struct Source {
    const char *name;
    Maker make;
    const char *refusal; // part of the failure's message; nullptr: converts
    bool tagged;         // carries kTags and a 640x480 cover
};

std::string flacWithCover(const TempDir &dir) {
    makeTone(dir.file("t.wav"), 3.3);
    makeCover(dir.file("c.png"), 640, 480);
    std::vector<std::string> args = {"-i",
                                     dir.file("t.wav"),
                                     "-i",
                                     dir.file("c.png"),
                                     "-map",
                                     "0",
                                     "-map",
                                     "1",
                                     "-c:v",
                                     "png",
                                     "-disposition:v",
                                     "attached_pic"};
    args.insert(args.end(), kTags.begin(), kTags.end());
    args.push_back(dir.file("song.flac"));
    ffmpeg(args);
    return dir.file("song.flac");
}

std::string withFfmpeg(const TempDir &dir, const std::string &name, std::vector<std::string> codec,
                       double seconds = 2.5, int rate = 48000, int channels = 1) {
    makeTone(dir.file("t.wav"), seconds, rate, channels);
    std::vector<std::string> args = {"-i", dir.file("t.wav")};
    args.insert(args.end(), codec.begin(), codec.end());
    args.insert(args.end(), kTags.begin(), kTags.end());
    args.push_back(dir.file(name));
    ffmpeg(args);
    return dir.file(name);
}

std::string mpeg25(const TempDir &dir) {
    makeTone(dir.file("t.wav"), 2.0);
    const RunResult r = run({TUNARA_LAME, "--quiet", "--cbr", "-b", "32", "--resample", "11.025",
                             dir.file("t.wav"), dir.file("low.mp3")});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file("low.mp3");
}

std::string cutShort(const TempDir &dir) {
    const std::string flac = withFfmpeg(dir, "whole.flac", {}, 6.0, 44100, 2);
    const Bytes bytes = readFile(flac);
    writeFile(dir.file("cut.flac"), Bytes(bytes.begin(), bytes.begin() + long(bytes.size() / 2)));
    return dir.file("cut.flac");
}

std::string garbage(const TempDir &dir, const std::string &name) {
    Bytes b(20000);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = std::uint8_t(i * 131 + 7);
    writeFile(dir.file(name), b);
    return dir.file(name);
}

const std::vector<Source> &sources() {
    static const std::vector<Source> all{
        {"flac_tags_cover", flacWithCover, nullptr, true},
        {"ogg_mono_48k",
         [](const TempDir &d) {
             return withFfmpeg(d, "a.ogg", {"-c:a", "libvorbis"});
         },
         nullptr, true},
        {"opus",
         [](const TempDir &d) {
             return withFfmpeg(d, "a.opus", {"-c:a", "libopus"});
         },
         nullptr, true},
        {"m4a_aac",
         [](const TempDir &d) {
             return withFfmpeg(d, "a.m4a", {"-c:a", "aac"});
         },
         nullptr, true},
        {"wav_22k", [](const TempDir &d) { return withFfmpeg(d, "a.wav", {}, 2.0, 22050, 2); },
         nullptr, false},
        {"mpeg25_mp3", mpeg25, nullptr, false},
        {"cut_flac", cutShort, "truncated: the audio ends at", false},
        {"truncated_wav",
         [](const TempDir &d) {
             makeTone(d.file("whole.wav"), 4.0);
             const Bytes bytes = readFile(d.file("whole.wav"));
             writeFile(d.file("cut.wav"),
                       Bytes(bytes.begin(), bytes.begin() + long(bytes.size() / 2)));
             return d.file("cut.wav");
         },
         "truncated: the audio ends at 2.0 s of 4.0 s", false},
        {"garbage_flac", [](const TempDir &d) { return garbage(d, "noise.flac"); },
         "holds no audio stream", false},
        {"video_only",
         [](const TempDir &d) {
             ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x64:duration=1", d.file("v.mp4")});
             return d.file("v.mp4");
         },
         "no audio", false},
        {"missing", [](const TempDir &d) { return d.file("none.flac"); }, "cannot be read", false},
    };
    return all;
}

class ConvertSource : public ::testing::TestWithParam<Source> {};

// A source converts into an MPEG-1 Layer III stereo 44.1 kHz file that the player's check
// accepts, as long as the source, with its tags and a cover of at most 300 x 300; a damaged one
// fails with the file named and the reason, and leaves nothing behind.
TEST_P(ConvertSource, ConvertsOrSaysWhy) {
    const Source &s = GetParam();
    TempDir dir;
    const std::string source = s.make(dir);
    const std::string out = dir.file("out.mp3");
    std::vector<std::string> notes;
    const auto failure = convertFile(source, out, ConvertSettings{}, {}, nullptr, &notes);
    if (s.refusal != nullptr) {
        ASSERT_TRUE(failure) << "converted";
        EXPECT_NE(failure->message.find(source + ": "), std::string::npos) << failure->message;
        EXPECT_NE(failure->message.find(s.refusal), std::string::npos) << failure->message;
        EXPECT_FALSE(fs::exists(out));
        return;
    }
    ASSERT_FALSE(failure) << failure->message;
    EXPECT_TRUE(notes.empty());
    SilentSink quiet;
    const MpegCheck check = CheckMpegHeader(out, quiet);
    EXPECT_EQ(check.code, MpegCheckCode::Accepted);
    EXPECT_EQ(check.header.version(), kVersionMpeg1);
    EXPECT_EQ(check.header.layer(), kLayer3);
    EXPECT_EQ(sampleRateOf(check.header), 44100u);
    EXPECT_NE(check.header.channelMode(), 3u); // not single channel
    EXPECT_NEAR(decodedSeconds(out), decodedSeconds(source), 0.05);
    if (!s.tagged)
        return;
    const MutagenView tag = mutagenRead(out);
    ASSERT_TRUE(tag.ok) << tag.error;
    EXPECT_EQ(tag.version, 3);
    const std::map<std::string, std::string> expected = {
        {"TIT2", "Träume"}, {"TPE1", "The Band"}, {"TALB", "First"},   {"TRCK", "7"},
        {"TYER", "2011"},   {"TCOM", "Ann"},      {"TCON", "(17)Rock"}};
    for (const auto &[id, text] : expected) {
        ASSERT_EQ(tag.text.count(id), 1u) << id;
        EXPECT_EQ(tag.text.at(id).front(), text) << id;
    }
    EXPECT_EQ(tag.comment, "Live");
    if (std::string(s.name) == "flac_tags_cover") {
        ASSERT_GT(tag.pictureBytes, 0u);
        // The picture itself: a JPEG scaled to 300 x 225.
        const RunResult r =
            run({TUNARA_PYTHON, "-c",
                 "import sys,mutagen.id3 as m;p=m.ID3(sys.argv[1]).getall('APIC')[0];"
                 "sys.stdout.buffer.write(p.data)",
                 out});
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes jpeg(r.out.begin(), r.out.end());
        EXPECT_EQ(jpegSize(jpeg), (std::pair<int, int>{300, 225}));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, ConvertSource, ::testing::ValuesIn(sources()),
                         [](const auto &row) { return std::string(row.param.name); });

// What happens to a file on its way to each model and memory: converted or sent as it is.
struct RouteRow {
    const char *name;
    std::vector<std::string> lameArgs; // an MP3 made by lame; empty: a FLAC file
    int model;
    unsigned char memory;
    Route route;
};

class RouteTo : public ::testing::TestWithParam<RouteRow> {};

TEST_P(RouteTo, ConvertsWhatTheModelCannotPlay) {
    const RouteRow &row = GetParam();
    TempDir dir;
    makeTone(dir.file("t.wav"), 1.0);
    std::string path = dir.file("t.flac");
    if (row.lameArgs.empty()) {
        ffmpeg({"-i", dir.file("t.wav"), path});
    } else {
        path = dir.file("t.mp3");
        std::vector<std::string> argv = {TUNARA_LAME, "--quiet"};
        argv.insert(argv.end(), row.lameArgs.begin(), row.lameArgs.end());
        argv.insert(argv.end(), {dir.file("t.wav"), path});
        ASSERT_EQ(run(argv).status, 0);
    }
    EXPECT_EQ(routeFor(path, row.model, row.memory).route, row.route);
}

INSTANTIATE_TEST_SUITE_P(
    Models, RouteTo,
    ::testing::Values(
        RouteRow{"flac_qn520", {}, ModelQn520, 'M', Route::Convert},
        RouteRow{"mp3_128_luma", {"-b", "128"}, ModelLuma, 'M', Route::AsIs},
        RouteRow{
            "mpeg25_luma", {"-b", "32", "--resample", "11.025"}, ModelLuma, 'M', Route::Convert},
        RouteRow{
            "mpeg25_qn520", {"-b", "32", "--resample", "11.025"}, ModelQn520, 'M', Route::AsIs},
        RouteRow{"mp3_320_qn70_card", {"-b", "320"}, ModelQn70, 'S', Route::Convert},
        RouteRow{"mp3_320_qn70_flash", {"-b", "320"}, ModelQn70, 'M', Route::AsIs}),
    [](const auto &row) { return std::string(row.param.name); });

// The cache: a second request reuses the file; a changed source or other settings convert
// again; a file is never left half-written, not even when the disk fills up; a small limit
// evicts the files used longest ago.
TEST(ConversionCacheTest, ReusesConvertsAgainAndFailsCleanly) {
    TempDir dir;
    makeTone(dir.file("a.wav"), 1.0);
    makeTone(dir.file("b.wav"), 1.5);
    ConversionCache cache(dir.file("cache"));
    const ConvertSettings cbr;
    auto first = cache.get(dir.file("a.wav"), cbr, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(first));
    const CachedFile a = std::get<CachedFile>(first);
    EXPECT_FALSE(a.reused);
    struct stat src {
    }, conv{};
    ASSERT_EQ(stat(dir.file("a.wav").c_str(), &src), 0);
    ASSERT_EQ(stat(a.path.c_str(), &conv), 0);
    EXPECT_EQ(src.st_mtim.tv_sec, conv.st_mtim.tv_sec); // the player records the source's time
    auto again = cache.get(dir.file("a.wav"), cbr, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(again));
    EXPECT_TRUE(std::get<CachedFile>(again).reused);
    EXPECT_EQ(std::get<CachedFile>(again).path, a.path);

    ConvertSettings vbr;
    vbr.vbr = true;
    vbr.cover = false;
    EXPECT_FALSE(cache.find(dir.file("a.wav"), vbr));
    const timespec later[2] = {{0, UTIME_OMIT}, {src.st_mtim.tv_sec + 60, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("a.wav").c_str(), later, 0), 0);
    EXPECT_FALSE(cache.find(dir.file("a.wav"), cbr)) << "a changed source found the old file";

    // A disk that fills up: writes beyond 16 KiB fail as they would on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{16 * 1024, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    auto full = cache.get(dir.file("b.wav"), cbr, {}, nullptr);
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(std::holds_alternative<ConvertFailure>(full));
    EXPECT_NE(std::get<ConvertFailure>(full).message.find(dir.file("b.wav") + ": cannot write"),
              std::string::npos)
        << std::get<ConvertFailure>(full).message;
    size_t files = 0;
    for (const auto &e : fs::directory_iterator(dir.file("cache"))) {
        ++files;
        EXPECT_FALSE(e.path().filename().string().starts_with(".partial")) << e.path();
    }
    EXPECT_EQ(files, 1u);

    // A limit below two files: the older one goes once released, the one in use stays.
    ConversionCache tight(dir.file("cache"), a.size + 1000);
    cache.release(a.path);
    auto b = tight.get(dir.file("b.wav"), cbr, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(b));
    EXPECT_FALSE(fs::exists(a.path));
    EXPECT_TRUE(fs::exists(std::get<CachedFile>(b).path));
}

// A source that changes while it is converted fails and leaves nothing in the cache.
TEST(ConversionCacheTest, SourceChangedWhileConverting) {
    TempDir dir;
    makeTone(dir.file("a.wav"), 2.0);
    ConversionCache cache(dir.file("cache"));
    bool touched = false;
    const ConvertProgress touch = [&](double fraction) {
        if (!touched && fraction > 0.2) {
            touched = true;
            const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
            utimensat(AT_FDCWD, dir.file("a.wav").c_str(), now, 0);
        }
    };
    auto r = cache.get(dir.file("a.wav"), ConvertSettings{}, touch, nullptr);
    ASSERT_TRUE(std::holds_alternative<ConvertFailure>(r));
    EXPECT_NE(std::get<ConvertFailure>(r).message.find("changed while"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir.file("cache")));
}

// The queue hands results back in order, each converted once; stop ends the rest as stopped.
TEST(ConversionQueueTest, InOrderAndStops) {
    TempDir dir;
    ConversionCache cache(dir.file("cache"));
    std::vector<std::string> sources;
    for (int i = 0; i < 4; ++i) {
        sources.push_back(dir.file("s" + std::to_string(i) + ".wav"));
        makeTone(sources.back(), 0.5 + 0.25 * i);
    }
    {
        ConversionQueue queue(cache, ConvertSettings{}, 2);
        for (const auto &s : sources)
            queue.add(s);
        for (size_t i = 0; i < sources.size(); ++i) {
            const ConversionResult r = queue.wait(i);
            ASSERT_TRUE(std::holds_alternative<CachedFile>(r));
            EXPECT_EQ(cache.find(sources[i], ConvertSettings{})->path,
                      std::get<CachedFile>(r).path);
            queue.release(r);
        }
    }
    ConvertSettings other;
    other.bitRateKbps = 128;
    ConversionQueue queue(cache, other, 1, 1);
    for (const auto &s : sources)
        queue.add(s);
    queue.stop();
    for (size_t i = 0; i < sources.size(); ++i) {
        const ConversionResult r = queue.wait(i);
        ASSERT_TRUE(std::holds_alternative<ConvertFailure>(r)) << i;
        EXPECT_TRUE(std::get<ConvertFailure>(r).stopped);
    }
}

// A folder's music in album order: by folder, then track number, then name; hidden and
// non-audio files left out and counted.
TEST(FolderScanTest, AlbumOrder) {
    TempDir dir;
    fs::create_directories(dir.file("lib/B album"));
    fs::create_directories(dir.file("lib/A album/CD2"));
    fs::create_directories(dir.file("lib/.hidden"));
    makeTone(dir.file("t.wav"), 0.2);
    const auto tagged = [&](const std::string &name, int track) {
        ffmpeg({"-i", dir.file("t.wav"), "-metadata", "track=" + std::to_string(track),
                dir.file("lib/" + name)});
    };
    tagged("B album/a.flac", 2);
    tagged("B album/z.flac", 1);
    tagged("A album/x.ogg", 10);
    tagged("A album/y.flac", 9);
    tagged("A album/CD2/q.flac", 1);
    fs::copy_file(dir.file("t.wav"), dir.file("lib/A album/untagged.wav"));
    fs::copy_file(dir.file("t.wav"), dir.file("lib/.hidden/h.wav"));
    fs::copy_file(dir.file("t.wav"), dir.file("lib/A album/.dot.wav"));
    writeFile(dir.file("lib/A album/cover.jpg"), Bytes(10, 1));
    writeFile(dir.file("lib/notes.txt"), Bytes(10, 1));
    const FolderScan scan = scanFolder(dir.file("lib"));
    std::vector<std::string> got;
    for (const auto &f : scan.files)
        got.push_back(fs::relative(f, dir.file("lib")).string());
    EXPECT_EQ(got,
              (std::vector<std::string>{"A album/y.flac", "A album/x.ogg", "A album/untagged.wav",
                                        "A album/CD2/q.flac", "B album/z.flac", "B album/a.flac"}));
    EXPECT_EQ(scan.hidden, 2u);
    EXPECT_EQ(scan.notAudio, 2u);
}

} // namespace
