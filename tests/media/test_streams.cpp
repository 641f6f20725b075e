// Real encoder output (lame, twolame) through the header readers and through `kesto check` and
// `kesto tag` as a black box: stdout, stderr, exit status and the bytes of the files written.
#include "mediatestutil.h"
#include "mpegheader.h"
#include "mpeginfo.h"
#include "mutagenjudge.h"
#include "tagengine.h"

#include <gtest/gtest.h>

#include <map>

using namespace tunara::media;
using namespace mediatest;

namespace {

struct Stream {
    const char *name;
    std::vector<std::string> encoder; // argv after the program, before input and output
    bool twolame;
    MpegCheckCode code;
    const char *described;                  // version, layer, sample rate, bit rate
    std::optional<std::string> infoBitRate; // ReadMpegInfo's bit rate for MPEG-1
};

const std::vector<Stream> &streams() {
    static const std::vector<Stream> all{
        {"l3_128",
         {"--cbr", "-b", "128"},
         false,
         MpegCheckCode::Accepted,
         "MPEG-1\nLayer-III\n44.1KHz\n128Kbps",
         "128 kbit/s"},
        {"l3_256",
         {"--cbr", "-b", "256"},
         false,
         MpegCheckCode::Accepted,
         "MPEG-1\nLayer-III\n44.1KHz\n256Kbps",
         "256 kbit/s"},
        {"l3_320",
         {"--cbr", "-b", "320"},
         false,
         MpegCheckCode::BitRateTooHigh,
         "MPEG-1\nLayer-III\n44.1KHz\n320Kbps",
         "320 kbit/s"},
        {"mpeg2_l3_64",
         {"--cbr", "-b", "64", "--resample", "22.05"},
         false,
         MpegCheckCode::Accepted,
         "MPEG-2\nLayer-III\n22.05KHz\n 64Kbps",
         std::nullopt},
        {"mpeg25_l3_32",
         {"--cbr", "-b", "32", "--resample", "11.025"},
         false,
         MpegCheckCode::Mpeg25,
         "MPEG-2.5\nLayer-III\n11.025KHz\n 32Kbps",
         std::nullopt},
        {"mpeg25_l3_8k",
         {"--cbr", "-b", "16", "--resample", "8", "-m", "m"},
         false,
         MpegCheckCode::Mpeg25,
         "MPEG-2.5\nLayer-III\n8KHz\n16Kbps",
         std::nullopt},
        {"l2_384",
         {"-b", "384"},
         true,
         MpegCheckCode::BitRateTooHigh,
         "MPEG-1\nLayer-II\n44.1KHz\n384Kbps",
         "384 kbit/s"},
        {"l2_192",
         {"-b", "192"},
         true,
         MpegCheckCode::Accepted,
         "MPEG-1\nLayer-II\n44.1KHz\n192Kbps",
         "192 kbit/s"},
    };
    return all;
}

class Encoded : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        const std::string wav = dir->file("tone.wav");
        ASSERT_EQ(run({TUNARA_SOX, "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "1",
                       "sine", "440", "sine", "660"})
                      .status,
                  0);
        for (const Stream &s : streams()) {
            std::vector<std::string> argv{s.twolame ? TUNARA_TWOLAME : TUNARA_LAME, "--quiet"};
            argv.insert(argv.end(), s.encoder.begin(), s.encoder.end());
            argv.push_back(wav);
            argv.push_back(dir->file(std::string(s.name) + ".mp3"));
            const RunResult r = run(argv);
            ASSERT_EQ(r.status, 0) << s.name << ": " << r.err;
        }
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static std::string file(const Stream &s) { return dir->file(std::string(s.name) + ".mp3"); }
    static TempDir *dir;
};
TempDir *Encoded::dir = nullptr;

// Tags of several sizes in front of the stream, with and without the footer flag.
struct TagShape {
    const char *name;
    std::uint32_t body;
    std::uint8_t major;
    bool footer;
};
const TagShape kShapes[] = {{"no_tag", 0, 0, false},
                            {"tag_100", 100, 3, false},
                            {"tag_4000", 4000, 3, false},
                            {"tag_70000", 70000, 4, false},
                            {"tag_257_footer", 257, 4, true}};

Bytes withTag(const Bytes &stream, const TagShape &shape) {
    if (shape.major == 0)
        return stream;
    Bytes b = id3Header(shape.major, shape.footer ? 0x10 : 0, shape.body);
    const Bytes frame = textFrame23("TIT2", "tagged");
    b.insert(b.end(), frame.begin(), frame.end());
    b.resize(10 + shape.body, 0);
    // A stray sync pair in the padding, as pictures carry them: the check must step over it.
    b[b.size() - 40] = 0xFF;
    b[b.size() - 39] = 0xFB;
    if (shape.footer) {
        const Bytes footer{'3', 'D', 'I', 4, 0, 0x10, b[6], b[7], b[8], b[9]};
        b.insert(b.end(), footer.begin(), footer.end());
    }
    b.insert(b.end(), stream.begin(), stream.end());
    return b;
}

TEST_F(Encoded, CheckGivesTheCodeAndDescriptionForEveryStreamAndTag) {
    for (const Stream &s : streams()) {
        const Bytes stream = readFile(file(s));
        ASSERT_GT(stream.size(), 1000u) << s.name;
        for (const TagShape &shape : kShapes) {
            SCOPED_TRACE(std::string(s.name) + " " + shape.name);
            const Bytes b = withTag(stream, shape);
            const std::string path = dir->file(std::string(s.name) + "_" + shape.name + ".mp3");
            writeFile(path, b);
            SilentSink sink;
            const MpegCheck r = CheckMpegHeader(path, sink);
            EXPECT_EQ(r.code, s.code);
            EXPECT_EQ(r.description, path + "\n\n" + s.described);
            const std::uint64_t tagSize =
                shape.major == 0 ? 0 : 10 + shape.body + (shape.footer ? 10 : 0);
            ASSERT_TRUE(r.headerOffset);
            EXPECT_EQ(*r.headerOffset, tagSize) << "the first frame follows the tag";
        }
    }
}

TEST_F(Encoded, InfoDescribesMpeg1StreamsOnly) {
    for (const Stream &s : streams()) {
        SCOPED_TRACE(s.name);
        SilentSink sink;
        const auto info = ReadMpegInfo(file(s), sink);
        if (s.infoBitRate) {
            ASSERT_TRUE(info);
            EXPECT_EQ(info->offset, 0u);
            EXPECT_EQ(info->bitRate, *s.infoBitRate);
            EXPECT_EQ(info->frequency, "44.1 kHz");
        }
    }
}

std::map<std::string, int> checkLines(const std::string &out) {
    std::map<std::string, int> codes;
    std::size_t start = 0;
    while (start < out.size()) {
        const auto end = out.find('\n', start);
        const std::string line = out.substr(start, end - start);
        const auto tab = line.find('\t');
        if (tab != std::string::npos)
            codes[line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1)] =
                std::stoi(line.substr(0, tab));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return codes;
}

TEST_F(Encoded, KestoCheckPrintsOneLinePerFileAndFailsOnAnyRefusal) {
    std::vector<std::string> argv{TUNARA_KESTO, "check"};
    for (const Stream &s : streams())
        argv.push_back(file(s));
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, 1);
    const auto codes = checkLines(r.out);
    ASSERT_EQ(codes.size(), streams().size()) << r.out;
    for (const Stream &s : streams())
        EXPECT_EQ(codes.at(file(s)), static_cast<int>(s.code)) << s.name;
    EXPECT_NE(r.err.find("Remote device doesn't support non-standard MPEG-2.5 formatted file."),
              std::string::npos);

    const RunResult good = run({TUNARA_KESTO, "check", file(streams()[0]), file(streams()[1])});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "0\t" + file(streams()[0]) + "\n0\t" + file(streams()[1]) + "\n");
    EXPECT_EQ(good.err, "");
}

TEST_F(Encoded, KestoCheckVerboseAndUnreadableFiles) {
    const RunResult v = run({TUNARA_KESTO, "check", "--verbose", file(streams()[3])});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "0\t" + file(streams()[3]) +
                         "\tMPEG-2\tLayer-III\t22.05KHz\t 64Kbps\theader at byte 0\n");

    const std::string junk = dir->file("junk.mp3");
    writeFile(junk, Bytes(5000, 0x42));
    const RunResult j = run({TUNARA_KESTO, "check", junk});
    EXPECT_EQ(j.status, 1);
    EXPECT_EQ(j.out, "-2\t" + junk + "\n");
    EXPECT_EQ(j.err, "ERROR : Can't find MP3 frame header.\n" + junk + "\n");

    const RunResult missing = run({TUNARA_KESTO, "check", dir->file("missing.mp3")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "0\t" + dir->file("missing.mp3") + "\n");
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);

    EXPECT_EQ(run({TUNARA_KESTO, "check"}).status, 2);
    EXPECT_EQ(run({TUNARA_KESTO, "check", "--bogus", junk}).status, 2);
}

TEST_F(Encoded, KestoTagSetReadsBackInMutagenAndId3v2) {
    const std::string path = dir->file("tagged.mp3");
    const Bytes original = readFile(file(streams()[0]));
    writeFile(path, original);
    const RunResult set =
        run({TUNARA_KESTO, "tag",          "set",           path,       "--title",     "Süß",
             "--artist",   "Artist A",     "--album",       "日本の歌", "--year",      "2004",
             "--genre",    "rock",         "--track",       "5",        "--comment",   "Nice one",
             "--composer", "Comp",         "--orig-artist", "Orig",     "--copyright", "(c) me",
             "--url",      "http://x.y/z", "--encoder",     "Enc"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "");
    const Bytes saved = readFile(path);
    const auto tagSize = leadingTagSize(saved).value_or(0);
    EXPECT_EQ(Bytes(saved.begin() + std::ptrdiff_t(tagSize), saved.end()), original);

    const MutagenView m = mutagenRead(path);
    ASSERT_TRUE(m.ok) << m.error;
    EXPECT_EQ(m.version, 3);
    const std::map<std::string, std::string> expected{
        {"TIT2", "Süß"},      {"TPE1", "Artist A"}, {"TALB", "日本の歌"}, {"TYER", "2004"},
        {"TCON", "(17)Rock"}, {"TRCK", "5"},        {"TCOM", "Comp"},     {"TOPE", "Orig"},
        {"TCOP", "(c) me"},   {"TENC", "Enc"}};
    for (const auto &[id, text] : expected)
        EXPECT_EQ(m.text.count(id) ? m.text.at(id) : std::vector<std::string>{},
                  std::vector<std::string>{text})
            << id;
    EXPECT_EQ(m.comment, "Nice one");
    EXPECT_EQ(m.url, "http://x.y/z");

    const RunResult l = run({TUNARA_ID3V2, "-l", path});
    EXPECT_NE(l.out.find("TCON (Content type): Rock (17)"), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("TPE1 (Lead performer(s)/Soloist(s)): Artist A"), std::string::npos);

    const RunResult show = run({TUNARA_KESTO, "tag", "show", path, "--json"});
    ASSERT_EQ(show.status, 0) << show.err;
    for (const char *part : {"\"title\": \"Süß\"", "\"album\": \"日本の歌\"", "\"track\": 5",
                             "\"genre\": \"Rock\"", "\"genreIndex\": 17", "\"version\": \"2.3\""})
        EXPECT_NE(show.out.find(part), std::string::npos) << part << "\n" << show.out;
    // The header description scans from byte 0, tag included: the UTF-16 byte-order mark FF FE
    // of the album reads as an MPEG-1 Layer I sync, exactly as the editor has always shown it.
    EXPECT_NE(show.out.find("\"mpeg\": {\"layer\": 1"), std::string::npos) << show.out;
    const RunResult text = run({TUNARA_KESTO, "tag", "show", path});
    EXPECT_NE(text.out.find("Track Title\tSüß\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Genre\tRock\n"), std::string::npos) << text.out;

    // Only what is given changes.
    ASSERT_EQ(run({TUNARA_KESTO, "tag", "set", path, "--artist", "B"}).status, 0);
    const MutagenView again = mutagenRead(path);
    EXPECT_EQ(again.text.at("TPE1"), std::vector<std::string>{"B"});
    EXPECT_EQ(again.text.at("TIT2"), std::vector<std::string>{"Süß"});

    // A genre by number, and no genre at all.
    ASSERT_EQ(run({TUNARA_KESTO, "tag", "set", path, "--genre", "79"}).status, 0);
    EXPECT_EQ(mutagenRead(path).text.at("TCON"), std::vector<std::string>{"(79)Hard Rock"});
    ASSERT_EQ(run({TUNARA_KESTO, "tag", "set", path, "--genre", ""}).status, 0);
    EXPECT_EQ(std::get<LoadedTag>(loadTag(path)).fields.genre, std::nullopt);
}

struct BadSet {
    const char *name;
    std::vector<std::string> args; // after "tag set FILE"
    const char *fileName;
    int status;
    const char *message;
};
class KestoTagRefuses : public Encoded, public testing::WithParamInterface<BadSet> {};
TEST_P(KestoTagRefuses, AndLeavesTheFileAlone) {
    const BadSet &c = GetParam();
    const std::string path = dir->file(c.fileName);
    const Bytes original = readFile(file(streams()[0]));
    writeFile(path, original);
    std::vector<std::string> argv{TUNARA_KESTO, "tag", "set", path};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(readFile(path), original);
}
INSTANTIATE_TEST_SUITE_P(
    Arguments, KestoTagRefuses,
    testing::Values(
        BadSet{"track_not_integer", {"--track", "3/12"}, "a.mp3", 2, "Please enter an integer."},
        BadSet{"unknown_genre", {"--genre", "Nope"}, "b.mp3", 2, "unknown genre"},
        BadSet{"unknown_option", {"--colour", "red"}, "c.mp3", 2, "unknown option"},
        BadSet{"missing_value", {"--title"}, "d.mp3", 2, "needs a value"},
        BadSet{"not_mp3", {"--title", "x"}, "e.mp3.bak", 1, "This file is not the MP3 file!"}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(Encoded, KestoTagRefusesADamagedTagAndNeverShortensTheFile) {
    const std::string path = dir->file("damaged.mp3");
    Bytes b = id3Header(3, 0, 0x0FFFFFFF); // claims 256 MiB
    const Bytes stream = readFile(file(streams()[0]));
    b.insert(b.end(), stream.begin(), stream.end());
    writeFile(path, b);
    const RunResult r = run({TUNARA_KESTO, "tag", "set", path, "--title", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot be read"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(path), b);
    EXPECT_EQ(run({TUNARA_KESTO, "tag", "show", path}).status, 1);
}

} // namespace
