// The tag engine against real files: what it writes is read back by mutagen and id3v2, frames it
// does not show survive, the audio is never touched, and damaged tags are refused untouched.
#include "genres.h"
#include "mediatestutil.h"
#include "mutagenjudge.h"
#include "tagengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

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
        RawCase{"genre_cover_shown_as_written", tag23({textFrame23("TCON", "CR")}), "",
                std::nullopt, "(CR)"},
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

// A save that fails while writing its copy (here: the file size limit, as a full disk would)
// reports it, leaves the file byte for byte and leaves no temporary copy behind.
struct WriteFailureCase {
    const char *name;
    rlim_t limit; // bytes a file may grow to
};
class SaveWriteFailure : public testing::TestWithParam<WriteFailureCase> {};
TEST_P(SaveWriteFailure, LeavesTheFileAndNoCopy) {
    TempDir dir;
    const std::string path = dir.file("full.mp3");
    const Bytes original = audio();
    writeFile(path, original);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit limited = old;
    limited.rlim_cur = GetParam().limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const auto error = saveTag(path, sampleFields());
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, TagErrorCode::WriteFailed);
    EXPECT_NE(error->message.find("The file was not changed"), std::string::npos) << error->message;
    EXPECT_EQ(readFile(path), original);
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"full.mp3"}) << "no temporary copy left behind";
}
INSTANTIATE_TEST_SUITE_P(Limits, SaveWriteFailure,
                         testing::Values(WriteFailureCase{"while_writing_the_tag", 64},
                                         WriteFailureCase{"while_copying_the_audio", 4096}),
                         [](const auto &row) { return std::string(row.param.name); });

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

TEST_F(TagEngine, YearIsSavedAsTypedAndADateAsItsYear) {
    const std::pair<std::string, std::string> rows[] = {{"1999", "1999"},
                                                        {"2001-05-03", "2001"},
                                                        {"\u00b301-04-03", "\u00b301-04-03"},
                                                        {"abcd-ef-gh", "abcd-ef-gh"}};
    for (const auto &[typed, reloaded] : rows) {
        const std::string path = fresh("y.mp3", audio());
        TagFields f = sampleFields();
        f.year = typed;
        ASSERT_FALSE(saveTag(path, f)) << typed;
        EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields.year, reloaded) << typed;
    }
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

// ---- frame flags --------------------------------------------------------------------------

// A 2.3 (or, with `v24`, 2.4: synchsafe size) frame with the two flag bytes given.
Bytes frame(const std::string &id, const Bytes &payload, std::uint8_t status, std::uint8_t format,
            bool v24 = false) {
    const auto size = std::uint32_t(payload.size());
    Bytes f(id.begin(), id.end());
    for (int shift = 24; shift >= 0; shift -= 8)
        f.push_back(v24 ? std::uint8_t((size >> (shift * 7 / 8)) & 0x7F)
                        : std::uint8_t(size >> shift));
    f.push_back(status);
    f.push_back(format);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}
Bytes frame22(const std::string &id, const Bytes &payload) {
    Bytes f(id.begin(), id.end());
    for (int shift = 16; shift >= 0; shift -= 8)
        f.push_back(std::uint8_t(payload.size() >> shift));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}
Bytes latin1(const std::string &text) {
    Bytes b{0};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}
Bytes commentPayload(const std::string &text) {
    Bytes b{0, 'e', 'n', 'g', 0};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}
Bytes urlPayload(const std::string &url) {
    Bytes b{0, 0};
    b.insert(b.end(), url.begin(), url.end());
    return b;
}
Bytes tagOf(const std::vector<Bytes> &frames, std::uint8_t major = 3) {
    Bytes body;
    for (const auto &f : frames)
        body.insert(body.end(), f.begin(), f.end());
    body.resize(body.size() + 32, 0);
    Bytes t = id3Header(major, 0, std::uint32_t(body.size()));
    t.insert(t.end(), body.begin(), body.end());
    return t;
}
bool contains(const Bytes &haystack, const Bytes &needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// The twelve frames, each with a value, the one named `flagged` carrying `status`.
std::vector<Bytes> twelveFrames(const std::string &flagged, std::uint8_t status) {
    const std::pair<const char *, Bytes> payloads[] = {
        {"TRCK", latin1("305")},           {"TIT2", latin1("Title")},
        {"TPE1", latin1("Artist")},        {"TALB", latin1("Album")},
        {"TYER", latin1("1987")},          {"TCON", latin1("(17)Rock")},
        {"COMM", commentPayload("Note")},  {"TCOM", latin1("Composer")},
        {"TOPE", latin1("Orig")},          {"TCOP", latin1("Copy")},
        {"WXXX", urlPayload("http://u/")}, {"TENC", latin1("Enc")}};
    std::vector<Bytes> frames;
    for (const auto &[id, payload] : payloads)
        frames.push_back(frame(id, payload, id == flagged ? status : 0, 0));
    return frames;
}

class DiscardFlag : public testing::TestWithParam<const char *> {};
// "Discard when the tag is altered" is for frames a writer does not know: the editor's own frames
// keep their values through a save, whichever of them carries the flag and whichever field the
// user changes.
TEST_P(DiscardFlag, EditorFrameKeepsItsValueThroughASave) {
    TempDir dir;
    const std::string path = dir.file("flag.mp3");
    const std::string flagged = GetParam();
    Bytes file = tagOf(twelveFrames(flagged, 0x80));
    const Bytes a = audio();
    file.insert(file.end(), a.begin(), a.end());
    writeFile(path, file);

    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded)) << std::get<TagError>(loaded).message;
    TagFields f = std::get<LoadedTag>(loaded).fields;
    EXPECT_EQ(f.track, 305);
    EXPECT_EQ(f.title, "Title");
    // The user changes one field other than the flagged one.
    const bool artistFlagged = flagged == "TPE1";
    (artistFlagged ? f.title : f.artist) = "Changed";
    ASSERT_FALSE(saveTag(path, f));

    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    const std::pair<const char *, std::string> texts[] = {
        {"TRCK", "305"},      {"TIT2", artistFlagged ? "Changed" : "Title"},
        {"TALB", "Album"},    {"TPE1", artistFlagged ? "Artist" : "Changed"},
        {"TYER", "1987"},     {"TCON", "(17)Rock"},
        {"TCOM", "Composer"}, {"TOPE", "Orig"},
        {"TCOP", "Copy"},     {"TENC", "Enc"}};
    for (const auto &[id, text] : texts) {
        ASSERT_EQ(m.text.count(id), 1u) << id;
        EXPECT_EQ(m.text.at(id), std::vector<std::string>{text}) << id;
    }
    EXPECT_EQ(m.comment, "Note");
    EXPECT_EQ(m.url, "http://u/");
    EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields, f);
}
INSTANTIATE_TEST_SUITE_P(Twelve, DiscardFlag,
                         testing::Values("TRCK", "TIT2", "TPE1", "TALB", "TYER", "TCON", "COMM",
                                         "TCOM", "TOPE", "TCOP", "WXXX", "TENC"),
                         [](const auto &row) { return std::string(row.param); });

Bytes zlibOf(const std::string &text);

struct FlagCase {
    const char *name;
    std::uint8_t major;
    std::vector<Bytes> frames; // besides TPE1 "Artist"
    std::string loadedTitle;   // what the editor shows
    std::string newTitle;      // typed by the user; empty: title left as loaded
    std::optional<TagErrorCode> refused;
    std::vector<Bytes> keptVerbatim; // frames the saved tag holds byte for byte
    std::vector<std::string> absent; // frame ids the saved tag must not hold
    std::string savedTitle;          // TIT2 as mutagen reads it; empty: no readable TIT2 check
    std::vector<std::string> sameInMutagen = {}; // ids mutagen reads alike before and after
};
class FrameFlags : public testing::TestWithParam<FlagCase> {};
TEST_P(FrameFlags, FramesTheEditorCannotReadAreNeverSavedEmpty) {
    const FlagCase &c = GetParam();
    TempDir dir;
    const std::string path = dir.file("x.mp3");
    std::vector<Bytes> frames = c.frames;
    frames.push_back(c.major == 2 ? frame22("TP1", latin1("Artist"))
                                  : frame("TPE1", latin1("Artist"), 0, 0, c.major == 4));
    Bytes file = tagOf(frames, c.major);
    const Bytes a = audio();
    file.insert(file.end(), a.begin(), a.end());
    writeFile(path, file);
    MutagenView before = mutagenRead(path);

    const auto loaded = loadTag(path);
    ASSERT_TRUE(std::holds_alternative<LoadedTag>(loaded)) << std::get<TagError>(loaded).message;
    TagFields f = std::get<LoadedTag>(loaded).fields;
    EXPECT_EQ(f.title, c.loadedTitle);
    EXPECT_EQ(f.artist, "Artist");
    f.artist = "Someone";
    if (!c.newTitle.empty())
        f.title = c.newTitle;
    const auto error = saveTag(path, f);
    if (c.refused) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, *c.refused);
        const std::string id(c.frames[0].begin(), c.frames[0].begin() + (c.major == 2 ? 3 : 4));
        EXPECT_NE(error->message.find(id), std::string::npos) << error->message;
        EXPECT_EQ(readFile(path), file) << "a refused save leaves the file as it was";
        return;
    }
    ASSERT_FALSE(error) << error->message;
    const Bytes saved = readFile(path);
    const Bytes tag(saved.begin(), saved.begin() + std::ptrdiff_t(*leadingTagSize(saved)));
    for (const auto &kept : c.keptVerbatim)
        EXPECT_TRUE(contains(tag, kept)) << "a frame was not kept as it was";
    MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.text.at("TPE1"), std::vector<std::string>{"Someone"});
    for (const auto &id : c.absent)
        EXPECT_EQ(std::count(m.ids.begin(), m.ids.end(), id), 0) << id;
    for (const auto &id : c.sameInMutagen) {
        ASSERT_TRUE(before.ok && before.text[id].size() + before.other[id].size() == 1) << id;
        EXPECT_EQ(m.text[id], before.text[id]) << id;
        EXPECT_EQ(m.other[id], before.other[id]) << id;
    }
    if (!c.savedTitle.empty()) {
        EXPECT_EQ(m.text.at("TIT2"), std::vector<std::string>{c.savedTitle});
        EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields.title, c.savedTitle);
    }
}
Bytes grouped(Bytes payload) {
    payload.insert(payload.begin(), 0x42);
    return payload;
}
Bytes compressed(const std::string &text, bool withGroup = false) {
    const Bytes z = zlibOf(std::string(1, '\0') + text);
    Bytes b{0, 0, 0, std::uint8_t(text.size() + 1)};
    if (withGroup)
        b.push_back(0x42);
    b.insert(b.end(), z.begin(), z.end());
    return b;
}
const Bytes kEncryptedTitle = frame("TIT2", Bytes{0x80, 0x11, 0x22, 0x33, 0x44}, 0, 0x40);
const Bytes kBadZlibAlbum = frame("TALB", Bytes{0, 0, 0, 9, 1, 2, 3, 4, 5, 6}, 0, 0x80);
const Bytes kEncryptedPrivate = frame("PRIV", Bytes{0x80, 'o', 'w', 'n', 0, 9, 9}, 0, 0x40);
// Original release dates of a 2.4 tag (UTF-8), and the year a 2.3 tag keeps of them.
const Bytes kOriginalDate =
    frame("TDOR", Bytes{3, '1', '9', '9', '9', '-', '0', '4', '0', '2'}, 0, 0, true);
const Bytes kOriginalYear = frame("TDOR", Bytes{3, '1', '9', '9', '9'}, 0, 0, true);
const Bytes kOriginalYear23 = frame("TORY", latin1("1999"), 0, 0);
INSTANTIATE_TEST_SUITE_P(
    Flags, FrameFlags,
    testing::Values(FlagCase{"grouped_title_reads_without_its_group_byte",
                             3,
                             {frame("TIT2", grouped(latin1("Hello")), 0, 0x20)},
                             "Hello",
                             "",
                             std::nullopt,
                             {},
                             {},
                             "Hello"},
                    FlagCase{"grouped_title_in_24",
                             4,
                             {frame("TIT2", grouped(latin1("Hello")), 0, 0x40, true)},
                             "Hello",
                             "",
                             std::nullopt,
                             {},
                             {},
                             "Hello"},
                    FlagCase{"compressed_and_grouped_title",
                             3,
                             {frame("TIT2", compressed("Hello", true), 0, 0xA0)},
                             "Hello",
                             "",
                             std::nullopt,
                             {},
                             {},
                             "Hello"},
                    FlagCase{"encrypted_title_untouched_is_kept",
                             3,
                             {kEncryptedTitle},
                             "",
                             "",
                             std::nullopt,
                             {kEncryptedTitle},
                             {},
                             ""},
                    FlagCase{"encrypted_title_replaced_by_typed_title",
                             3,
                             {kEncryptedTitle},
                             "",
                             "Typed",
                             std::nullopt,
                             {},
                             {},
                             "Typed"},
                    FlagCase{"album_that_does_not_inflate_is_kept",
                             3,
                             {kBadZlibAlbum, frame("TIT2", latin1("Plain"), 0, 0)},
                             "Plain",
                             "",
                             std::nullopt,
                             {kBadZlibAlbum},
                             {},
                             "Plain"},
                    FlagCase{"encrypted_unknown_frame_is_kept",
                             3,
                             {kEncryptedPrivate},
                             "",
                             "",
                             std::nullopt,
                             {kEncryptedPrivate},
                             {},
                             ""},
                    FlagCase{"unknown_frame_asking_to_be_discarded_goes",
                             3,
                             {frame("TSIZ", latin1("123"), 0x80, 0)},
                             "",
                             "",
                             std::nullopt,
                             {},
                             {"TSIZ"},
                             ""},
                    FlagCase{"empty_frame_does_not_hide_the_frames_after_it",
                             3,
                             {frame("TSSE", Bytes{}, 0, 0), frame("TIT2", latin1("After"), 0, 0)},
                             "After",
                             "",
                             std::nullopt,
                             {},
                             {"TSSE"},
                             "After"},
                    FlagCase{"frame_holding_only_its_data_length_in_24",
                             4,
                             {frame("TSSE", Bytes{0, 0, 0, 0}, 0, 0x01, true),
                              frame("TIT2", latin1("After"), 0, 0, true)},
                             "After",
                             "",
                             std::nullopt,
                             {},
                             {"TSSE"},
                             "After"},
                    FlagCase{
                        "frames_24_lacks_a_23_form_for_are_kept",
                        4,
                        // RVA2: track, master volume +2 dB, 16-bit peak; TDRL in UTF-8.
                        {frame("RVA2", Bytes{'t', 'r', 'k', 0, 1, 4, 0, 16, 0x80, 0}, 0, 0, true),
                         frame("TDRL", Bytes{3, '2', '0', '0', '1', '-', '0', '5'}, 0, 0, true)},
                        "",
                        "",
                        std::nullopt,
                        {},
                        {},
                        "",
                        {"RVA2", "TDRL"}},
                    // TORY holds a year only: a full original date is kept beside it.
                    FlagCase{"original_date_keeps_its_day",
                             4,
                             {kOriginalDate},
                             "",
                             "",
                             std::nullopt,
                             {kOriginalYear23},
                             {},
                             "",
                             {"TDOR"}},
                    FlagCase{"original_year_alone_becomes_tory",
                             4,
                             {kOriginalYear},
                             "",
                             "",
                             std::nullopt,
                             {kOriginalYear23},
                             {"TDOR"},
                             ""},
                    FlagCase{"time_of_22_becomes_time_of_23",
                             2,
                             {frame22("TIM", latin1("1200"))},
                             "",
                             "",
                             std::nullopt,
                             {frame("TIME", latin1("1200"), 0, 0)},
                             {},
                             ""},
                    FlagCase{"unknown_22_frame_is_refused",
                             2,
                             {frame22("XYZ", Bytes{1, 2, 3})},
                             "",
                             "",
                             TagErrorCode::CannotKeep,
                             {},
                             {},
                             ""},
                    FlagCase{"encrypted_title_in_24_is_refused",
                             4,
                             {frame("TIT2", Bytes{0x80, 0x11, 0x22}, 0, 0x04, true)},
                             "",
                             "",
                             TagErrorCode::CannotKeep,
                             {},
                             {},
                             ""}),
    [](const auto &row) { return std::string(row.param.name); });

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

Bytes zlibOf(const std::string &text) {
    uLongf size = compressBound(uLong(text.size()));
    Bytes out(size);
    compress(out.data(), &size, reinterpret_cast<const Bytef *>(text.data()), uLong(text.size()));
    out.resize(size);
    return out;
}

} // namespace
