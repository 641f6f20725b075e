#include "selection.h"

#include "mediatestutil.h"

#include <gtest/gtest.h>

#include <fstream>

#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace tunara::sync;

// Files every row finds: a/1.mp3 a/2.flac a/3.mp3 b/1.ogg b/notes.txt, "c d/é 1.mp3".
void makeLibrary(const mediatest::TempDir &dir) {
    for (const char *folder : {"a", "b", "c d", "lists"})
        std::filesystem::create_directories(dir.path() / folder);
    for (const char *file :
         {"a/1.mp3", "a/2.flac", "a/3.mp3", "b/1.ogg", "b/notes.txt", "c d/\xC3\xA9 1.mp3"})
        mediatest::writeFile(dir.file(file), mediatest::Bytes(100, 0x55));
}

struct PlaylistRow {
    const char *name;
    std::string text; // "{dir}" stands for the library's folder
    std::vector<std::pair<std::string, std::string>> others; // more playlists: name, text
    std::string albums;  // "a:1.mp3,2.flac|b:1.ogg", folders relative to the library
    std::string skipped; // reasons' first words, in order: "missing|not audio"
};

std::string replaced(std::string text, const std::string &dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;)
        text.replace(at, 5, dir);
    return text;
}

std::string albumText(const Selection &s, const std::string &dir) {
    std::string text;
    for (const Album &album : s.albums) {
        if (!text.empty())
            text += '|';
        text += std::filesystem::path(album.key).lexically_relative(dir).string() + ":";
        for (std::size_t i = 0; i < album.files.size(); ++i) {
            text +=
                (i > 0 ? "," : "") + std::filesystem::path(album.files[i].path).filename().string();
            EXPECT_EQ(album.files[i].size, 100u) << album.files[i].path;
            EXPECT_GT(album.files[i].mtimeNs, 0) << album.files[i].path;
        }
    }
    return text;
}

std::string skippedText(const Selection &s) {
    std::string text;
    for (const SkippedEntry &e : s.skipped) {
        if (!text.empty())
            text += '|';
        text += e.reason.substr(0, e.reason.find_first_of(" :;("));
    }
    return text;
}

class PlaylistTest : public ::testing::TestWithParam<PlaylistRow> {};

TEST_P(PlaylistTest, ReadsEntriesInOrderAndNamesWhatItSkips) {
    const PlaylistRow &r = GetParam();
    mediatest::TempDir dir;
    makeLibrary(dir);
    const std::string root = dir.path().string();
    for (const auto &[name, text] : r.others)
        mediatest::writeFile(dir.file(name), [&] {
            const std::string t = replaced(text, root);
            return mediatest::Bytes(t.begin(), t.end());
        }());
    const std::string list = dir.file("lists/list.m3u8");
    const std::string text = replaced(r.text, root);
    mediatest::writeFile(list, mediatest::Bytes(text.begin(), text.end()));
    const Selection s = selectionOf({list});
    EXPECT_EQ(albumText(s, root), r.albums);
    EXPECT_EQ(skippedText(s), r.skipped);
}

INSTANTIATE_TEST_SUITE_P(
    Playlists, PlaylistTest,
    ::testing::Values(
        PlaylistRow{"relative", "../a/1.mp3\n../a/3.mp3\n", {}, "a:1.mp3,3.mp3", ""},
        PlaylistRow{"absolute", "{dir}/b/1.ogg\n", {}, "b:1.ogg", ""},
        PlaylistRow{"playlist_order_kept", "../a/3.mp3\n../a/1.mp3\n", {}, "a:3.mp3,1.mp3", ""},
        PlaylistRow{"runs_make_albums",
                    "../a/1.mp3\n../a/2.flac\n../b/1.ogg\n../a/3.mp3\n",
                    {},
                    "a:1.mp3,2.flac|b:1.ogg|a:3.mp3",
                    ""},
        PlaylistRow{"extm3u_and_comments",
                    "#EXTM3U\n#EXTINF:123,Artist - Title\n../a/1.mp3\n# a comment\n\n  \n",
                    {},
                    "a:1.mp3",
                    ""},
        PlaylistRow{"crlf_and_bom",
                    "\xEF\xBB\xBF#EXTM3U\r\n../a/1.mp3\r\n../a/3.mp3\r\n",
                    {},
                    "a:1.mp3,3.mp3",
                    ""},
        PlaylistRow{
            "file_url", "file://{dir}/c%20d/%C3%A9%201.mp3\n", {}, "c d:\xC3\xA9 1.mp3", ""},
        PlaylistRow{"file_url_localhost", "file://localhost{dir}/a/1.mp3\n", {}, "a:1.mp3", ""},
        PlaylistRow{"file_url_other_host", "file://server/a/1.mp3\n", {}, "", "a"},
        PlaylistRow{"file_url_nul", "file://{dir}/a/1.mp3%00.txt\n", {}, "", "a"},
        PlaylistRow{"remote_url", "http://example.invalid/x.mp3\n", {}, "", "not"},
        PlaylistRow{"missing", "../a/9.mp3\n../a/1.mp3\n", {}, "a:1.mp3", "missing"},
        PlaylistRow{"not_audio", "../b/notes.txt\n", {}, "", "not"},
        PlaylistRow{"folder_entry", "../a\n", {}, "", "a"},
        PlaylistRow{"through_a_file", "../a/1.mp3/x.mp3\n", {}, "", "missing"},
        PlaylistRow{"nested_followed_once",
                    "inner.m3u\n../a/1.mp3\ninner.m3u\n",
                    {{"lists/inner.m3u", "../b/1.ogg\n"}},
                    "b:1.ogg|a:1.mp3",
                    "a"},
        PlaylistRow{"loop_ends",
                    "one.m3u\n",
                    {{"lists/one.m3u", "two.m3u\n../a/1.mp3\n"},
                     {"lists/two.m3u", "one.m3u\n../b/1.ogg\n"}},
                    "b:1.ogg|a:1.mp3",
                    "a"},
        PlaylistRow{"includes_itself", "list.m3u8\n../a/1.mp3\n", {}, "a:1.mp3", "a"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(PlaylistSize, AHundredThousandLinesEnd) {
    mediatest::TempDir dir;
    makeLibrary(dir);
    std::string text = "#EXTM3U\n";
    for (int i = 0; i < 50'000; ++i)
        text += "#EXTINF:1,x\n" + std::string(i % 2 == 0 ? "../a/1.mp3\n" : "../b/1.ogg\n");
    const std::string list = dir.file("lists/big.m3u");
    mediatest::writeFile(list, mediatest::Bytes(text.begin(), text.end()));
    const Selection s = selectionOf({list});
    EXPECT_EQ(s.albums.size(), 50'000u);
    EXPECT_TRUE(s.skipped.empty());
}

TEST(FolderSelection, AlbumsInScanOrderWithSkipsCounted) {
    mediatest::TempDir dir;
    makeLibrary(dir);
    mediatest::writeFile(dir.file("a/.hidden.mp3"), mediatest::Bytes(100, 0x55));
    const std::string root = dir.path().string();
    const Selection s = selectionOf({root});
    EXPECT_EQ(albumText(s, root), "a:1.mp3,2.flac,3.mp3|b:1.ogg|c d:\xC3\xA9 1.mp3");
    EXPECT_EQ(s.hidden, 1u);
    EXPECT_EQ(s.notAudio, 1u);
    EXPECT_TRUE(s.skipped.empty());
}

} // namespace

namespace {

// A pipe named as a playlist would block the reading forever.
TEST(PlaylistInput, APipeNamedAsAPlaylistIsSkipped) {
    mediatest::TempDir dir;
    const std::string pipe = dir.file("pipe.m3u");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const tunara::sync::Selection s = tunara::sync::selectionOf({pipe});
    EXPECT_TRUE(s.albums.empty());
    ASSERT_EQ(s.skipped.size(), 1u);
    EXPECT_EQ(s.skipped[0].path, pipe);
}

} // namespace
