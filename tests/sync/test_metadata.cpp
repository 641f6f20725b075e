#include "metadatacache.h"
#include "planalbums.h"

#include "convertfixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace tunara::sync;
namespace fs = std::filesystem;

// A short FLAC with a title over two lines, track 5 of disc 2.
std::string makeSource(const mediatest::TempDir &dir, const std::string &name) {
    const std::string wav = dir.file(name + ".wav");
    mediatest::makeTone(wav, 1.5);
    const std::string flac = dir.file(name);
    mediatest::ffmpeg({"-i", wav, "-metadata", "title=Line one\nline two \\ end", "-metadata",
                       "track=5", "-metadata", "disc=2", "-metadata", "album=Album", flac});
    fs::remove(wav);
    return flac;
}

std::vector<fs::path> entries(const std::string &dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        out.push_back(e.path());
    return out;
}

struct CacheRow {
    const char *name;
    // What happens between the first and the second read.
    void (*change)(const std::string &source, const fs::path &entry, const fs::path &other);
    bool probedAgain;
    bool keptAgain = true; // a folder in the entry's place cannot be replaced
};

class MetadataCacheTest : public ::testing::TestWithParam<CacheRow> {};

TEST_P(MetadataCacheTest, ReadsEachSourceOnceWhileItStaysTheSame) {
    const CacheRow &r = GetParam();
    mediatest::TempDir dir;
    const std::string source = makeSource(dir, "song.flac");
    const std::string other = makeSource(dir, "other.flac");
    MetadataCache cache(dir.file("cache"));
    bool probed = false;
    auto first = cache.get(source, &probed);
    ASSERT_TRUE(std::holds_alternative<SourceInfo>(first)) << std::get<std::string>(first);
    EXPECT_TRUE(probed);
    ASSERT_EQ(entries(cache.dir()).size(), 1u);
    const fs::path entry = entries(cache.dir()).front();
    ASSERT_TRUE(std::holds_alternative<SourceInfo>(cache.get(other, &probed)));
    fs::path otherEntry;
    for (const fs::path &p : entries(cache.dir()))
        if (p != entry)
            otherEntry = p;

    r.change(source, entry, otherEntry);
    // Another run (a process reads each source once and keeps what it read).
    MetadataCache again(dir.file("cache"));
    auto second = again.get(source, &probed);
    ASSERT_TRUE(std::holds_alternative<SourceInfo>(second));
    EXPECT_EQ(probed, r.probedAgain);
    const SourceInfo &a = std::get<SourceInfo>(first);
    const SourceInfo &b = std::get<SourceInfo>(second);
    EXPECT_EQ(b.title, "Line one\nline two \\ end");
    EXPECT_EQ(b.album, "Album");
    EXPECT_EQ(b.track, 5);
    EXPECT_EQ(b.disc, 2);
    EXPECT_EQ(b.sampleRate, 44100);
    EXPECT_DOUBLE_EQ(b.seconds, a.seconds);
    EXPECT_EQ(b.tagBytes, a.tagBytes);
    EXPECT_EQ(b.tagBytesWithCover, a.tagBytesWithCover);
    EXPECT_EQ(MetadataCache(dir.file("cache")).find(source).has_value(),
              r.keptAgain); // kept again after a damaged entry
    for (const fs::path &p : entries(cache.dir()))
        EXPECT_EQ(p.filename().string().find("partial"), std::string::npos);
}

void writeText(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MetadataCacheTest,
    ::testing::Values(
        CacheRow{"unchanged", [](auto &, auto &, auto &) {}, false},
        CacheRow{"source_touched",
                 [](const std::string &s, auto &, auto &) {
                     fs::last_write_time(s, fs::last_write_time(s) + std::chrono::seconds(5));
                 },
                 true},
        CacheRow{"source_replaced",
                 [](const std::string &s, auto &, auto &) {
                     fs::copy_file(s, s + ".new");
                     fs::rename(s + ".new", s);
                 },
                 true},
        CacheRow{"entry_garbage",
                 [](auto &, const fs::path &e, auto &) { writeText(e, "\x01\x02garbage"); }, true},
        CacheRow{"entry_empty", [](auto &, const fs::path &e, auto &) { writeText(e, ""); }, true},
        // Entries in a folder others may write are neither read nor written.
        CacheRow{"folder_open_to_others",
                 [](auto &, const fs::path &e, auto &) {
                     fs::permissions(e.parent_path(), fs::perms::all);
                 },
                 true, false},
        CacheRow{
            "entry_truncated",
            [](auto &, const fs::path &e, auto &) { fs::resize_file(e, fs::file_size(e) - 20); },
            true},
        CacheRow{"entry_of_another_file",
                 [](auto &, const fs::path &e, const fs::path &o) {
                     fs::copy_file(o, e, fs::copy_options::overwrite_existing);
                 },
                 true},
        CacheRow{"entry_negative_number",
                 [](auto &, const fs::path &e, auto &) {
                     std::ifstream in(e, std::ios::binary);
                     std::string text((std::istreambuf_iterator<char>(in)), {});
                     text.replace(text.find("\ntrack "), 8, "\ntrack -");
                     writeText(e, text);
                 },
                 true},
        CacheRow{"entry_huge",
                 [](auto &, const fs::path &e, auto &) { writeText(e, std::string(1 << 20, 'x')); },
                 true},
        CacheRow{"entry_is_a_folder",
                 [](auto &, const fs::path &e, auto &) {
                     fs::remove(e);
                     fs::create_directory(e);
                 },
                 true, false}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(SourceProbe, OpensLocalFilesOnly) {
    for (const char *path : {"http://127.0.0.1:9/x.mp3", "concat:/etc/passwd|/etc/passwd",
                             "/nonexistent/x.flac", "pipe:0"})
        EXPECT_TRUE(std::holds_alternative<std::string>(probeSource(path))) << path;
    // A list naming another file of the folder is not read for that file's audio.
    mediatest::TempDir dir;
    mediatest::makeTone(dir.file("other.wav"), 1.0);
    const std::string list = "ffconcat version 1.0\nfile other.wav\n";
    mediatest::writeFile(dir.file("list.flac"), mediatest::Bytes(list.begin(), list.end()));
    const auto probed = probeSource(dir.file("list.flac"));
    ASSERT_TRUE(std::holds_alternative<std::string>(probed));
    EXPECT_NE(std::get<std::string>(probed).find("playlist or script naming other files (concat)"),
              std::string::npos)
        << std::get<std::string>(probed);
}

// A folder made into the plan's albums, planned twice: the second plan opens no source for its
// information.
TEST(PlanAlbums, NamesSizesAndPresentFilesFromAWarmCache) {
    mediatest::TempDir dir;
    fs::create_directories(dir.path() / "lib/a");
    fs::create_directories(dir.path() / "lib/b");
    makeSource(dir, "lib/a/1.flac");
    makeSource(dir, "lib/a/2.flac");
    makeSource(dir, "lib/b/1.flac");
    mediatest::writeFile(dir.file("lib/b/broken.ogg"), mediatest::Bytes(500, 0x11));
    const Selection selection = selectionOf({dir.file("lib")});
    MetadataCache cache(dir.file("cache"));
    PlanSettings settings;
    const std::vector<std::string> present = {"2.MP3"};
    for (int round = 0; round < 2; ++round) {
        const PlannedAlbums planned = planAlbums(selection, present, settings, cache);
        // A source that cannot be read is not opened again by the same run.
        EXPECT_EQ(planned.probed, round == 0 ? 4u : 0u);
        ASSERT_EQ(planned.albums.size(), 2u);
        ASSERT_EQ(planned.albums[0].tracks.size(), 2u);
        ASSERT_EQ(planned.albums[1].tracks.size(), 1u);
        ASSERT_EQ(planned.skipped.size(), 1u);
        EXPECT_EQ(fs::path(planned.skipped[0].path).filename(), "broken.ogg");
        const PlanTrack &a1 = planned.albums[0].tracks[0];
        const PlanTrack &a2 = planned.albums[0].tracks[1];
        const PlanTrack &b1 = planned.albums[1].tracks[0];
        EXPECT_EQ(a1.playerName, "1.mp3");
        EXPECT_TRUE(a2.present);
        EXPECT_EQ(b1.playerName, "1 (2).mp3");
        EXPECT_TRUE(a1.converted);
        EXPECT_EQ(a1.sampleRate, 44100);
        EXPECT_EQ(a1.trackNumber, 5);
        EXPECT_EQ(a1.records, 2u);
        // 1.5 s at 192 kbit/s is about 36 kB of frames, and the tag.
        EXPECT_GT(a1.bytes, 36'000u);
        EXPECT_LT(a1.bytes, 40'000u);
        Room room = Room::of(a1.bytes + b1.bytes, present);
        const FitResult fit = fitAlbums(planned.albums, room, FitMode::StopAtFirst);
        EXPECT_EQ(fit.files, 2u);
        EXPECT_EQ(fit.recordsAfter, 1u + 2u + 2u); // "2.MP3" takes one
    }
}

} // namespace
