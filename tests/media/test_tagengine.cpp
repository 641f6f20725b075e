// The tag engine against real files: what it writes is read back by mutagen and id3v2, frames it
// does not show survive, the audio is never touched, and damaged tags are refused untouched.
#include "genres.h"
#include "mediatestutil.h"
#include "mutagenjudge.h"
#include "tagengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

using namespace tunara::media;
using namespace mediatest;

namespace {

#ifndef TUNARA_ID3V2
#define TUNARA_ID3V2 "id3v2"
#endif

// Twenty MPEG-1 Layer III frames with a varied payload (including 0xFF bytes) and an ID3v1 tag.
Bytes audio() {
    Bytes b;
    for (int f = 0; f < 20; ++f) {
        const std::size_t at = b.size();
        putHeader(b, at, header(3, 1, 9, 0));
        b.resize(at + 417);
        for (std::size_t i = at + 4; i < b.size(); ++i)
            b[i] = std::uint8_t((i * 7 + std::size_t(f)) % 256);
    }
    const std::string v1 = "TAGold title";
    b.insert(b.end(), v1.begin(), v1.end());
    b.resize(b.size() + 128 - v1.size(), 0);
    return b;
}

Bytes tail(const Bytes &file) {
    const auto size = leadingTagSize(file);
    return Bytes(file.begin() + std::ptrdiff_t(size.value_or(0)), file.end());
}

TagFields sampleFields() {
    TagFields f;
    f.track = 7;
    f.title = "Night Drive";
    f.artist = "Mötley Crüe"; // fits ISO-8859-1
    f.album = "東京 Nights";  // does not
    f.year = "1999";
    f.genre = 17;
    f.comment = "a comment\nover two lines";
    f.composer = "Jürgen";
    f.origArtist = "Orig";
    f.copyright = "(c) 1999";
    f.url = "http://example.com/a?b=c";
    f.encoder = "enc 1.0";
    return f;
}

class TagEngine : public testing::Test {
protected:
    std::string fresh(const std::string &name, const Bytes &content) {
        const std::string p = dir.file(name);
        writeFile(p, content);
        return p;
    }
    TempDir dir;
};

TEST_F(TagEngine, SavedTagReadsBackIdenticallyHereAndInMutagen) {
    const Bytes original = audio();
    const std::string path = fresh("a.mp3", original);
    const TagFields f = sampleFields();
    ASSERT_FALSE(saveTag(path, f));

    const Bytes saved = readFile(path);
    EXPECT_EQ(saved[3], 3) << "written as ID3v2.3";
    EXPECT_EQ(tail(saved), original) << "audio and the ID3v1 tag unchanged";

    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded));
    EXPECT_EQ(std::get<LoadedTag>(loaded).fields, f);

    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.version, 3);
    const std::pair<const char *, std::string> expected[] = {
        {"TRCK", "7"},         {"TIT2", f.title},    {"TPE1", f.artist},   {"TALB", f.album},
        {"TYER", "1999"},      {"TCON", "(17)Rock"}, {"TCOM", f.composer}, {"TOPE", f.origArtist},
        {"TCOP", f.copyright}, {"TENC", f.encoder}};
    for (const auto &[id, text] : expected) {
        ASSERT_EQ(m.text.count(id), 1u) << id;
        EXPECT_EQ(m.text.at(id), std::vector<std::string>{text}) << id;
    }
    EXPECT_EQ(m.encoding.at("TPE1"), 0) << "ISO-8859-1 when it fits";
    EXPECT_EQ(m.encoding.at("TALB"), 1) << "UTF-16 with BOM otherwise";
    EXPECT_EQ(m.comment, f.comment);
    EXPECT_EQ(m.url, f.url);
}

TEST_F(TagEngine, Utf16TextCarriesALittleEndianMarkOverLittleEndianData) {
    const std::string path = fresh("u.mp3", audio());
    TagFields f;
    f.title = "東";
    ASSERT_FALSE(saveTag(path, f));
    const Bytes b = readFile(path);
    const Bytes needle{'T', 'I', 'T', '2'};
    const auto at = std::search(b.begin(), b.end(), needle.begin(), needle.end());
    ASSERT_NE(at, b.end());
    // Frame header (10), encoding 1, BOM FF FE, then U+6771 as 71 67.
    const Bytes expected{1, 0xFF, 0xFE, 0x71, 0x67};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), at + 10));
}

TEST_F(TagEngine, Id3v2ToolReadsTheSameTexts) {
    const std::string path = fresh("b.mp3", audio());
    TagFields f;
    f.track = 3;
    f.title = "Plain Title";
    f.artist = "Plain Artist";
    f.genre = 17;
    f.comment = "Plain comment";
    f.url = "http://example.org/";
    ASSERT_FALSE(saveTag(path, f));
    const RunResult r = run({TUNARA_ID3V2, "-l", path});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line :
         {"TIT2 (Title/songname/content description): Plain Title",
          "TPE1 (Lead performer(s)/Soloist(s)): Plain Artist",
          "TRCK (Track number/Position in set): 3", "TCON (Content type): Rock (17)",
          "Plain comment", "http://example.org/"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

struct LoadCase {
    const char *name;
    const char *snippet; // mutagen code filling `tags`
    int version;
    TagFields expected;
};
class Loading : public testing::TestWithParam<LoadCase> {};
TEST_P(Loading, ReadsWhatOtherWritersWrote) {
    TempDir dir;
    const std::string path = dir.file("c.mp3");
    writeFile(path, audio());
    ASSERT_TRUE(mutagenWrite(path, GetParam().snippet, GetParam().version));
    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded)) << std::get<TagError>(loaded).message;
    EXPECT_EQ(std::get<LoadedTag>(loaded).fields, GetParam().expected);
    EXPECT_EQ(std::get<LoadedTag>(loaded).version, GetParam().version);
}
TagFields with(auto setter) {
    TagFields f;
    setter(f);
    return f;
}
INSTANTIATE_TEST_SUITE_P(
    Tags, Loading,
    testing::Values(LoadCase{"track_of_total", "tags.add(TRCK(encoding=0, text=['3/12']))", 3,
                             with([](TagFields &f) { f.track = 3; })},
                    LoadCase{"genre_number_only", "tags.add(TCON(encoding=0, text=['(17)']))", 3,
                             with([](TagFields &f) { f.genre = 17; })},
                    LoadCase{"genre_number_and_name",
                             "tags.add(TCON(encoding=0, text=['(17)Rock']))", 3,
                             with([](TagFields &f) { f.genre = 17; })},
                    LoadCase{"genre_plain_name", "tags.add(TCON(encoding=0, text=['Hard Rock']))",
                             3, with([](TagFields &f) { f.genre = 79; })},
                    LoadCase{"genre_unknown_kept_as_text",
                             "tags.add(TCON(encoding=0, text=['Synthpop']))", 3,
                             with([](TagFields &f) { f.genreText = "Synthpop"; })},
                    LoadCase{"v24_utf8_and_date",
                             "tags.add(TIT2(encoding=3, text=['Grüße 東']));"
                             "tags.add(TDRC(encoding=3, text=['2001-05-03']));"
                             "tags.add(TCON(encoding=3, text=['17']))",
                             4, with([](TagFields &f) {
                                 f.title = "Grüße 東";
                                 f.year = "2001-05-03";
                                 f.genre = 17;
                             })},
                    LoadCase{"comment_with_description_is_not_the_comment",
                             "tags.add(COMM(encoding=0, lang='eng', desc='iTunNORM', text=['x']));"
                             "tags.add(COMM(encoding=0, lang='eng', desc='', text=['mine']))",
                             3, with([](TagFields &f) { f.comment = "mine"; })},
                    LoadCase{"long_comment_kept_whole",
                             "tags.add(COMM(encoding=0, lang='eng', desc='', text=['y' * 3000]))",
                             3, with([](TagFields &f) { f.comment = std::string(3000, 'y'); })},
                    LoadCase{"url", "tags.add(WXXX(encoding=0, desc='', url='http://a.b/'))", 4,
                             with([](TagFields &f) { f.url = "http://a.b/"; })}),
    [](const auto &row) { return std::string(row.param.name); });

struct RawCase {
    const char *name;
    Bytes tag;
    std::string title;
    std::optional<int> genre;
    std::string genreText;
};
class RawTags : public testing::TestWithParam<RawCase> {};
TEST_P(RawTags, LoadFromTheBytes) {
    Bytes file = GetParam().tag;
    const Bytes a = audio();
    file.insert(file.end(), a.begin(), a.end());
    const auto loaded = parseTag(file, file.size());
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded)) << std::get<TagError>(loaded).message;
    const TagFields &f = std::get<LoadedTag>(loaded).fields;
    EXPECT_EQ(f.title, GetParam().title);
    EXPECT_EQ(f.genre, GetParam().genre);
    EXPECT_EQ(f.genreText, GetParam().genreText);
}
Bytes tag23(const std::vector<Bytes> &frames, std::uint8_t flags = 0, const Bytes &lead = {}) {
    Bytes body = lead;
    for (const auto &f : frames)
        body.insert(body.end(), f.begin(), f.end());
    body.resize(body.size() + 16, 0);
    Bytes t = id3Header(3, flags, std::uint32_t(body.size()));
    t.insert(t.end(), body.begin(), body.end());
    return t;
}
INSTANTIATE_TEST_SUITE_P(
    Bytes, RawTags,
    testing::Values(
        RawCase{"genre_number_with_other_name",
                tag23({textFrame23("TIT2", "t"), textFrame23("TCON", "(17)Jazz")}), "t", 17, ""},
        RawCase{"genre_above_list_kept", tag23({textFrame23("TCON", "(200)")}), "", std::nullopt,
                "(200)"},
        RawCase{"genre_remix_kept", tag23({textFrame23("TCON", "(RX)")}), "", std::nullopt, "(RX)"},
        RawCase{"extended_header",
                tag23({textFrame23("TIT2", "ext")}, 0x40, Bytes{0, 0, 0, 6, 0, 0, 0, 0, 0, 0}),
                "ext", std::nullopt, ""},
        // Unsynchronised: the 0xFF in the title is stored as FF 00; the frame size counts the
        // bytes without the 00.
        RawCase{"unsynchronised",
                [] {
                    Bytes raw = id3Header(3, 0x80, 0);
                    const Bytes body{'T', 'I', 'T', '2', 0, 0, 0, 4, 0, 0, 0, 'a', 0xFF,
                                     0,   'b', 0,   0,   0, 0, 0, 0, 0, 0, 0, 0,   0};
                    raw[9] = std::uint8_t(body.size());
                    raw.insert(raw.end(), body.begin(), body.end());
                    return raw;
                }(),
                "a\xC3\xBF"
                "b",
                std::nullopt, ""}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(TagEngine, V24FileKeepsItsPictureAndBecomesV23) {
    const Bytes original = audio();
    const std::string path = fresh("p.mp3", original);
    ASSERT_TRUE(mutagenWrite(path,
                             "tags.add(APIC(encoding=3, mime='image/png', type=3, desc='cover',"
                             " data=bytes(range(256))*40));"
                             "tags.add(TIT2(encoding=3, text=['old']));"
                             "tags.add(TXXX(encoding=3, desc='mine', text=['kept']))",
                             4));
    const Bytes before = tail(readFile(path)); // mutagen also rewrites the ID3v1 tag
    TagFields f = std::get<LoadedTag>(loadTag(path)).fields;
    f.title = "new";
    ASSERT_FALSE(saveTag(path, f));
    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.version, 3);
    EXPECT_EQ(m.pictureBytes, 256u * 40u);
    EXPECT_NE(std::find(m.ids.begin(), m.ids.end(), "TXXX"), m.ids.end());
    EXPECT_EQ(m.text.at("TIT2"), std::vector<std::string>{"new"});
    EXPECT_EQ(tail(readFile(path)), before);
}

TEST_F(TagEngine, V23FramesOutsideTheEditorSurvive) {
    const std::string path = fresh("r.mp3", audio());
    ASSERT_TRUE(mutagenWrite(path,
                             "tags.add(TYER(encoding=0, text=['1987']));"
                             "tags.add(TDAT(encoding=0, text=['0305']));"
                             "tags.add(TIME(encoding=0, text=['1200']));"
                             "tags.add(TSIZ(encoding=0, text=['12345']))",
                             3));
    TagFields f = std::get<LoadedTag>(loadTag(path)).fields;
    EXPECT_EQ(f.year, "1987");
    f.artist = "someone";
    ASSERT_FALSE(saveTag(path, f));
    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.text.at("TYER"), std::vector<std::string>{"1987"});
    EXPECT_EQ(m.text.at("TDAT"), std::vector<std::string>{"0305"});
    EXPECT_EQ(m.text.at("TIME"), std::vector<std::string>{"1200"});
}

TEST_F(TagEngine, FooterTagIsReplacedAndTheAudioKept) {
    const Bytes original = audio();
    Bytes file = id3Header(4, 0x10, 20);
    const Bytes frame{'T', 'I', 'T', '2', 0, 0, 0, 4, 0, 0, 0, 'a', 'b', 'c'};
    file.insert(file.end(), frame.begin(), frame.end());
    file.resize(30, 0);
    const Bytes footer{'3', 'D', 'I', 4, 0, 0x10, 0, 0, 0, 20};
    file.insert(file.end(), footer.begin(), footer.end());
    file.insert(file.end(), original.begin(), original.end());
    const std::string path = fresh("f.mp3", file);
    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded)) << std::get<TagError>(loaded).message;
    EXPECT_EQ(std::get<LoadedTag>(loaded).tagSize, 40u);
    EXPECT_EQ(std::get<LoadedTag>(loaded).fields.title, "abc");
    ASSERT_FALSE(saveTag(path, std::get<LoadedTag>(loaded).fields));
    const Bytes saved = readFile(path);
    EXPECT_EQ(saved[5] & 0x10, 0) << "a 2.3 tag has no footer";
    EXPECT_EQ(tail(saved), original);
}

struct DamageCase {
    const char *name;
    Bytes tag; // placed before the audio
};
class Damaged : public testing::TestWithParam<DamageCase> {};
TEST_P(Damaged, IsRefusedAndTheFileStaysByteForByte) {
    TempDir dir;
    const std::string path = dir.file("d.mp3");
    Bytes file = GetParam().tag;
    const Bytes a = audio();
    file.insert(file.end(), a.begin(), a.end());
    writeFile(path, file);
    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<TagError>(loaded));
    EXPECT_EQ(std::get<TagError>(loaded).code, TagErrorCode::Damaged);
    const auto error = saveTag(path, sampleFields());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, TagErrorCode::Damaged);
    EXPECT_NE(error->message.find("cannot be read"), std::string::npos);
    EXPECT_EQ(readFile(path), file);
    std::size_t leftovers = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
        leftovers += e.path().filename() != "d.mp3";
    EXPECT_EQ(leftovers, 0u) << "no temporary copy left behind";
}
Bytes tagWith(std::uint8_t major, std::uint32_t bodySize, const Bytes &body) {
    Bytes t = id3Header(major, 0, bodySize);
    t.insert(t.end(), body.begin(), body.end());
    t.resize(10 + std::size_t(bodySize), 0);
    return t;
}
Bytes frameClaiming(std::uint32_t size) {
    return {'T',
            'I',
            'T',
            '2',
            std::uint8_t(size >> 24),
            std::uint8_t(size >> 16),
            std::uint8_t(size >> 8),
            std::uint8_t(size),
            0,
            0,
            0,
            'x'};
}
INSTANTIATE_TEST_SUITE_P(
    Tags, Damaged,
    testing::Values(
        // Claims far more than the file holds: a rewrite would have eaten the audio.
        DamageCase{"tag_larger_than_file", id3Header(3, 0, 0x0FFFFFFF)},
        DamageCase{"frame_larger_than_tag", tagWith(3, 100, frameClaiming(5000))},
        DamageCase{"invalid_frame_name",
                   tagWith(3, 100, Bytes{'T', 'I', 't', '2', 0, 0, 0, 2, 0, 0, 0, 'x'})},
        DamageCase{"size_bytes_with_top_bit", Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 0x81, 0}},
        DamageCase{"unknown_version", tagWith(5, 20, {})},
        DamageCase{"extended_header_too_long",
                   [] {
                       Bytes tag = id3Header(3, 0x40, 20);
                       const Bytes ext{0, 0, 0x10, 0};
                       tag.insert(tag.end(), ext.begin(), ext.end());
                       tag.resize(30, 0);
                       return tag;
                   }()}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(TagEngine, ReadOnlyFileLoadsButIsNotSaved) {
    const std::string path = fresh("ro.mp3", audio());
    ASSERT_FALSE(saveTag(path, sampleFields()));
    const Bytes before = readFile(path);
    ::chmod(path.c_str(), 0444);
    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded));
    EXPECT_FALSE(std::get<LoadedTag>(loaded).writable);
    const auto error = saveTag(path, TagFields{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, TagErrorCode::ReadOnly);
    EXPECT_EQ(readFile(path), before);
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST_F(TagEngine, SaveKeepsPermissionsAndLinks) {
    const std::string path = fresh("target.mp3", audio());
    ::chmod(path.c_str(), 0640);
    const std::string link = dir.file("link.mp3");
    std::filesystem::create_symlink(path, link);
    ASSERT_FALSE(saveTag(link, sampleFields()));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields.title, "Night Drive");
}

TEST_F(TagEngine, FileWithoutTagGetsAllTwelveFramesAndEmptyTextsStayEmpty) {
    const std::string path = fresh("e.mp3", audio());
    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded));
    EXPECT_FALSE(std::get<LoadedTag>(loaded).hasTag);
    EXPECT_EQ(std::get<LoadedTag>(loaded).fields, TagFields{});
    ASSERT_FALSE(saveTag(path, TagFields{}));
    // mutagen hides text frames without text, so the frames are looked for in the bytes: each
    // carries only its encoding byte (COMM its language too, WXXX an empty description).
    const Bytes saved = readFile(path);
    const Bytes tag(saved.begin(),
                    saved.begin() + std::ptrdiff_t(leadingTagSize(saved).value_or(0)));
    for (const char *id : {"TRCK", "TIT2", "TPE1", "TALB", "TYER", "TCON", "COMM", "TCOM", "TOPE",
                           "TCOP", "WXXX", "TENC"}) {
        const Bytes name(id, id + 4);
        EXPECT_NE(std::search(tag.begin(), tag.end(), name.begin(), name.end()), tag.end()) << id;
    }
    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.text.at("TRCK"), std::vector<std::string>{"0"});
    EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields, TagFields{});
}

TEST_F(TagEngine, UnknownGenreTextSurvivesASaveAndAPickedGenreReplacesIt) {
    const std::string path = fresh("g.mp3", audio());
    ASSERT_TRUE(mutagenWrite(path, "tags.add(TCON(encoding=0, text=['Synthpop']))", 3));
    TagFields f = std::get<LoadedTag>(loadTag(path)).fields;
    ASSERT_FALSE(saveTag(path, f));
    EXPECT_EQ(mutagenRead(path).text.at("TCON"), std::vector<std::string>{"Synthpop"});
    f.genre = 123;
    ASSERT_FALSE(saveTag(path, f));
    EXPECT_EQ(mutagenRead(path).text.at("TCON"), std::vector<std::string>{"(123)Acapella"});
}

TEST_F(TagEngine, UrlOutsideLatin1IsRefused) {
    const Bytes original = audio();
    const std::string path = fresh("w.mp3", original);
    TagFields f;
    f.url = "http://例え.jp/";
    const auto error = saveTag(path, f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, TagErrorCode::InvalidValue);
    EXPECT_EQ(readFile(path), original);
}

struct PathCase {
    const char *name;
    const char *path;
    std::optional<std::string_view> refusal;
};
class PathRule : public testing::TestWithParam<PathCase> {};
TEST_P(PathRule, ChecksTheExtension) {
    EXPECT_EQ(pathRefusal(GetParam().path), GetParam().refusal);
}
INSTANTIATE_TEST_SUITE_P(
    Paths, PathRule,
    testing::Values(PathCase{"empty", "", "Not selected the mp3 file!"},
                    PathCase{"lower", "/m/a.mp3", std::nullopt},
                    PathCase{"upper", "/m/A.MP3", std::nullopt},
                    PathCase{"backup", "/m/a.mp3.bak", "This file is not the MP3 file!"},
                    PathCase{"no_extension", "/m/mp3", "This file is not the MP3 file!"},
                    PathCase{"wav", "/m/a.wav", "This file is not the MP3 file!"}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
