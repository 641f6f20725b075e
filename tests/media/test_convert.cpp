// The conversion engine on real files in other formats: what arrives (an MP3 the player's check
// accepts, the source's length, its tags and a small cover), what is refused and why, and the
// cache and the queue ahead of a transfer.
#include "conversioncache.h"
#include "conversionqueue.h"
#include "converter.h"
#include "convertfixture.h"
#include "coverart.h"
#include "folderscan.h"
#include "gaintags.h"
#include "loudness.h"
#include "mpegheader.h"
#include "mutagenjudge.h"
#include "playerformat.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tunara::media;
using namespace mediatest;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kTags = {
    "-metadata", "title=Träume", "-metadata", "artist=The Band", "-metadata", "album=First",
    "-metadata", "track=7/12",   "-metadata", "date=2011-05-03", "-metadata", "genre=Rock",
    "-metadata", "comment=Live", "-metadata", "composer=Ann",    "-metadata", "disc=2/3"};
// The disc number in the form Vorbis comments often hold it: the total apart, under one of its
// two names. Given after kTags, it takes the place of "2/3".
std::vector<std::string> discApart(const char *totalKey) {
    return {"-metadata", "disc=2", "-metadata", std::string(totalKey) + "=3"};
}

// Makes the source in `dir` and returns its path.
using Maker = std::function<std::string(const TempDir &dir)>;

struct Source {
    const char *name;
    Maker make;
    const char *refusal;        // part of the failure's message; nullptr: converts
    bool tagged;                // carries kTags and a 640x480 cover
    const char *note = nullptr; // part of the one note a conversion leaves; nullptr: none
    std::uint64_t limit = 0;    // the largest output allowed; 0: the player's
    bool relative = false;      // the path is relative to the folder, the working folder
    std::uint64_t room = 0;     // the memory's free room; 0: not known
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
    const auto disc = discApart("DISCTOTAL");
    args.insert(args.end(), disc.begin(), disc.end());
    args.push_back(dir.file("song.flac"));
    ffmpeg(args);
    return dir.file("song.flac");
}

// `extra` comes after the codec and kTags (more tags, or the output's options).
std::string withFfmpeg(const TempDir &dir, const std::string &name, std::vector<std::string> codec,
                       double seconds = 2.5, int rate = 48000, int channels = 1,
                       const std::vector<std::string> &extra = {}) {
    makeTone(dir.file("t.wav"), seconds, rate, channels);
    std::vector<std::string> args = {"-i", dir.file("t.wav")};
    args.insert(args.end(), codec.begin(), codec.end());
    args.insert(args.end(), kTags.begin(), kTags.end());
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(dir.file(name));
    ffmpeg(args);
    return dir.file(name);
}

// A tagged FLAC whose front cover is a PNG of 16000 x 16000 grey pixels: a few hundred
// kilobytes that would decode to 256 MB (a gigabyte in RGBA).
std::string flacWithBombCover(const TempDir &dir) {
    const std::string flac = withFfmpeg(dir, "bomb.flac", {}, 2.0, 44100, 2);
    const RunResult r = run({TUNARA_PYTHON, "-c", R"PY(
import sys, struct, zlib
from mutagen.flac import FLAC, Picture
side = 16000
z = zlib.compressobj(9)
row = bytes(side + 1)
data = b''.join(z.compress(row) for _ in range(side)) + z.flush()
def chunk(kind, body):
    return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
png = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 0, 0, 0, 0))
       + chunk(b'IDAT', data) + chunk(b'IEND', b''))
f = FLAC(sys.argv[1])
p = Picture()
p.type, p.mime, p.width, p.height, p.depth, p.data = 3, 'image/png', side, side, 8, png
f.add_picture(p)
f.save()
)PY",
                             flac});
    EXPECT_EQ(r.status, 0) << r.err;
    return flac;
}

// A FLAC whose STREAMINFO claims 2^36 - 1 samples (18 days at 44.1 kHz), over 2 s of audio.
std::string flacClaimingDays(const TempDir &dir) {
    const std::string flac = withFfmpeg(dir, "days.flac", {}, 2.0, 44100, 2);
    Bytes b = readFile(flac);
    // "fLaC", the block header, then STREAMINFO: the 36-bit sample count starts in the low
    // nibble of its byte 13.
    constexpr std::size_t kSamplesAt = 4 + 4 + 13;
    b[kSamplesAt] |= 0x0F;
    for (std::size_t i = kSamplesAt + 1; i < kSamplesAt + 5; ++i)
        b[i] = 0xFF;
    writeFile(flac, b);
    return flac;
}

// An MP3 without a frame count (no Xing frame): its length is not known before it is decoded.
std::string mp3WithoutLength(const TempDir &dir) {
    makeTone(dir.file("t.wav"), 8.0);
    const RunResult r = run({TUNARA_LAME, "--quiet", "-t", "--cbr", "-b", "128", dir.file("t.wav"),
                             dir.file("nolength.mp3")});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file("nolength.mp3");
}

// A source in the folder under a name libavformat would take for a protocol; the path returned
// is relative to the folder.
Maker namedLikeAProtocol(std::string name) {
    return [name](const TempDir &d) {
        withFfmpeg(d, name, {}, 2.5, 44100, 2, {"-f", "flac"});
        return name;
    };
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
        {"flac_disc_and_totaldiscs",
         [](const TempDir &d) {
             return withFfmpeg(d, "d.flac", {}, 2.5, 48000, 1, discApart("TOTALDISCS"));
         },
         nullptr, true},
        {"flac_bomb_cover", flacWithBombCover, nullptr, true,
         "the cover is left out: 16000x16000 pixels is too large"},
        {"pipe_name", namedLikeAProtocol("pipe:x.flac"), nullptr, true, nullptr, 0, true},
        {"concat_name", namedLikeAProtocol("concat:a.flac|b.flac"), nullptr, true, nullptr, 0,
         true},
        {"subfile_name", namedLikeAProtocol("subfile,,start,0,end,1000,,:x.flac"), nullptr, true,
         nullptr, 0, true},
        {"file_name", namedLikeAProtocol("file:x.flac"), nullptr, true, nullptr, 0, true},
        // A text naming another file of the folder, which libavformat would read in its place.
        {"concat_list_named_flac",
         [](const TempDir &d) {
             makeTone(d.file("other.wav"), 1.0);
             const std::string list = "ffconcat version 1.0\nfile other.wav\n";
             writeFile(d.file("list.flac"), Bytes(list.begin(), list.end()));
             return d.file("list.flac");
         },
         "is a playlist or script naming other files (concat)", false},
        {"flac_claims_days", flacClaimingDays,
         "more than the largest file the player takes (4.0 GiB)", false},
        // 2.5 s at 192 kbit/s: 60 kB of audio, past 50 kB.
        {"output_predicted_past_limit",
         [](const TempDir &d) { return withFfmpeg(d, "a.flac", {}); }, "would take up to", false,
         nullptr, 50'000},
        // 8 s at 192 kbit/s: 192 kB, past 100 kB only once encoded.
        {"output_grows_past_limit", mp3WithoutLength, "grew past the largest file", false, nullptr,
         100'000},
        // The same past the memory's free room, below the player's largest file.
        {"output_predicted_past_room", [](const TempDir &d) { return withFfmpeg(d, "a.flac", {}); },
         "more than the free room of the memory it goes to (", false, nullptr, 0, false, 50'000},
        {"output_grows_past_room", mp3WithoutLength,
         "grew past the free room of the memory it goes to", false, nullptr, 200'000, false,
         100'000},
    };
    return all;
}

class ConvertSource : public ::testing::TestWithParam<Source> {};

// A source converts into an MPEG-1 Layer III stereo 44.1 kHz file that the player's check
// accepts, as long as the source, with its tags and a cover of at most 300 x 300; a damaged one
// fails with the file named and the reason, and leaves nothing behind.
// Standard input holds other audio while a row with a relative path runs (a name read as
// "pipe:" would convert that), and the working folder is the row's folder.
class InFolderWithOtherStdin {
public:
    InFolderWithOtherStdin(const TempDir &dir, bool active) : m_active(active) {
        if (!m_active)
            return;
        makeTone(dir.file("stdin.wav"), 1.0);
        m_cwd = fs::current_path();
        fs::current_path(dir.path());
        m_stdin = dup(STDIN_FILENO);
        const int other = open(dir.file("stdin.wav").c_str(), O_RDONLY);
        dup2(other, STDIN_FILENO);
        close(other);
    }
    ~InFolderWithOtherStdin() {
        if (!m_active)
            return;
        dup2(m_stdin, STDIN_FILENO);
        close(m_stdin);
        fs::current_path(m_cwd);
    }
    InFolderWithOtherStdin(const InFolderWithOtherStdin &) = delete;
    InFolderWithOtherStdin &operator=(const InFolderWithOtherStdin &) = delete;

private:
    bool m_active;
    fs::path m_cwd;
    int m_stdin = -1;
};

TEST_P(ConvertSource, ConvertsOrSaysWhy) {
    const Source &s = GetParam();
    TempDir dir;
    const std::string source = s.make(dir);
    // The judges (ffmpeg, mutagen) are given the whole path.
    const std::string sourcePath = s.relative ? dir.file(source) : source;
    const std::string out = dir.file("out.mp3");
    std::vector<std::string> notes;
    ConvertSettings settings;
    if (s.limit != 0)
        settings.maxOutputBytes = s.limit;
    if (s.room != 0)
        settings.roomBytes = s.room;
    std::optional<ConvertFailure> failure;
    {
        const InFolderWithOtherStdin folder(dir, s.relative);
        failure = convertFile(source, out, settings, {}, nullptr, &notes);
        if (s.relative) {
            EXPECT_EQ(trackNumberOf(source), 7) << "the folder scan read another file";
        }
    }
    if (s.refusal != nullptr) {
        ASSERT_TRUE(failure) << "converted";
        EXPECT_NE(failure->message.find(source + ": "), std::string::npos) << failure->message;
        EXPECT_NE(failure->message.find(s.refusal), std::string::npos) << failure->message;
        EXPECT_FALSE(fs::exists(out));
        return;
    }
    ASSERT_FALSE(failure) << failure->message;
    if (s.note == nullptr) {
        EXPECT_TRUE(notes.empty()) << notes.front();
    } else {
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes.front().find(source + ": "), 0u) << notes.front();
        EXPECT_NE(notes.front().find(s.note), std::string::npos) << notes.front();
    }
    SilentSink quiet;
    const MpegCheck check = CheckMpegHeader(out, quiet);
    EXPECT_EQ(check.code, MpegCheckCode::Accepted);
    EXPECT_EQ(check.header.version(), kVersionMpeg1);
    EXPECT_EQ(check.header.layer(), kLayer3);
    EXPECT_EQ(sampleRateOf(check.header), 44100u);
    EXPECT_NE(check.header.channelMode(), 3u); // not single channel
    EXPECT_NEAR(decodedSeconds(out), decodedSeconds(sourcePath), 0.05);
    if (!s.tagged)
        return;
    const MutagenView tag = mutagenRead(out);
    ASSERT_TRUE(tag.ok) << tag.error;
    EXPECT_EQ(tag.version, 3);
    const std::map<std::string, std::string> expected = {
        {"TIT2", "Träume"}, {"TPE1", "The Band"}, {"TALB", "First"},    {"TRCK", "7"},
        {"TYER", "2011"},   {"TCOM", "Ann"},      {"TCON", "(17)Rock"}, {"TPOS", "2/3"}};
    for (const auto &[id, text] : expected) {
        ASSERT_EQ(tag.text.count(id), 1u) << id;
        EXPECT_EQ(tag.text.at(id).front(), text) << id;
    }
    EXPECT_EQ(tag.comment, "Live");
    if (s.note != nullptr) {
        EXPECT_EQ(tag.pictureBytes, 0u) << "a cover left out is not in the tag";
    }
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

    // A limit below two files: the older one goes once released (by both gets that returned
    // it), the one in use stays.
    ConversionCache tight(dir.file("cache"), a.size + 1000);
    cache.release(a.path);
    cache.release(a.path);
    auto b = tight.get(dir.file("b.wav"), cbr, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(b));
    EXPECT_FALSE(fs::exists(a.path));
    EXPECT_TRUE(fs::exists(std::get<CachedFile>(b).path));
}

// How a source changes between two sends, and whether the second send may reuse the first
// conversion. Tag editors keep the modification time; FAT and exFAT keep it to two seconds.
struct KeyRow {
    const char *name;
    std::function<void(const std::string &source, const TempDir &dir)> change;
    bool reused;
};

// `source` rewritten with other audio of the same size, its times set back to `old`'s.
void keepTimes(const std::string &source, const struct stat &old) {
    const timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    struct stat now {};
    ASSERT_EQ(stat(source.c_str(), &now), 0);
    ASSERT_EQ(now.st_size, old.st_size);
    ASSERT_EQ(now.st_mtim.tv_nsec, old.st_mtim.tv_nsec);
}

class CacheKey : public ::testing::TestWithParam<KeyRow> {};

TEST_P(CacheKey, ReusesOnlyTheSameSource) {
    const KeyRow &row = GetParam();
    TempDir dir;
    const std::string source = dir.file("a.wav");
    makeTone(source, 1.0);
    ConversionCache cache(dir.file("cache"));
    auto first = cache.get(source, ConvertSettings{}, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(first));
    const Bytes firstBytes = readFile(std::get<CachedFile>(first).path);
    row.change(source, dir);
    auto second = cache.get(source, ConvertSettings{}, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(second))
        << std::get<ConvertFailure>(second).message;
    const CachedFile &file = std::get<CachedFile>(second);
    EXPECT_EQ(file.reused, row.reused);
    if (row.reused) {
        EXPECT_EQ(readFile(file.path), firstBytes);
    } else {
        EXPECT_NE(readFile(file.path), firstBytes) << "the old conversion was sent";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, CacheKey,
    ::testing::Values(KeyRow{"untouched", [](const std::string &, const TempDir &) {}, true},
                      KeyRow{"rewritten_in_place_keeping_size_and_times",
                             [](const std::string &source, const TempDir &dir) {
                                 struct stat old {};
                                 ASSERT_EQ(stat(source.c_str(), &old), 0);
                                 run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", dir.file("b.wav"),
                                      "synth", "1.0", "sine", "880", "vol", "0.5"});
                                 const Bytes other = readFile(dir.file("b.wav"));
                                 ASSERT_EQ(off_t(other.size()), old.st_size);
                                 const int fd = open(source.c_str(), O_WRONLY); // same inode
                                 ASSERT_GE(fd, 0);
                                 ASSERT_EQ(pwrite(fd, other.data(), other.size(), 0),
                                           ssize_t(other.size()));
                                 close(fd);
                                 keepTimes(source, old);
                             },
                             false},
                      KeyRow{"replaced_by_rename_keeping_size_and_times",
                             [](const std::string &source, const TempDir &dir) {
                                 struct stat old {};
                                 ASSERT_EQ(stat(source.c_str(), &old), 0);
                                 run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", dir.file("b.wav"),
                                      "synth", "1.0", "sine", "880", "vol", "0.5"});
                                 keepTimes(dir.file("b.wav"), old);
                                 ASSERT_EQ(rename(dir.file("b.wav").c_str(), source.c_str()), 0);
                             },
                             false}),
    [](const auto &row) { return std::string(row.param.name); });

// Levelling in the converter: the gain it applies (measured, given, held under -1 dBFS), the
// ReplayGain left in the tag, and the cache key (unchanged with levelling off). The source is a
// 440 Hz sine of amplitude 0.5: -6.96 LUFS (K-weighted below 1 kHz), peak -6.02 dBFS.
struct LevelRow {
    const char *name;
    LevelMode mode;
    std::optional<LevelGain> given;
    std::string key;                     // the settings' key
    double lufs;                         // of the converted file
    std::optional<double> trackGainLeft; // REPLAYGAIN_TRACK_GAIN in its tag, dB
    // The samples the converter may hold while it measures; the source an MP3 that declares
    // no length (no info frame: FFmpeg would only guess it from the bit rate).
    std::size_t heldTrackBytes = kHeldTrackBytes;
    bool lengthUnknown = false;
    // The source a FLAC whose tags claim -30 dB (peak 0.5), taken in place of a measurement.
    bool storedGain = false;
};

class ConvertLevel : public ::testing::TestWithParam<LevelRow> {};

TEST_P(ConvertLevel, AppliesTheGainAndTagsWhatIsLeft) {
    const LevelRow &row = GetParam();
    TempDir dir;
    makeTone(dir.file("t.wav"), 3.0);
    std::string source = dir.file("t.wav");
    if (row.lengthUnknown) {
        source = dir.file("s.mp3");
        ffmpeg({"-i", dir.file("t.wav"), "-c:a", "libmp3lame", "-b:a", "320k", "-write_xing", "0",
                source});
    }
    if (row.storedGain) {
        source = dir.file("s.flac");
        ffmpeg({"-i", dir.file("t.wav"), "-metadata", "REPLAYGAIN_TRACK_GAIN=-30.00 dB",
                "-metadata", "REPLAYGAIN_TRACK_PEAK=0.5", source});
    }
    ConvertSettings settings;
    settings.level = row.mode;
    settings.levelGain = row.given;
    settings.heldTrackBytes = row.heldTrackBytes;
    settings.useStoredGain = row.storedGain;
    EXPECT_EQ(settings.key(), row.key);
    std::vector<double> done;
    ASSERT_EQ(convertFile(
                  source, dir.file("t.mp3"), settings,
                  [&](double fraction) { done.push_back(fraction); }, nullptr),
              std::nullopt);
    ASSERT_FALSE(done.empty());
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end())) << "progress went back";
    EXPECT_LE(done.back(), 1.0);
    auto measured = measureFile(dir.file("t.mp3"));
    ASSERT_TRUE(std::holds_alternative<MeasuredFile>(measured));
    const auto &loudness = std::get<MeasuredFile>(measured).loudness;
    ASSERT_TRUE(loudness.has_value());
    EXPECT_NEAR(loudness->lufs, row.lufs, 0.5);
    EXPECT_LE(loudness->peakDbfs(), -0.8) << "past the ceiling";
    const StoredGain stored = readStoredGain(dir.file("t.mp3"));
    ASSERT_EQ(stored.trackGainDb.has_value(), row.trackGainLeft.has_value());
    if (row.trackGainLeft) {
        EXPECT_NEAR(*stored.trackGainDb, *row.trackGainLeft, 0.1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConvertLevel,
    ::testing::Values(
        LevelRow{"off_keeps_key_and_level", LevelMode::Off, std::nullopt, "cbr192-44100-cover",
                 -6.96, std::nullopt},
        LevelRow{"track_measured_as_it_decodes", LevelMode::Track, std::nullopt,
                 "cbr192-44100-cover-level-track", -18.0, 0.0},
        // Longer than the converter holds: measured by a decode of its own, then decoded again;
        // with no length declared, found too long only while it is held.
        LevelRow{"track_too_long_to_hold", LevelMode::Track, std::nullopt,
                 "cbr192-44100-cover-level-track", -18.0, 0.0, 64 * 1024},
        LevelRow{"track_of_unknown_length_too_long_to_hold", LevelMode::Track, std::nullopt,
                 "cbr192-44100-cover-level-track", -18.0, 0.0, 64 * 1024, true},
        LevelRow{"track_of_unknown_length_held", LevelMode::Track, std::nullopt,
                 "cbr192-44100-cover-level-track", -18.0, 0.0, kHeldTrackBytes, true},
        LevelRow{"track_gain_from_its_tags", LevelMode::Track, std::nullopt,
                 "cbr192-44100-cover-level-track-tags", -36.96, 0.0, kHeldTrackBytes, false, true},
        LevelRow{"album_gain_given", LevelMode::Album, LevelGain{-12.0, 0.5, -14.0, 0.5},
                 "cbr192-44100-cover-level-album-t-12.00/0.500000-a-14.00/0.500000", -20.96, 2.0},
        // +10 dB would take the peak to +4 dBFS: 5.02 dB are applied, 4.98 dB are left.
        LevelRow{"louder_held_under_the_ceiling", LevelMode::Track, LevelGain{10.0, 0.5, {}, {}},
                 "cbr192-44100-cover-level-track-t+10.00/0.500000", -1.94, 4.98}),
    [](const auto &row) { return std::string(row.param.name); });

// The stamp read before the conversion is the one the result is checked against: a source
// rewritten between the reading (which named the cache entry) and the conversion fails.
TEST(ConversionCacheTest, StampReadBeforeConvertingIsTheOneChecked) {
    TempDir dir;
    const std::string source = dir.file("a.wav");
    makeTone(source, 1.0);
    const std::optional<SourceStamp> stamp = readSourceStamp(source);
    ASSERT_TRUE(stamp);
    struct stat old {};
    ASSERT_EQ(stat(source.c_str(), &old), 0);
    makeTone(source, 1.0);
    keepTimes(source, old);
    const auto failure =
        convertFile(source, *stamp, dir.file("out.mp3"), ConvertSettings{}, {}, nullptr);
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->message.find("changed while"), std::string::npos) << failure->message;
    EXPECT_FALSE(fs::exists(dir.file("out.mp3")));
}

// Two runs over one cache folder (two processes, or here two cache objects: the lock belongs to
// each open file): a run's eviction never removes a file the other holds for sending.
struct HoldRow {
    const char *name;
    bool releasedFirst; // the holder is done with the file before the other run evicts
};

class CacheHeldAcross : public ::testing::TestWithParam<HoldRow> {};

TEST_P(CacheHeldAcross, EvictionSparesWhatAnotherRunHolds) {
    TempDir dir;
    makeTone(dir.file("a.wav"), 1.0);
    makeTone(dir.file("b.wav"), 1.5);
    ConversionCache holder(dir.file("cache"));
    auto held = holder.get(dir.file("a.wav"), ConvertSettings{}, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(held));
    const CachedFile a = std::get<CachedFile>(held);
    if (GetParam().releasedFirst)
        holder.release(a.path);
    ConversionCache other(dir.file("cache"), a.size + 1000); // room for one file only
    auto b = other.get(dir.file("b.wav"), ConvertSettings{}, {}, nullptr);
    ASSERT_TRUE(std::holds_alternative<CachedFile>(b));
    EXPECT_TRUE(fs::exists(std::get<CachedFile>(b).path));
    EXPECT_EQ(fs::exists(a.path), !GetParam().releasedFirst);
    // The holder's file is still whole for sending.
    if (!GetParam().releasedFirst) {
        EXPECT_EQ(fs::file_size(a.path), a.size);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, CacheHeldAcross,
                         ::testing::Values(HoldRow{"held_by_the_other_run", false},
                                           HoldRow{"released_by_the_other_run", true}),
                         [](const auto &row) { return std::string(row.param.name); });

// The folder the cache lives in: made private, and refused when another user could put files
// into it or swap it.
struct FolderRow {
    const char *name;
    // Prepares `root` and returns the cache folder to use under it.
    std::function<std::string(const std::string &root)> prepare;
    const char *refusal; // nullptr: the cache works and its folder is private
    bool needsRoot = false;
};

class CacheFolder : public ::testing::TestWithParam<FolderRow> {};

TEST_P(CacheFolder, IsPrivateOrRefused) {
    const FolderRow &row = GetParam();
    if (row.needsRoot && geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    TempDir dir;
    makeTone(dir.file("a.wav"), 0.5);
    const std::string folder = row.prepare(dir.file("root"));
    ConversionCache cache(folder);
    auto r = cache.get(dir.file("a.wav"), ConvertSettings{}, {}, nullptr);
    if (row.refusal != nullptr) {
        ASSERT_TRUE(std::holds_alternative<ConvertFailure>(r)) << "converted into " << folder;
        EXPECT_NE(std::get<ConvertFailure>(r).message.find(row.refusal), std::string::npos)
            << std::get<ConvertFailure>(r).message;
        return;
    }
    ASSERT_TRUE(std::holds_alternative<CachedFile>(r)) << std::get<ConvertFailure>(r).message;
    struct stat st {};
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << st.st_mode;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, CacheFolder,
    ::testing::Values(
        FolderRow{"made_private",
                  [](const std::string &root) { return root + "/deep/tunara/convert"; }, nullptr},
        FolderRow{"below_a_sticky_shared_folder",
                  [](const std::string &root) {
                      fs::create_directories(root);
                      chmod(root.c_str(), 01777);
                      return root + "/tunara-0/convert";
                  },
                  nullptr},
        FolderRow{"writable_by_others",
                  [](const std::string &root) {
                      fs::create_directories(root + "/convert");
                      chmod((root + "/convert").c_str(), 0777);
                      return root + "/convert";
                  },
                  "is not private"},
        FolderRow{"a_link_to_another_folder",
                  [](const std::string &root) {
                      fs::create_directories(root + "/elsewhere");
                      fs::create_directory_symlink(root + "/elsewhere", root + "/convert");
                      return root + "/convert";
                  },
                  "is not a folder"},
        FolderRow{"under_a_folder_others_may_change",
                  [](const std::string &root) {
                      fs::create_directories(root);
                      chmod(root.c_str(), 0777);
                      return root + "/tunara-0/convert";
                  },
                  "may be changed by another user"},
        FolderRow{"made_by_another_user",
                  [](const std::string &root) {
                      fs::create_directories(root + "/tunara-0/convert");
                      EXPECT_EQ(chown((root + "/tunara-0").c_str(), 65534, 65534), 0);
                      EXPECT_EQ(chown((root + "/tunara-0/convert").c_str(), 65534, 65534), 0);
                      return root + "/tunara-0/convert";
                  },
                  "is not private", true}),
    [](const auto &row) { return std::string(row.param.name); });

// Where the cache is when no folder is named: never a folder in the shared temporary folder
// that another user could have made first.
struct DefaultDirRow {
    const char *name;
    const char *xdg;  // XDG_CACHE_HOME; nullptr: unset
    const char *home; // HOME; nullptr: unset
    std::string expected;
};

// The user database's home folder of the account running the test.
std::string accountHome() {
    const passwd *entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

class DefaultCacheDir : public ::testing::TestWithParam<DefaultDirRow> {};

TEST_P(DefaultCacheDir, FollowsTheEnvironmentThenTheAccount) {
    const DefaultDirRow &row = GetParam();
    const auto saved = [](const char *name) -> std::optional<std::string> {
        const char *v = std::getenv(name);
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto set = [](const char *name, const std::optional<std::string> &v) {
        if (v)
            setenv(name, v->c_str(), 1);
        else
            unsetenv(name);
    };
    const auto xdg = saved("XDG_CACHE_HOME"), home = saved("HOME");
    set("XDG_CACHE_HOME", row.xdg ? std::optional<std::string>(row.xdg) : std::nullopt);
    set("HOME", row.home ? std::optional<std::string>(row.home) : std::nullopt);
    const std::string dir = ConversionCache::defaultDir();
    // The sync's caches live beside the conversions.
    const std::string metadata = ConversionCache::userCacheDir("metadata");
    set("XDG_CACHE_HOME", xdg);
    set("HOME", home);
    ASSERT_FALSE(accountHome().empty());
    EXPECT_EQ(dir, row.expected);
    EXPECT_EQ(metadata, (fs::path(row.expected).parent_path() / "metadata").string());
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DefaultCacheDir,
    ::testing::Values(DefaultDirRow{"xdg", "/x/cache", "/h", "/x/cache/tunara/convert"},
                      DefaultDirRow{"relative_xdg_ignored", "cache", "/h",
                                    "/h/.cache/tunara/convert"},
                      DefaultDirRow{"home", nullptr, "/h", "/h/.cache/tunara/convert"},
                      DefaultDirRow{"neither_takes_the_account_home", nullptr, nullptr,
                                    accountHome() + "/.cache/tunara/convert"},
                      DefaultDirRow{"empty_home_takes_the_account_home", "", "",
                                    accountHome() + "/.cache/tunara/convert"}),
    [](const auto &row) { return std::string(row.param.name); });

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
